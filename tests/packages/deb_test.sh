#!/usr/bin/env bash
# The Debian package as an administrator meets it: its contents and lintian;
# the host and manifests of an unpacked copy through the end-to-end tests and
# the browser test; wrong extension ids refused by the build; as root, a real
# install over an older version and a removal that leaves nothing behind.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BIN=$ROOT/build/bin
HOST_PATH=/usr/lib/lumra-scan/lumra-scan-host
CHROME_ID=bebjjoghbeoiaaikohkeaamlnbghlpcd
FIREFOX_ID=scan@lumra.example
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

T0=$SECONDS
step() { echo "== deb: $* ($((SECONDS - T0)) s)"; }
fail() { echo "deb: FAILED: $*" >&2; exit 1; }

step "building the package"
deb=$(LUMRA_FIREFOX_EXTENSION_IDS=$FIREFOX_ID "$ROOT/scripts/package.sh" deb 2>"$WORK/package.log") ||
  { cat "$WORK/package.log" >&2; fail "scripts/package.sh deb"; }
version=$(sed -n 's/^project(lumra_scan VERSION \([0-9.]*\) .*/\1/p' "$ROOT/CMakeLists.txt")
[ "$(basename "$deb")" = "lumra-scan_${version}_$(dpkg --print-architecture).deb" ] ||
  fail "package named $(basename "$deb")"

step "contents"
expected="etc/chromium/native-messaging-hosts/lumra.scan_host.json -> /usr/share/lumra-scan/lumra.scan_host.json
etc/opt/chrome/native-messaging-hosts/lumra.scan_host.json -> /usr/share/lumra-scan/lumra.scan_host.json
etc/opt/edge/native-messaging-hosts/lumra.scan_host.json -> /usr/share/lumra-scan/lumra.scan_host.json
usr/bin/lumra-scan -> ../lib/lumra-scan/lumra-scan
usr/bin/lumra-scan-host -> ../lib/lumra-scan/lumra-scan-host
usr/lib/lumra-scan/liblumra_platform.so
usr/lib/lumra-scan/libtwain_32.so
usr/lib/lumra-scan/libtwaindsm.so
usr/lib/lumra-scan/lumra-scan
usr/lib/lumra-scan/lumra-scan-host
usr/lib/lumra-scan/twain/sane/sane.ds
usr/lib/lumra-scan/twain/virtual.ds
usr/lib/mozilla/native-messaging-hosts/lumra.scan_host.json -> ../../../share/lumra-scan/firefox/lumra.scan_host.json
usr/share/doc/lumra-scan/changelog.gz
usr/share/doc/lumra-scan/copyright
usr/share/lintian/overrides/lumra-scan
usr/share/lumra-scan/firefox/lumra.scan_host.json
usr/share/lumra-scan/lumra.scan_host.json"
# Without SANE at build time there is no SANE source to ship.
[ -f "$BIN/twain/sane/sane.ds" ] || expected=$(grep -v sane.ds <<<"$expected")
actual=$(dpkg-deb -c "$deb" | grep -v '^d' | sed -E 's/^([^ ]+ +){5}\.\///' | sort)
[ "$actual" = "$(sort <<<"$expected")" ] ||
  fail "contents differ:$(diff <(sort <<<"$expected") <(echo "$actual") | sed 's/^/\n  /')"
dpkg-deb -c "$deb" | awk '$2 != "root/root" { bad = 1 } END { exit bad }' || fail "a file not owned by root"
dpkg-deb -f "$deb" Depends | grep -q 'libtiff6' || fail "no dependencies declared from the linked libraries"

step "lintian"
lintian --fail-on error "$deb" >"$WORK/lintian.log" 2>&1 || { cat "$WORK/lintian.log" >&2; fail "lintian reports errors"; }
grep -v 'root privileges' "$WORK/lintian.log" || true

step "wrong extension ids are refused by the build"
while IFS='|' read -r option id message; do
  if cmake -S "$ROOT" -B "$WORK/bad-ids" -G Ninja -DLUMRA_TESTS=OFF -DLUMRA_BENCH=OFF \
    "-D$option=$id" >"$WORK/bad-ids.log" 2>&1; then
    fail "$option=$id was accepted"
  fi
  tr -s ' \n' ' ' <"$WORK/bad-ids.log" | grep -qF "$message" || fail "$option=$id: no clear message in $(cat "$WORK/bad-ids.log")"
  rm -rf "$WORK/bad-ids"
done <<CASES
LUMRA_EXTENSION_IDS|$CHROME_ID,abc|LUMRA_EXTENSION_IDS: "abc" is not a Chrome extension id (32 letters a-p)
LUMRA_EXTENSION_IDS|bebjjoghbeoiaaikohkeaamlnbghlpcz|is not a Chrome extension id
LUMRA_EXTENSION_IDS||LUMRA_EXTENSION_IDS: no extension id given
LUMRA_FIREFOX_EXTENSION_IDS|"quote"@x|is not a Firefox extension id
CASES

step "the unpacked package"
root=$WORK/root
dpkg-deb -x "$deb" "$root"
python3 - "$root" "$HOST_PATH" "$CHROME_ID" "$FIREFOX_ID" <<'PY' || fail "manifests"
import json, os, sys
root, host, chrome, firefox = sys.argv[1:]
def manifest(link):
    path = os.path.join(root, link)
    target = os.readlink(path)
    # Absolute links point into the system the package is installed in.
    real = os.path.join(root, target.lstrip('/')) if target.startswith('/') else os.path.join(os.path.dirname(path), target)
    return json.load(open(real))
chromium = {'name': 'lumra.scan_host', 'description': 'Lumra document scanning host', 'path': host,
            'type': 'stdio', 'allowed_origins': ['chrome-extension://%s/' % chrome]}
for folder in ('etc/opt/chrome', 'etc/chromium', 'etc/opt/edge'):
    got = manifest(folder + '/native-messaging-hosts/lumra.scan_host.json')
    assert got == chromium, (folder, got)
firefox_manifest = {k: v for k, v in chromium.items() if k != 'allowed_origins'}
firefox_manifest['allowed_extensions'] = [firefox]
got = manifest('usr/lib/mozilla/native-messaging-hosts/lumra.scan_host.json')
assert got == firefox_manifest, got
PY
installed=$root/usr/lib/lumra-scan
[ "$("$root/usr/bin/lumra-scan-host" --version)" = "lumra-scan-host $version" ] || fail "host --version"
[ "$("$root/usr/bin/lumra-scan" --version)" = "lumra-scan $version" ] || fail "lumra-scan --version"
for t in protocol_test protocol-posix_test scan_test scan_client_test sane_scan-posix_test; do
  [ -x "$BIN/$t" ] || continue
  LUMRA_TEST_BIN_DIR=$installed "$BIN/$t" --gtest_brief=1 >"$WORK/$t.log" 2>&1 ||
    { tail -40 "$WORK/$t.log" >&2; fail "$t against the unpacked host"; }
done
if [ "${LUMRA_SKIP_BROWSER:-0}" != 1 ] && [ -d "$ROOT/browser/node_modules/playwright-core" ]; then
  step "browser test against the unpacked host"
  (cd "$ROOT/browser" && LUMRA_HOST_BIN=$installed/lumra-scan-host \
    LUMRA_EXTENSION_DIR=$ROOT/build/browser-extension LUMRA_BROWSER_OUT=$WORK/browser \
    node --test e2e/browser.test.js >"$WORK/browser.log" 2>&1) ||
    { tail -40 "$WORK/browser.log" >&2; fail "browser test against the unpacked host"; }
fi

# Installing for real changes the machine: only as root, one run at a time,
# and never over a lumra-scan the machine already has.
if [ "$(id -u)" -ne 0 ] || [ "${LUMRA_SKIP_INSTALL:-0}" = 1 ]; then
  step "not root: no real install"
  exit 0
fi
exec 9>/var/lock/lumra-scan-deb-test.lock
flock 9
if dpkg-query -W -f='${Status}' lumra-scan 2>/dev/null | grep -q 'installed'; then
  step "lumra-scan is installed on this machine: no real install"
  exit 0
fi
step "install over an older version, then dpkg -r"
apt_get() { env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 -qq "$@"; }
trap 'apt_get remove -y lumra-scan >/dev/null 2>&1 || true; rm -rf "$WORK"' EXIT
dpkg-deb -R "$deb" "$WORK/old"
sed -i 's/^Version: .*/Version: 0.9.0/' "$WORK/old/DEBIAN/control"
echo stale >"$WORK/old/usr/share/lumra-scan/lumra.scan_host.json"
dpkg-deb --root-owner-group -b "$WORK/old" "$WORK/old.deb" >/dev/null
paths=$(dpkg-deb -c "$deb" | sed -E 's/^([^ ]+ +){5}\.//; s/ -> .*//' | grep -v '^/$')
absent_before=$(while read -r p; do [ -e "$p" ] || [ -L "$p" ] || echo "$p"; done <<<"$paths")
apt_get install -y "$WORK/old.deb" >/dev/null
apt_get install -y "$deb" >/dev/null
[ "$(dpkg-query -W -f='${Version}' lumra-scan)" = "$version" ] || fail "not upgraded"
[ "$(lumra-scan-host --version)" = "lumra-scan-host $version" ] || fail "installed host --version"
grep -q "$HOST_PATH" /etc/opt/chrome/native-messaging-hosts/lumra.scan_host.json || fail "manifest not upgraded"
TMPDIR=$WORK SANE_CONFIG_DIR=$WORK/no-sane lumra-scan list >"$WORK/list.txt" 2>&1 || fail "installed lumra-scan list: $(cat "$WORK/list.txt")"
grep -q "Lumra Virtual Scanner" "$WORK/list.txt" || fail "installed host lists no virtual scanner"
apt_get remove -y lumra-scan >/dev/null  # dpkg -r, once the lock is free
left=$(while read -r p; do [ -e "$p" ] || [ -L "$p" ] && echo "$p"; done <<<"$absent_before" || true)
[ -z "$left" ] || fail "left behind after dpkg -r: $left"
trap 'rm -rf "$WORK"' EXIT
step "all passed"
