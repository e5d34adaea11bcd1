#!/usr/bin/env bash
# Builds kovalset and runs it with the words given, on the default store
# (or the one KOVALSET_REGISTRY names).
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/packages.sh
ensure_packages g++ cmake ninja-build pkg-config libhivex-dev
# The build says nothing, unless it fails: then all it said, on stderr.
log=$(mktemp)
if ! { cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKOVALSET_TESTS=OFF &&
  cmake --build build/release --target kovalset; } >"$log" 2>&1; then
  cat "$log" >&2
  rm -f "$log"
  exit 1
fi
rm -f "$log"
exec build/release/kovalset "$@"
