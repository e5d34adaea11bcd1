#!/usr/bin/env bash
# Builds kovalset and every test, and runs them all: the Linux build, and the
# Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/packages.sh
ensure_packages g++ cmake ninja-build libgtest-dev libgmock-dev
# For the Windows build and its tests; without them those tests are skipped.
ensure_packages g++-mingw-w64-x86-64-posix wine64 ||
  echo "warning: no cross compiler or Wine: the Windows tests will be skipped"

jobs=$(nproc)
windows_dir=
if command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  windows_dir=$PWD/build/windows
  cmake -S . -B "$windows_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
  cmake --build "$windows_dir" -j "$jobs"
fi

cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKOVALSET_WINDOWS_DIR="$windows_dir"
cmake --build build/test -j "$jobs"
ctest --test-dir build/test -j "$jobs" --output-on-failure
