#!/usr/bin/env bash
# The Debian package as an administrator meets it: contents, lintian, wrong
# extension ids refused by the build, the unpacked host and manifests through
# the end-to-end tests and, as root, a real install over an older version, the
# browser test through the installed manifest, and a dpkg -r that leaves
# nothing behind.
set -euo pipefail  # no grep -q after a pipe: an early exit would fail it
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BIN=$ROOT/build/bin
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
T0=$SECONDS
step() { echo "== deb: $* ($((SECONDS - T0)) s)"; }
fail() { echo "deb: FAILED: $*" >&2; exit 1; }

step "building the package"
deb=$(LUMRA_FIREFOX_EXTENSION_IDS=scan@lumra.example "$ROOT/scripts/package.sh" deb 2>"$WORK/log") ||
  { cat "$WORK/log" >&2; fail "scripts/package.sh deb"; }
version=$(sed -n 's/^project(lumra_scan VERSION \([0-9.]*\) .*/\1/p' "$ROOT/CMakeLists.txt")
[ "$(basename "$deb")" = "lumra-scan_${version}_amd64.deb" ] || fail "named $(basename "$deb")"
manifest=/usr/share/lumra-scan/lumra.scan_host.json
expected="etc/chromium/native-messaging-hosts/lumra.scan_host.json -> $manifest
etc/opt/chrome/native-messaging-hosts/lumra.scan_host.json -> $manifest
etc/opt/edge/native-messaging-hosts/lumra.scan_host.json -> $manifest
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
usr/share/man/man1/lumra-scan-host.1.gz
usr/share/man/man1/lumra-scan.1.gz
usr/share/doc/lumra-scan/copyright
usr/share/lintian/overrides/lumra-scan
usr/share/lumra-scan/firefox/lumra.scan_host.json
usr/share/lumra-scan/lumra.scan_host.json"
[ -f "$BIN/twain/sane/sane.ds" ] || expected=$(grep -v sane.ds <<<"$expected")
actual=$(dpkg-deb -c "$deb" | grep -v '^d' | sed -E 's/^([^ ]+ +){5}\.\///' | sort)
[ "$actual" = "$(sort <<<"$expected")" ] || fail "contents: $(diff <(sort <<<"$expected") - <<<"$actual")"
! dpkg-deb -c "$deb" | awk '$2 != "root/root"' | grep . >/dev/null || fail "a file not owned by root"
dpkg-deb -f "$deb" Depends | grep 'libtiff6' >/dev/null || fail "no dependencies from the linked libraries"
lintian --fail-on error "$deb" >"$WORK/log" 2>&1 || { cat "$WORK/log" >&2; fail "lintian errors"; }

step "wrong extension ids are refused by the build"
for case in "LUMRA_EXTENSION_IDS=bebjjoghbeoiaaikohkeaamlnbghlpcq|is not a Chrome extension id (32 letters a-p)" \
  "LUMRA_FIREFOX_EXTENSION_IDS=\"x\"@y|is not a Firefox extension id (name@domain or {uuid})"; do
  ! cmake -S "$ROOT" -B "$WORK/bad" "-D${case%%|*}" >"$WORK/log" 2>&1 || fail "${case%%|*} accepted"
  tr -s ' \n' ' ' <"$WORK/log" | grep -F "${case#*|}" >/dev/null || fail "${case%%|*}: $(cat "$WORK/log")"
  rm -rf "$WORK/bad"
done

step "the unpacked package"
root=$WORK/root
dpkg-deb -x "$deb" "$root"
for m in etc/opt/chrome etc/chromium etc/opt/edge usr/lib/mozilla; do
  link=$root/$m/native-messaging-hosts/lumra.scan_host.json target=$(readlink "$link")
  [[ $target == /* ]] && target=$root$target || target=$(dirname "$link")/$target
  python3 -c 'import json, sys; m = json.load(open(sys.argv[1])); assert m["path"] == "/usr/lib/lumra-scan/lumra-scan-host" and m["name"] == "lumra.scan_host" and m["type"] == "stdio" and m.get("allowed_origins", m.get("allowed_extensions")) == [sys.argv[2]], m' \
    "$target" "$([ "$m" = usr/lib/mozilla ] && echo scan@lumra.example || echo chrome-extension://bebjjoghbeoiaaikohkeaamlnbghlpcd/)" ||
    fail "manifest in $m"
done
installed=$root/usr/lib/lumra-scan
for t in protocol_test protocol-posix_test scan_test scan_client_test sane_scan-posix_test; do
  LUMRA_TEST_BIN_DIR=$installed "$BIN/$t" --gtest_brief=1 >"$WORK/log" 2>&1 ||
    { tail -40 "$WORK/log" >&2; fail "$t against the unpacked host"; }
done
# Only as root, one run at a time, never over a lumra-scan the machine has.
exec 9>/tmp/lumra-scan-deb-test.lock
flock 9
if [ "$(id -u)" -ne 0 ] || dpkg-query -W -f='${Status}' lumra-scan 2>/dev/null | grep installed >/dev/null; then
  step "not root, or lumra-scan installed already: no real install"
  exit 0
fi
step "install over an older version, then dpkg -r"
apt_get() { DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 -qq "$@" >/dev/null 2>&1; }
trap 'apt_get remove -y lumra-scan || true; rm -rf "$WORK"' EXIT
dpkg-deb -R "$deb" "$WORK/old"
sed -i 's/^Version: .*/Version: 0.9.0/' "$WORK/old/DEBIAN/control"
dpkg-deb --root-owner-group -b "$WORK/old" "$WORK/old.deb" >/dev/null
paths=$(dpkg-deb -c "$deb" | sed -E 's/^([^ ]+ +){5}\.//; s/ -> .*//' | grep -v '^/$')
absent=$(while read -r p; do [ -e "$p" ] || [ -L "$p" ] || echo "$p"; done <<<"$paths")
apt_get install -y "$WORK/old.deb" && apt_get install -y "$deb" || fail "installing"
[ "$(dpkg-query -W -f='${Version}' lumra-scan)" = "$version" ] || fail "not upgraded"
TMPDIR=$WORK SANE_CONFIG_DIR=$WORK/none lumra-scan list 2>&1 | grep "Lumra Virtual Scanner" >/dev/null ||
  fail "the installed lumra-scan lists no virtual scanner"
if [ -d "$ROOT/browser/node_modules/playwright-core" ]; then
  step "browser test through the installed manifest"
  (cd "$ROOT/browser" && LUMRA_SYSTEM_MANIFEST=1 LUMRA_HOST_BIN=/usr/lib/lumra-scan/lumra-scan-host \
    LUMRA_BROWSER_OUT=$WORK/browser LUMRA_EXTENSION_DIR=$ROOT/build/browser-extension \
    node --test e2e/browser.test.js >"$WORK/log" 2>&1) || { tail -40 "$WORK/log" >&2; fail "browser test"; }
fi
apt_get remove -y lumra-scan || fail "dpkg -r"
left=$(while read -r p; do if [ -e "$p" ] || [ -L "$p" ]; then echo "$p"; fi; done <<<"$absent")
[ -z "$left" ] || fail "left behind after dpkg -r: $left"
step "all passed"
