#!/bin/sh
# Checks the manual and the packages, and what Windows shows of the .exe:
#   package_test.sh BUILD_DIR VERSION NOTICE [WINDOWS_BUILD_DIR]
set -eu
build=$1
version=$2
notice=$3
windows=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package test: $*"; exit 1; }

warnings=$(groff -man -ww -z "$build/kovalset.1" 2>&1)
[ -z "$warnings" ] || fail "the manual has warnings: $warnings"

(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null) || fail "cpack -G DEB failed"
deb=$(ls "$work"/deb/kovalset_*.deb)
dpkg-deb -x "$deb" "$work/root"
[ -x "$work/root/usr/bin/kovalset" ] || fail "no /usr/bin/kovalset in $deb"
[ -f "$work/root/usr/share/man/man1/kovalset.1.gz" ] || fail "no manual in $deb"
if command -v lintian >/dev/null; then
  complaints=$(lintian --pedantic --allow-root "$deb" | grep -E '^[EW]: ' || true)
  [ -z "$complaints" ] || fail "lintian: $complaints"
fi
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

  # The manifest and the version resource, read back from the .exe itself.
  resources=$(x86_64-w64-mingw32-windres -i "$windows/kovalset.exe" -O rc) ||
    fail "cannot read the resources of kovalset.exe"
  for want in '1 24 /* RT_MANIFEST */' 'requestedExecutionLevel level=""asInvoker""' \
    35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
    1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a \
    "VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\"" \
    'VALUE "ProductName", "kovalset"' "VALUE \"LegalCopyright\", \"$notice\""; do
    echo "$resources" | grep -qF "$want" || fail "kovalset.exe lacks $want"
  done
  echo "$resources" | grep -q 'VALUE "FileDescription", "[^"]' || fail "no FileDescription"
  echo "ok: kovalset.exe has its manifest and version $version"
fi
