#!/bin/sh
# Checks the manual and the packages: package_test.sh BUILD_DIR [WINDOWS_BUILD_DIR]
set -eu
build=$1
windows=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package test: $*"; exit 1; }

warnings=$(groff -man -ww -z "$build/kovalset.1" 2>&1)
[ -z "$warnings" ] || fail "the manual has warnings: $warnings"

(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null) || fail "cpack -G DEB failed"
deb=$(ls "$work"/deb/kovalset_*.deb)
dpkg-deb -x "$deb" "$work/root"
[ -x "$work/root/usr/bin/kovalset" ] || fail "no /usr/bin/kovalset in $deb"
[ -f "$work/root/usr/share/man/man1/kovalset.1" ] || fail "no manual in $deb"
KOVALSET_REGISTRY="$work/hklm.reg" "$work/root/usr/bin/kovalset" tcpip >"$work/out" ||
  fail "the packaged program failed"
grep -qx "Creating new entry : TCPIP." "$work/out" || fail "unexpected output: $(cat "$work/out")"
echo "ok: $(basename "$deb")"

if [ -n "$windows" ]; then
  (cd "$windows" && cpack -G ZIP -B "$work/zip" >/dev/null) || fail "cpack -G ZIP failed"
  zip=$(ls "$work"/zip/kovalset-*.zip)
  listing=$(cmake -E tar tf "$zip")
  for file in kovalset.exe README.md LICENSE; do
    echo "$listing" | grep -q "/$file\$" || fail "no $file in $zip"
  done
  echo "ok: $(basename "$zip")"
fi
