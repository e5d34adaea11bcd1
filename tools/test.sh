#!/usr/bin/env bash
# Builds kovalset and every test, and runs them all.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/packages.sh
ensure_packages g++ cmake ninja-build libgtest-dev libgmock-dev

jobs=$(nproc)
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/test -j "$jobs"
ctest --test-dir build/test -j "$jobs" --output-on-failure
