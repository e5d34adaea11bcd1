#!/usr/bin/env bash
# Checks the manual and the packages, and what Windows shows of the .exe:
#   package_test.sh BUILD_DIR VERSION NOTICE STATIC_BUILD_DIR|"" [WINDOWS_BUILD_DIR...]
# The 32-bit .exe is run under Wine only where tests/win32_probe.sh finds
# that 32-bit programs can run; its .msi is installed by 64-bit Wine.
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
# Documents over 4 KB compressed, as Debian wants them; cmake --install
# installs what the package holds, byte for byte.
big=$(find "$work/root/usr/share/doc" -type f -size +4k ! -name '*.gz' ! -name copyright)
[ -z "$big" ] || fail "uncompressed in $(basename "$deb"): $big"
cmake --install "$build" --prefix "$work/installed" >/dev/null
diff -r "$work/installed" "$work/root/usr" >/dev/null ||
  fail "cmake --install differs from the .deb: $(diff -rq "$work/installed" "$work/root/usr")"
echo "ok: $(basename "$deb")"

# The manual: its date the changelog's; its example of DEBUGMSG alone says
# what the run does on a new store (makes the key and the default list);
# SEE ALSO names the other tools for the same registry.
changed=$(zcat "$work/root/usr/share/doc/kovalset/changelog.gz" | sed -n 's/^ -- .*  //p')
dated=$(sed -n 's/^\.TH KOVALSET 1 \([^ ]*\) .*/\1/p' "$build/kovalset.1")
[ "$dated" = "$(date -u -d "$changed" +%F)" ] || fail "the manual's date is not the changelog's ($changed)"
KOVALSET_REGISTRY="$work/new.reg" "$work/root/usr/bin/kovalset" debugmsg >"$work/out"
grep -qx "Creating new entry : SPX,TCPIP." "$work/out" || fail "unexpected output: $(cat "$work/out")"
manual=$(groff -man -Tascii -P-cbou -rLL=1000n "$build/kovalset.1" | tr -s ' \n' ' ')
[[ $manual == *"creates the settings key and stores the default list too: kovalset debugmsg "* ]] ||
  fail "the manual's example of kovalset debugmsg does not say what it does on a new store"
for page in "hivexget(1)," "hivexsh(1)," "guestfish(1)," "on Windows reg."; do
  [[ ${manual#*SEE ALSO} == *"$page"* ]] || fail "the manual's SEE ALSO lacks $page"
done
echo "ok: the manual"

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

# Under Wine, as an admin would, in one prefix: msiexec /i and /x, quietly.
wine=/usr/lib/wine/wine64
environment='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
msiexec() {
  "$wine" msiexec "$1" "$2" /qn >/dev/null 2>&1 || fail "msiexec $1 $(basename "$2") failed"
}
system_path() {
  "$wine" reg query "$environment" /v PATH 2>/dev/null | tr -d '\r' |
    sed -n 's/^ *PATH *REG_[A-Z_]* *//p'
}
# The versions of kovalset that Programs and Features lists, in both views.
listed() {
  { "$wine" reg query "$uninstall" /s; "$wine" reg query "$uninstall" /s /reg:32; } 2>/dev/null |
    tr -d '\r' | grep -A1 'DisplayName *REG_SZ *kovalset$' |
    sed -n 's/^ *DisplayVersion *REG_SZ *//p' | tr '\n' ' '
}
product_code() { msiinfo export "$1" Property | tr -d '\r' | sed -n 's/^ProductCode\t//p'; }
folder_of() {
  case $(basename "$1") in
    *win32*) echo "Program Files (x86)/kovalset" ;;
    *) echo "Program Files/kovalset" ;;
  esac
}
# Installed once: listed once at VERSION, its folder alone, first on PATH.
check_installed() {
  local folder=$1 version=$2 other
  [ "$(listed)" = "$version " ] || fail "Programs and Features lists kovalset $(listed)"
  [ -f "$WINEPREFIX/drive_c/$folder/kovalset.exe" ] || fail "no kovalset.exe in $folder"
  for other in "Program Files/kovalset" "Program Files (x86)/kovalset"; do
    [ "$other" = "$folder" ] || [ ! -e "$WINEPREFIX/drive_c/$other" ] || fail "$other is left"
  done
  [ "$(system_path)" = "C:\\${folder//\//\\}\\;$path_before" ] || fail "PATH is $(system_path)"
}
# Removed: nothing listed, no folder, PATH as it was before the install.
check_removed() {
  local folder
  [ -z "$(listed)" ] || fail "after removal, Programs and Features lists kovalset $(listed)"
  for folder in "Program Files/kovalset" "Program Files (x86)/kovalset"; do
    [ ! -e "$WINEPREFIX/drive_c/$folder" ] || fail "after removal, $folder is left"
  done
  [ "$(system_path)" = "$path_before" ] || fail "after removal, PATH is $(system_path)"
}
# One prefix for all the packages, its server's socket folder in it (Wine
# makes that in TMPDIR). Made as in the Wine tests: the prefix left to
# settle, then one server for the rest. Wine's own long-lived processes must
# not hold the pipes of this test.
boot_wine() {
  export WINEPREFIX="$work/prefix-wine" WINEDEBUG=-all TMPDIR="$work/tmp-wine"
  mkdir -p "$WINEPREFIX" "$TMPDIR"
  "$wine" wineboot -i >/dev/null 2>&1 || fail "wineboot failed"
  timeout 120 "$(dirname "$wine")/wineserver" -w >/dev/null 2>&1 || true
  "$(dirname "$wine")/wineserver" -p >/dev/null 2>&1 || fail "wineserver cannot start"
  "$wine" wineboot >/dev/null 2>&1 || fail "wineboot failed"  # the services, started again
  path_before=$(system_path)
  [ -n "$path_before" ] || fail "Wine's prefix has no PATH"
}

# One .msi: installed, run by PATH from a new cmd, replaced by a rebuild of
# its version (a new ProductCode) and by a later version, removed; then two
# more install and removal cycles.
check_msi() {
  local msi=$1 windows_build=$2 folder
  folder=$(folder_of "$msi")
  msiexec /i "$msi"
  check_installed "$folder" "$version"
  local why= ran="runs by PATH, "
  case $(basename "$msi") in *win32*) why=$(bash "$probe") && why= ;; esac
  if [ -n "$why" ]; then
    echo "skipped: the kovalset.exe of $(basename "$msi") run by PATH: $why"
    ran=
  else
    (cd "$work" && "$wine" cmd /c kovalset.exe debugmsg "$(basename "$msi")") >"$work/wine-out" \
      2>&1 </dev/null || fail "kovalset.exe by PATH exited with $?: $(cat "$work/wine-out")"
    grep -q "Updating Debug Messages to : $(basename "$msi")" "$work/wine-out" ||
      fail "kovalset.exe did not run by PATH: $(cat "$work/wine-out")"
  fi
  local next again=$work/again-$(basename "$windows_build")
  next=$(echo "$version" | awk -F. '{ printf "%d.%d.%d", $1, $2, $3 + 1 }')
  (cd "$windows_build" &&
    cpack -G External -B "$again" -D CPACK_PACKAGE_FILE_NAME=again >/dev/null &&
    cpack -G External -B "$again" -D CPACK_PACKAGE_VERSION="$next" \
      -D CPACK_PACKAGE_FILE_NAME=next >/dev/null) || fail "cpack of the other .msi files failed"
  [ "$(product_code "$again/again.msi")" != "$(product_code "$msi")" ] ||
    fail "a rebuilt .msi has the ProductCode of the first"
  msiexec /i "$again/again.msi"
  check_installed "$folder" "$version"
  msiexec /i "$again/next.msi"
  check_installed "$folder" "$next"
  msiexec /x "$again/next.msi"
  check_removed
  for cycle in 2 3; do
    msiexec /i "$msi"
    check_installed "$folder" "$version"
    msiexec /x "$msi"
    check_removed
  done
  echo "ok: $(basename "$msi") installs, ${ran}is replaced by its rebuild and a later" \
    "version, and leaves nothing behind over three cycles under Wine"
}

# The .msi's tables, read without Wine: the packaged kovalset.exe (its size
# given) in its folder under the Program Files of its kind, which goes first
# on the system PATH; a component of each architecture's own, 64-bit only in
# the win64 package; an upgrade over any version up to its own.
check_msi_tables() {
  local msi=$1 size=$2 t=$'\t' root=ProgramFilesFolder bits=0 template=Intel
  local component={A6F235D3-51F0-44CC-BA4B-2CECC0A5B5F0}  # as in cmake/msi.cmake
  case $(basename "$msi") in *win64*) root=ProgramFiles64Folder bits=256 template=x64
    component={E37CE99E-C538-4D78-B1AE-78F4D15A3D89} ;;
  esac
  msiinfo suminfo "$msi" | tr -d '\r' | grep -qx "Template: $template;1033" ||
    fail "$(basename "$msi") is not for $template: $(msiinfo suminfo "$msi")"
  for want in "Directory:INSTALLDIR$t$root${t}kovalset" \
    "File:kovalset.exe${t}Program${t}kovalset.exe$t$size$t$t${t}512${t}1" \
    "Component:Program$t$component${t}INSTALLDIR$t$bits$t${t}kovalset.exe" \
    "Environment:PathEntry$t=-*PATH$t[INSTALLDIR];[~]${t}Program" \
    "Upgrade:{18AF0A34-8D20-48AD-AC2D-8D946152C216}$t$t$version$t${t}513$t${t}WIX_UPGRADE_DETECTED" \
    "InstallExecuteSequence:WriteEnvironmentStrings$t${t}5200" \
    "InstallExecuteSequence:RemoveEnvironmentStrings$t${t}3300"; do
    msiinfo export "$msi" "${want%%:*}" | tr -d '\r' | grep -qxF "${want#*:}" ||
      fail "the ${want%%:*} table of $(basename "$msi") lacks the row ${want#*:}"
  done
  echo "ok: $(basename "$msi") puts kovalset.exe in $root\\kovalset, on the PATH"
}

msis=() builds=()
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
  msis+=("$msi") builds+=("$windows")

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

# The .msi files under Wine; then either architecture's over the other's.
if [ ${#msis[@]} -gt 0 ] && [ ! -x "$wine" ]; then
  echo "skipped: no Wine to install the .msi packages"
elif [ ${#msis[@]} -gt 0 ]; then
  boot_wine
  for i in "${!msis[@]}"; do check_msi "${msis[$i]}" "${builds[$i]}"; done
  if [ ${#msis[@]} -eq 2 ]; then
    for order in "0 1" "1 0"; do
      read -r first second <<<"$order"
      msiexec /i "${msis[$first]}"
      msiexec /i "${msis[$second]}"
      check_installed "$(folder_of "${msis[$second]}")" "$version"
      msiexec /x "${msis[$second]}"
      check_removed
    done
    echo "ok: either .msi replaces the other, in both orders, under Wine"
  else
    echo "skipped: either .msi over the other: one Windows build given"
  fi
fi
