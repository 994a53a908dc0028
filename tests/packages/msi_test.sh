#!/usr/bin/env bash
# The Windows installer under Wine, as an administrator uses it: per machine
# and per user (ALLUSERS=""), files and registry keys, the end-to-end tests
# against the installed host, an install over an older version, a wrong
# extension id refused, and msiexec /x leaving nothing behind. Runs after
# scripts/windows.sh test, in its Wine prefix.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${LUMRA_WINDOWS_BUILD:-$ROOT/build-windows}
BIN=$BUILD/bin
CHROME_IDS=bebjjoghbeoiaaikohkeaamlnbghlpcd,abcdefghijklmnopabcdefghijklmnop
FIREFOX_ID=scan@lumra.example
WORK=${LUMRA_MSI_WORK:-$(mktemp -d)}

export WINEPREFIX=$BUILD/wine-prefix WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;twain_32=n"
unset DISPLAY WAYLAND_DISPLAY
DIR="$WINEPREFIX/drive_c/Program Files/Lumra Scan"
SYSTEM32=$WINEPREFIX/drive_c/windows/system32
KEYS=('Software\Google\Chrome' 'Software\Chromium' 'Software\Microsoft\Edge' 'Software\Mozilla')

T0=$SECONDS
step() { echo "== msi: $* ($((SECONDS - T0)) s)"; }
fail() { echo "msi: FAILED: $*" >&2; exit 1; }
cleanup() {
  wine msiexec /x "$msi" /qn >/dev/null 2>&1 </dev/null || true
  wine msiexec /x "$msi" /qn 'ALLUSERS=""' >/dev/null 2>&1 </dev/null || true
  rm -f "$SYSTEM32/TWAINDSM.DLL" "$SYSTEM32/TWAIN_32.DLL"
  rm -rf "$SYSTEM32/twain"; [ -n "${LUMRA_MSI_WORK:-}" ] || rm -rf "$WORK"
  wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT

[ -f "$WINEPREFIX/.lumra-ready" ] || fail "no Wine prefix in $BUILD: run scripts/windows.sh test first"
wineserver -p >/dev/null 2>&1 </dev/null || true
wine cmd /c exit >/dev/null 2>&1 </dev/null || fail "Wine does not start programs"

step "building the MSI"
version=$(sed -n 's/^project(lumra_scan VERSION \([0-9.]*\) .*/\1/p' "$ROOT/CMakeLists.txt")
msi=$(LUMRA_DIST=$WORK/dist LUMRA_WINDOWS_I686_BUILD=/nonexistent "$ROOT/scripts/package.sh" msi) ||
  fail "scripts/package.sh msi"
[ "$(basename "$msi")" = "lumra-scan-$version-x64.msi" ] || fail "MSI named $(basename "$msi")"
old=$(LUMRA_DIST=$WORK/old LUMRA_PACKAGE_VERSION=0.9.0 LUMRA_WINDOWS_I686_BUILD=/nonexistent \
  "$ROOT/scripts/package.sh" msi) || fail "the older MSI"

msiexec() {  # log name, arguments...
  local log=$WORK/$1.log
  shift
  wine msiexec "$@" /qn /l*v "$(winepath -w "$log")" >/dev/null 2>&1 </dev/null
}

# The default value of each browser's key under `root` ("" when absent).
key_value() {  # root, browser key
  wine reg query "$1\\$2\\NativeMessagingHosts\\lumra.scan_host" /ve 2>/dev/null </dev/null |
    tr -d '\r' | sed -n 's/.*REG_SZ[[:space:]]*//p'
}

# Nothing of ours in Program Files or under either root.
expect_gone() {  # what
  [ ! -e "$DIR" ] || fail "$1: $(ls "$DIR") left in Program Files"
  local root key
  for root in HKLM HKCU; do
    for key in "${KEYS[@]}"; do
      [ -z "$(key_value "$root" "$key")" ] || fail "$1: $root\\$key left"
    done
  done
}

# Installed files, keys under `root` only, and manifests naming the host.
expect_installed() {  # root
  local root=$1 other=HKCU key want
  [ "$root" = HKLM ] || other=HKLM
  for f in lumra-scan-host.exe lumra-scan.exe lumra.scan_host.json lumra.scan_host.firefox.json; do
    [ -f "$DIR/$f" ] || fail "no $f in Program Files"
  done
  ! ls "$DIR" | grep -qiE 'twain|\.ds$' || fail "a TWAIN manager or source was installed"
  [ "$(ls "$DIR" | wc -l)" = 4 ] || fail "unexpected files: $(ls "$DIR")"
  for key in "${KEYS[@]}"; do
    want='C:\Program Files\Lumra Scan\lumra.scan_host.json'
    [ "$key" != 'Software\Mozilla' ] || want='C:\Program Files\Lumra Scan\lumra.scan_host.firefox.json'
    [ "$(key_value "$root" "$key")" = "$want" ] || fail "$root\\$key is \"$(key_value "$root" "$key")\""
    [ -z "$(key_value "$other" "$key")" ] || fail "$other\\$key written too"
  done
  python3 - "$DIR" "$CHROME_IDS" "$FIREFOX_ID" <<'PY' || fail "manifests"
import json, sys
folder, chrome, firefox = sys.argv[1:]
host = 'C:\\Program Files\\Lumra Scan\\lumra-scan-host.exe'
base = {'name': 'lumra.scan_host', 'description': 'Lumra document scanning host', 'path': host, 'type': 'stdio'}
got = json.load(open(folder + '/lumra.scan_host.json'))
assert got == dict(base, allowed_origins=['chrome-extension://%s/' % i for i in chrome.split(',')]), got
got = json.load(open(folder + '/lumra.scan_host.firefox.json'))
assert got == dict(base, allowed_extensions=[firefox]), got
PY
}

expect_gone "before installing"
step "a wrong extension id fails the install"
if msiexec wrong-id /i "$msi" EXTENSIONIDS=not-an-id; then fail "EXTENSIONIDS=not-an-id was accepted"; fi
expect_gone "after a refused install"

step "per machine, over an older version"
msiexec old /i "$old" || fail "installing the older version"
msiexec machine /i "$msi" EXTENSIONIDS=$CHROME_IDS FIREFOXIDS=$FIREFOX_ID || fail "installing per machine"
expect_installed HKLM
[ "$(wine "$DIR/lumra-scan-host.exe" --version 2>/dev/null </dev/null | tr -d '\r')" = "lumra-scan-host $version" ] ||
  fail "installed host --version"

step "end-to-end tests against the installed host"
run_tests() {  # test program, gtest filter
  LUMRA_TEST_BIN_DIR='C:/Program Files/Lumra Scan' "$BUILD/wine-run.sh" "$BIN/$1.exe" \
    --gtest_brief=1 --gtest_filter="$2" >"$WORK/$1.log" 2>&1 ||
    { tail -40 "$WORK/$1.log" >&2; fail "$1 against the installed host"; }
}
# No manager on this machine yet: the host must not bring one.
run_tests protocol_test '*'
# Then ours where Windows keeps an installed one.
mkdir -p "$SYSTEM32/twain"
cp "$BIN/TWAINDSM.DLL" "$BIN/TWAIN_32.DLL" "$SYSTEM32/"
cp "$BIN/twain/virtual.ds" "$SYSTEM32/twain/"
run_tests scan_test '*'
run_tests scan_client_test '*'
rm -rf "$SYSTEM32/TWAINDSM.DLL" "$SYSTEM32/TWAIN_32.DLL" "$SYSTEM32/twain"

step "msiexec /x"
msiexec remove /x "$msi" || fail "removing"
expect_gone "after msiexec /x (over an older version)"

step "per user (ALLUSERS=\"\")"
msiexec user /i "$msi" 'ALLUSERS=""' EXTENSIONIDS=$CHROME_IDS FIREFOXIDS=$FIREFOX_ID || fail "installing per user"
expect_installed HKCU
msiexec user-remove /x "$msi" 'ALLUSERS=""' || fail "removing the per-user install"
expect_gone "after removing the per-user install"

step "without Firefox ids: no Firefox manifest or key"
msiexec plain /i "$msi" || fail "installing with the defaults"
[ ! -e "$DIR/lumra.scan_host.firefox.json" ] || fail "a Firefox manifest without Firefox ids"
[ -z "$(key_value HKLM 'Software\Mozilla')" ] || fail "a Firefox key without Firefox ids"
grep -q '"chrome-extension:\\/\\/bebjjoghbeoiaaikohkeaamlnbghlpcd\\/"' "$DIR/lumra.scan_host.json" ||
  fail "the default manifest does not allow the sample extension"
msiexec plain-remove /x "$msi" || fail "removing"
expect_gone "after removing the default install"
step "all passed"
