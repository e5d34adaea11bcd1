#!/usr/bin/env bash
# Builds kovalset and runs it with the words given, on the default store
# (or the one KOVALSET_REGISTRY names).
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/packages.sh
ensure_packages g++ cmake ninja-build pkg-config libhivex-dev
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKOVALSET_TESTS=OFF >/dev/null
cmake --build build/release --target kovalset >/dev/null
exec build/release/kovalset "$@"
