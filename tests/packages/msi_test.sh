#!/usr/bin/env bash
# The Windows installers as an administrator uses them, under Wine (after
# scripts/windows.sh test, in its prefix): per machine over an older version
# and per user (ALLUSERS=""), files, keys and manifests, the end-to-end tests
# against the installed host, a wrong id refused, msiexec /x leaving nothing.
# The x86 MSI by inspection: 32-bit programs cannot run here.
set -euo pipefail  # no grep -q after a pipe: an early exit would fail it
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${LUMRA_WINDOWS_BUILD:-$ROOT/build-windows}
BIN=$BUILD/bin
IDS=bebjjoghbeoiaaikohkeaamlnbghlpcd,abcdefghijklmnopabcdefghijklmnop
WORK=$(mktemp -d)
export WINEPREFIX=$BUILD/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;twain_32=n"
unset DISPLAY WAYLAND_DISPLAY
DIR="$WINEPREFIX/drive_c/Program Files/Lumra Scan"
SYSTEM32=$WINEPREFIX/drive_c/windows/system32
KEYS=('Software\Google\Chrome' 'Software\Chromium' 'Software\Microsoft\Edge' 'Software\Mozilla')
T0=$SECONDS
step() { echo "== msi: $* ($((SECONDS - T0)) s)"; }
fail() { echo "msi: FAILED: $*" >&2; exit 1; }
msiexec() {  # log name, arguments...
  local log=$WORK/$1.log
  shift
  wine msiexec "$@" /qn /l*v "$(winepath -w "$log")" >/dev/null 2>&1 </dev/null
}
cleanup() {
  [ -z "${msi:-}" ] || { msiexec x /x "$msi" || true; msiexec xu /x "$msi" 'ALLUSERS=""' || true; }
  rm -rf "$SYSTEM32/TWAINDSM.DLL" "$SYSTEM32/TWAIN_32.DLL" "$SYSTEM32/twain" "$WORK"
  wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT
[ -f "$WINEPREFIX/.lumra-ready" ] || fail "no Wine prefix in $BUILD: run scripts/windows.sh test first"
wineserver -p >/dev/null 2>&1 </dev/null || true
wine cmd /c exit >/dev/null 2>&1 </dev/null || fail "Wine does not start programs"

version=$(sed -n 's/^project(lumra_scan VERSION \([0-9.]*\) .*/\1/p' "$ROOT/CMakeLists.txt")
msis=$(LUMRA_DIST=$WORK/dist "$ROOT/scripts/package.sh" msi) || fail "scripts/package.sh msi"
msi=$(sed -n 1p <<<"$msis") x86=$(sed -n 2p <<<"$msis")
[ "$msi" = "$WORK/dist/lumra-scan-$version-x64.msi" ] || fail "MSIs: $msis"
old=$(LUMRA_DIST=$WORK/old LUMRA_PACKAGE_VERSION=0.9.0 "$ROOT/scripts/package.sh" msi | sed -n 1p)

if [ -d "${LUMRA_WINDOWS_I686_BUILD:-$ROOT/build-windows-i686}" ]; then
  step "the x86 MSI, by inspection"
  [ "$x86" = "$WORK/dist/lumra-scan-$version-x86.msi" ] || fail "no x86 MSI: $msis"
  msiinfo suminfo "$x86" | grep -x 'Template: Intel;1033' >/dev/null || fail "x86: not an Intel package"
  msiinfo export "$x86" Directory | grep $'^INSTALLDIR\tProgramFilesFolder\t' >/dev/null || fail "x86: not in Program Files (x86)"
  ! msiinfo export "$x86" Component | awk -F'\t' 'NR > 3 && $4 >= 256' | grep . >/dev/null || fail "x86: 64-bit components"
  [ "$(msiinfo export "$x86" Registry | awk -F'\t' 'NR > 3 && $2 == -1' | wc -l)" = 4 ] || fail "x86: keys"
  mkdir "$WORK/x86" && (cd "$WORK/x86" && msiextract "$x86" >/dev/null) || fail "x86: cannot extract"
  [ "$(find "$WORK/x86" -type f -name '*.exe' -exec i686-w64-mingw32-objdump -f {} \; |
    grep -c 'file format pei-i386$')" = 2 ] || fail "x86: programs are not i386"
fi

# The default value of a browser's key under HKLM or HKCU ("" when absent).
key() { wine reg query "$1\\$2\\NativeMessagingHosts\\lumra.scan_host" /ve 2>/dev/null </dev/null |
  tr -d '\r' | sed -n 's/.*REG_SZ[[:space:]]*//p'; }
expect_gone() {
  [ ! -e "$DIR" ] || fail "$1: $(ls "$DIR") left in Program Files"
  for root in HKLM HKCU; do for k in "${KEYS[@]}"; do [ -z "$(key $root "$k")" ] || fail "$1: $root\\$k left"; done; done
}
# Files, keys under `root` only, manifests naming the host and the ids.
expect_installed() {  # root, other root
  [ "$(ls "$DIR" | tr '\n' ' ')" = "lumra-scan-host.exe lumra-scan.exe lumra.scan_host.firefox.json lumra.scan_host.json " ] ||
    fail "installed: $(ls "$DIR")"
  for k in "${KEYS[@]}"; do
    local want='C:\Program Files\Lumra Scan\lumra.scan_host.json'
    [ "$k" != 'Software\Mozilla' ] || want=${want%.json}.firefox.json
    [ "$(key "$1" "$k")" = "$want" ] && [ -z "$(key "$2" "$k")" ] || fail "$1\\$k: \"$(key "$1" "$k")\""
  done
  python3 -c 'import json, sys
d, ids = sys.argv[1:]
for name, key, want in (("lumra.scan_host.json", "allowed_origins", ["chrome-extension://%s/" % i for i in ids.split(",")]),
                        ("lumra.scan_host.firefox.json", "allowed_extensions", ["scan@lumra.example"])):
  m = json.load(open(d + "/" + name))
  assert m == {"name": "lumra.scan_host", "description": "Lumra document scanning host", "type": "stdio",
               "path": "C:\\Program Files\\Lumra Scan\\lumra-scan-host.exe", key: want}, m' "$DIR" "$IDS" ||
    fail "manifests"
}

expect_gone "before"
step "a wrong extension id fails the install"
! msiexec wrong /i "$msi" EXTENSIONIDS=not-an-id || fail "EXTENSIONIDS=not-an-id accepted"
expect_gone "after a refused install"

step "per machine, over an older version"
msiexec old /i "$old" && msiexec machine /i "$msi" EXTENSIONIDS=$IDS FIREFOXIDS=scan@lumra.example ||
  fail "installing per machine"
expect_installed HKLM HKCU
said=$(wine "$DIR/lumra-scan-host.exe" --version 2>"$WORK/version.err" </dev/null | tr -d '\r' || true)
[ "$said" = "lumra-scan-host $version" ] ||
  fail "installed host --version said \"$said\" and on stderr: $(cat "$WORK/version.err")"
step "end-to-end tests against the installed host"
run_tests() {
  LUMRA_TEST_BIN_DIR='C:/Program Files/Lumra Scan' "$BUILD/wine-run.sh" "$BIN/$1.exe" --gtest_brief=1 \
    >"$WORK/$1.txt" 2>&1 || { tail -40 "$WORK/$1.txt" >&2; fail "$1 against the installed host"; }
}
run_tests protocol_test  # no manager on the machine: the host brought none
# Ours where Windows keeps an installed manager.
mkdir -p "$SYSTEM32/twain"
cp "$BIN/TWAINDSM.DLL" "$BIN/TWAIN_32.DLL" "$SYSTEM32/" && cp "$BIN/twain/virtual.ds" "$SYSTEM32/twain/"
run_tests scan_test
run_tests scan_client_test
rm -rf "$SYSTEM32/TWAINDSM.DLL" "$SYSTEM32/TWAIN_32.DLL" "$SYSTEM32/twain"
msiexec remove /x "$msi" || fail "msiexec /x"
expect_gone "after msiexec /x"

step "per user (ALLUSERS=\"\")"
msiexec user /i "$msi" 'ALLUSERS=""' EXTENSIONIDS=$IDS FIREFOXIDS=scan@lumra.example || fail "installing per user"
expect_installed HKCU HKLM
msiexec user-remove /x "$msi" 'ALLUSERS=""' || fail "removing the per-user install"
expect_gone "after removing the per-user install"

step "the defaults: the sample extension, no Firefox"
msiexec plain /i "$msi" || fail "installing with the defaults"
[ ! -e "$DIR/lumra.scan_host.firefox.json" ] && [ -z "$(key HKLM 'Software\Mozilla')" ] || fail "Firefox without its ids"
grep -qF '"chrome-extension:\/\/bebjjoghbeoiaaikohkeaamlnbghlpcd\/"]' "$DIR/lumra.scan_host.json" || fail "default ids"
msiexec plain-remove /x "$msi" || fail "removing"
expect_gone "after removing the default install"
step "all passed"
