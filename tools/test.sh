#!/usr/bin/env bash
# Builds kovalset and every test, and runs them all: the Linux build; the
# Windows build under Wine; a sanitized build (AddressSanitizer and UBSan)
# of the program and all tests; the threaded test under ThreadSanitizer; and
# each fuzzer (store, run, hive, hive reader) for a short while
# (KOVALSET_FUZZ_SECONDS, 30 by default). A failing test step does not stop the rest: each failure is
# shown as it happens, named again at the end, and the exit status is 1.
#
# tools/test.sh --quick: for a developer's loop, the Linux build and its
# unit, end-to-end and fault tests only.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/packages.sh
if [ "${1:-}" = --quick ]; then
  ensure_packages g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev file acl strace \
    libhivex-dev libhivex-bin
  cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build/test -j "$(nproc)"
  exec ctest --test-dir build/test -j "$(nproc)" --output-on-failure -L 'unit|e2e|fault'
fi
ensure_packages g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev clang file \
  libclang-rt-14-dev groff-base acl strace lintian libhivex-dev libhivex-bin \
  ntfs-3g attr
# For the Windows builds (64-bit and 32-bit) and their tests under Wine, the
# 32-bit one with Wine's i386 packages; without them those tests are skipped.
ensure_packages g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64 wixl msitools ||
  echo "warning: no cross compilers or Wine: the Windows tests will be skipped"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $([ "$(id -u)" -eq 0 ] || echo sudo) dpkg --add-architecture i386
fi
ensure_packages wine32:i386 ||
  echo "warning: no 32-bit Wine: the 32-bit Windows build is tested without running it"

jobs=$(nproc)
# Builds the Windows .exe for `arch` into build/windows (64-bit) or
# build/windows32, where its cross compiler is; prints the folder.
windows_build() {
  local arch=$1 dir=$2
  command -v "$arch-w64-mingw32-g++-posix" >/dev/null || return 0
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-w64-$arch.cmake" >&2
  cmake --build "$dir" -j "$jobs" >&2
  echo "$dir"
}
windows_dir=$(windows_build x86_64 "$PWD/build/windows")
windows32_dir=$(windows_build i686 "$PWD/build/windows32")

# The statically linked program, a second artifact, tested by build/test.
cmake -S . -B build/static -G Ninja -DCMAKE_BUILD_TYPE=Release -DKOVALSET_TESTS=OFF \
  -DKOVALSET_STATIC=ON >/dev/null
cmake --build build/static -j "$jobs"

cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKOVALSET_WINDOWS_DIR="$windows_dir" -DKOVALSET_WINDOWS32_DIR="$windows32_dir" \
  -DKOVALSET_STATIC_DIR="$PWD/build/static"
cmake --build build/test -j "$jobs"

# Everything but the Windows cases, whose .exe the sanitizers do not reach.
CXX=clang++ cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKOVALSET_SANITIZE=ON -DKOVALSET_WINDOWS_DIR=
cmake --build build/asan -j "$jobs"

# The file registry's threaded test under ThreadSanitizer.
CXX=clang++ cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKOVALSET_SANITIZE_THREADS=ON >/dev/null
cmake --build build/tsan -j "$jobs" --target fileregistry_tests
failures=()
echo "ThreadSanitizer:"
build/tsan/fileregistry_tests --gtest_filter='*Thread*' --gtest_brief=1 ||
  failures+=("ThreadSanitizer")

# Each in a TMPDIR of its own, which it must leave empty.
for fuzzer in store run hive hive_reader; do
  corpus=$(mktemp -d)
  log=$corpus.log
  tmp=$(mktemp -d)
  echo "Fuzzing ($fuzzer) for ${KOVALSET_FUZZ_SECONDS:-30} s ..."
  if ! TMPDIR=$tmp build/asan/${fuzzer}_fuzzer -max_total_time="${KOVALSET_FUZZ_SECONDS:-30}" \
      -artifact_prefix="$corpus/" "$corpus" "fuzz/corpus/$fuzzer" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzzer $fuzzer failed; the input is in $corpus"
    failures+=("fuzzer $fuzzer")
    continue
  fi
  grep -E '^Done [0-9]+ runs' "$log" || true
  if ! rmdir "$tmp"; then
    echo "fuzzer $fuzzer left files behind in TMPDIR: $(ls -A "$tmp")"
    failures+=("fuzzer $fuzzer")
  fi
  rm -rf "$corpus" "$tmp" "$log"
done

# ctest's line for each test as it ends, and the output of those that fail.
echo "Sanitized build:"
ctest --test-dir build/asan -j "$jobs" --output-on-failure -LE wine ||
  failures+=("the sanitized tests")
echo "Build:"
ctest --test-dir build/test -j "$jobs" --output-on-failure || failures+=("the tests")

# What ctest shows only of a failure: the lines where the tests say what they
# skipped and why, and which packages they checked.
echo "Skipped, and the packages checked:"
for dir in build/asan build/test; do
  awk '/^[0-9]+\/[0-9]+ Test: / { name = $3 }
    /^(ok|skipped|Skipped): / { print "  " name ": " $0 }' "$dir/Testing/Temporary/LastTest.log" ||
    true
done
if [ ${#failures[@]} -gt 0 ]; then
  printf 'FAILED: %s\n' "${failures[@]}"
  exit 1
fi
