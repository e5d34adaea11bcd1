#!/usr/bin/env bash
# Checks the manual and the packages, and what Windows shows of the .exe:
#   package_test.sh BUILD_DIR VERSION NOTICE STATIC_BUILD_DIR|"" [WINDOWS_BUILD_DIR...]
# The 32-bit .msi is run under Wine only where tests/win32_probe.sh finds
# that 32-bit programs can run; its tables and .exe are checked everywhere.
set -eEu
# Any command that fails says so, not only those checked with `fail`.
trap 'status=$?; [ "$BASHPID" != $$ ] ||
  echo "package test: line $LINENO: \"$BASH_COMMAND\" failed with status $status"' ERR
probe=$(dirname "$0")/win32_probe.sh
build=$1
version=$2
notice=$3
static=$4
shift 4
work=$(mktemp -d)
trap 'for prefix in "$work"/prefix-*; do WINEPREFIX=$prefix TMPDIR=$work/tmp-${prefix##*/prefix-} \
  /usr/lib/wine/wineserver -k 2>/dev/null || true; done; rm -rf "$work"' EXIT
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

# The static program's .tar.gz: the program, its manual, the README and the
# license in one folder; one file with nothing to load.
if [ -n "$static" ]; then
  (cd "$static" && cpack -B "$work/static" >/dev/null) || fail "cpack in $static failed"
  top=kovalset-$version-linux-$(uname -m)-static
  tar -xzf "$work/static/$top.tar.gz" -C "$work" || fail "no $top.tar.gz"
  listing=$(cd "$work/$top" && LC_ALL=C ls | tr '\n' ' ')
  [ "$listing" = "LICENSE README.md kovalset kovalset.1 " ] || fail "$top.tar.gz holds $listing"
  file "$work/$top/kovalset" | grep -q "static-pie linked" || fail "the static program is not static"
  KOVALSET_REGISTRY="$work/static.reg" "$work/$top/kovalset" spx >"$work/out" ||
    fail "the static program failed"
  grep -qx "Creating new entry : SPX." "$work/out" || fail "unexpected output: $(cat "$work/out")"
  echo "ok: $top.tar.gz"
fi

# Installs the .msi under Wine, runs kovalset.exe by PATH from a new cmd,
# upgrades it to a later version, removes it, and checks that nothing of it
# is left: not the folder, not the PATH entry.
check_msi() {
  msi=$1 windows_build=$2
  wine=/usr/lib/wine/wine64
  [ -x "$wine" ] || { echo "skipped: no Wine to install $(basename "$msi")"; return; }
  case $(basename "$msi") in
    *win32*) why=$(bash "$probe") || {
      echo "skipped: $(basename "$msi") under Wine: $why"
      return
    } ;;
  esac
  # A prefix of its own, its server's socket folder in it (Wine makes that in
  # TMPDIR). Made as in the Wine tests: the prefix left to settle, then one
  # server for the rest. Wine's own long-lived processes must not hold the
  # pipes of this test.
  export WINEPREFIX="$work/prefix-$(basename "$windows_build")" WINEDEBUG=-all
  export TMPDIR="$work/tmp-$(basename "$windows_build")"
  mkdir -p "$WINEPREFIX" "$TMPDIR"
  "$wine" wineboot -i >/dev/null 2>&1 || fail "wineboot failed"
  timeout 120 "$(dirname "$wine")/wineserver" -w >/dev/null 2>&1 || true
  "$(dirname "$wine")/wineserver" -p >/dev/null 2>&1 || fail "wineserver cannot start"
  "$wine" wineboot >/dev/null 2>&1 || fail "wineboot failed"  # the services, started again
  environment='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
  "$wine" msiexec /i "$msi" /qn >/dev/null 2>&1 || fail "msiexec /i $(basename "$msi") failed"
  case $msi in
    *win32*) folder="$WINEPREFIX/drive_c/Program Files (x86)/kovalset" ;;
    *) folder="$WINEPREFIX/drive_c/Program Files/kovalset" ;;
  esac
  [ -f "$folder/kovalset.exe" ] || fail "no kovalset.exe in $folder"
  (cd "$work" && "$wine" cmd /c kovalset.exe tcpip) >"$work/wine-out" 2>&1 </dev/null ||
    fail "kovalset.exe by PATH exited with $?: $(cat "$work/wine-out")"
  grep -q "Creating new entry : TCPIP." "$work/wine-out" ||
    fail "kovalset.exe did not run by PATH: $(cat "$work/wine-out")"
  # A later version upgrades it in place.
  next=$(echo "$version" | awk -F. '{ printf "%d.%d.%d", $1, $2, $3 + 1 }')
  (cd "$windows_build" && cpack -G External -B "$WINEPREFIX-next" -D CPACK_PACKAGE_VERSION="$next" \
    -D CPACK_PACKAGE_FILE_NAME=kovalset-next >/dev/null) || fail "cpack of a later .msi failed"
  "$wine" msiexec /i "$WINEPREFIX-next/kovalset-next.msi" /qn >/dev/null 2>&1 || fail "the upgrade failed"
  uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
  versions=$({ "$wine" reg query "$uninstall" /s; "$wine" reg query "$uninstall" /s /reg:32; } \
    2>/dev/null | tr -d '\r' | grep -A1 'DisplayName.*kovalset' | grep -c DisplayVersion || true)
  [ "$versions" = 1 ] || fail "after the upgrade, $versions versions are installed"
  "$wine" msiexec /x "$WINEPREFIX-next/kovalset-next.msi" /qn >/dev/null 2>&1 || fail "msiexec /x failed"
  [ ! -e "$WINEPREFIX/drive_c/Program Files/kovalset" ] &&
    [ ! -e "$WINEPREFIX/drive_c/Program Files (x86)/kovalset" ] || fail "the folder is left"
  ! "$wine" reg query "$environment" /v PATH 2>/dev/null | grep -qi kovalset ||
    fail "the PATH entry is left"
  "$(dirname "$wine")/wineserver" -k >/dev/null 2>&1 || true
  echo "ok: $(basename "$msi") installs, runs by PATH, upgrades and removes itself under Wine"
}

# The .msi's tables, read without Wine: the packaged kovalset.exe (its size
# given) in its folder under the Program Files of its kind, which goes on the
# system PATH; a 64-bit component only in the win64 package.
check_msi_tables() {
  local msi=$1 size=$2 t=$'\t' root=ProgramFilesFolder bits=0 template=Intel
  case $(basename "$msi") in *win64*) root=ProgramFiles64Folder bits=256 template=x64 ;; esac
  local component={E37CE99E-C538-4D78-B1AE-78F4D15A3D89}  # as in app/kovalset.wxs.in
  msiinfo suminfo "$msi" | tr -d '\r' | grep -qx "Template: $template;1033" ||
    fail "$(basename "$msi") is not for $template: $(msiinfo suminfo "$msi")"
  for want in "Directory:INSTALLDIR$t$root${t}kovalset" \
    "File:kovalset.exe${t}Program${t}kovalset.exe$t$size$t$t${t}512${t}1" \
    "Component:Program$t$component${t}INSTALLDIR$t$bits$t${t}kovalset.exe" \
    "Environment:PathEntry$t=-*PATH$t[~];[INSTALLDIR]${t}Program" \
    "InstallExecuteSequence:WriteEnvironmentStrings$t${t}5200" \
    "InstallExecuteSequence:RemoveEnvironmentStrings$t${t}3300"; do
    msiinfo export "$msi" "${want%%:*}" | tr -d '\r' | grep -qxF "${want#*:}" ||
      fail "the ${want%%:*} table of $(basename "$msi") lacks the row ${want#*:}"
  done
  echo "ok: $(basename "$msi") puts kovalset.exe in $root\\kovalset, on the PATH"
}

for windows in "$@"; do
  packages=$work/win-$(basename "$windows")
  (cd "$windows" && cpack -B "$packages" >/dev/null) || fail "cpack failed"
  zip=$(ls "$packages"/kovalset-*.zip)
  listing=$(cmake -E tar tf "$zip")
  for file in kovalset.exe README.md LICENSE; do
    echo "$listing" | grep -qx "$file" || fail "no $file at the top of $zip"
  done
  # Its .exe: PE32 (Intel 80386) in win32, PE32+ (x86-64) in win64.
  mkdir "$packages/zip"
  (cd "$packages/zip" && cmake -E tar xf "$zip")
  case $(basename "$zip") in
    *win32*) header="PE32 executable (console) Intel 80386" ;;
    *) header="PE32+ executable (console) x86-64" ;;
  esac
  kind=$(file -b "$packages/zip/kovalset.exe")
  [[ $kind == "$header"* ]] || fail "kovalset.exe in $(basename "$zip") is $kind, not $header"
  echo "ok: $(basename "$zip"), its kovalset.exe $header"
  msi=$(ls "$packages"/kovalset-*.msi) || fail "no .msi"
  check_msi_tables "$msi" "$(stat -c %s "$packages/zip/kovalset.exe")"
  check_msi "$msi" "$windows"

  # The manifest and the version resource, read back from the .exe itself.
  windres=$(sed -n 's/^set(CMAKE_RC_COMPILER "\(.*\)")$/\1/p' "$windows"/CMakeFiles/*/CMakeRCCompiler.cmake)
  resources=$("$windres" -i "$windows/kovalset.exe" -O rc) ||
    fail "cannot read the resources of kovalset.exe"
  for want in '1 24 /* RT_MANIFEST */' 'requestedExecutionLevel level=""asInvoker""' \
    35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
    1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a \
    "VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\"" \
    'VALUE "ProductName", "kovalset"' "VALUE \"LegalCopyright\", \"$notice\""; do
    echo "$resources" | grep -qF "$want" || fail "kovalset.exe lacks $want"
  done
  echo "$resources" | grep -q 'VALUE "FileDescription", "[^"]' || fail "no FileDescription"
  echo "ok: $(basename "$windows")/kovalset.exe has its manifest and version $version"
done
