#!/usr/bin/env bash
# Installable packages of the Release builds, into dist/:
#   scripts/package.sh deb   lumra-scan_<version>_<arch>.deb from build/
#   scripts/package.sh msi   lumra-scan-<version>-x64.msi (and -x86.msi) from the
#                            Windows builds
#   scripts/package.sh       both
# LUMRA_EXTENSION_IDS and LUMRA_FIREFOX_EXTENSION_IDS (comma-separated) name
# the extensions the Linux manifests allow; the MSI takes them when installed.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
JOBS=${JOBS:-2}
DIST=${LUMRA_DIST:-$ROOT/dist}
NAME=lumra-scan
MAINTAINER='Lumra Scan team <scan@lumra.example>'
SAMPLE_EXTENSION_ID=bebjjoghbeoiaaikohkeaamlnbghlpcd

die() { echo "package: $*" >&2; exit 1; }

version() { sed -n 's/^project(lumra_scan VERSION \([0-9.]*\) .*/\1/p' "$ROOT/CMakeLists.txt"; }

# The date of the last commit: the same sources give the same package.
release_date() { git -C "$ROOT" log -1 --format=%cD 2>/dev/null || date -R; }

deb() {
  local build=$ROOT/build version arch work tree deb
  version=$(version)
  arch=$(dpkg --print-architecture)
  # The ids are part of what is installed: every package states them anew.
  cmake -S "$ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DLUMRA_EXTENSION_IDS="${LUMRA_EXTENSION_IDS:-$SAMPLE_EXTENSION_ID}" \
    -DLUMRA_FIREFOX_EXTENSION_IDS="${LUMRA_FIREFOX_EXTENSION_IDS:-}" >/dev/null
  cmake --build "$build" -j "$JOBS" >/dev/null

  work=$(mktemp -d)
  trap 'rm -rf "$work"; trap - RETURN' RETURN
  # dpkg-shlibdeps knows the package's own libraries by this layout.
  tree=$work/debian/$NAME
  DESTDIR=$tree cmake --install "$build" --prefix /usr --strip >/dev/null

  gzip -9n "$tree"/usr/share/man/man1/*.1
  local doc=$tree/usr/share/doc/$NAME
  mkdir -p "$doc"
  cat >"$doc/copyright" <<COPYRIGHT
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: $NAME

Files: *
Copyright: $(date -d "$(release_date)" +%Y) The Lumra Scan authors
License: proprietary
 All rights reserved.
COPYRIGHT
  printf '%s (%s) stable; urgency=medium\n\n  * Release %s.\n\n -- %s  %s\n' \
    "$NAME" "$version" "$version" "$MAINTAINER" "$(release_date)" | gzip -9n >"$doc/changelog.gz"

  # Chrome and Edge read system-wide native-messaging manifests only there.
  mkdir -p "$tree/usr/share/lintian/overrides"
  printf '%s: dir-or-file-in-etc-opt [etc/opt/*]\n' "$NAME" >"$tree/usr/share/lintian/overrides/$NAME"

  mkdir -p "$tree/DEBIAN"
  printf 'Source: %s\n\nPackage: %s\nArchitecture: any\n' "$NAME" "$NAME" >"$work/debian/control"
  local depends
  depends=$(cd "$work" && dpkg-shlibdeps -O -e"debian/$NAME/usr/lib/$NAME/lumra-scan-host" \
    $(find "debian/$NAME" -type f \( -name '*.so' -o -name '*.ds' -o -perm -100 \) -printf '-e%p ') \
    2> >(grep -v "can't extract name and version from library name" >&2) |
    sed -n 's/^shlibs:Depends=//p') || die "dpkg-shlibdeps failed"
  cat >"$tree/DEBIAN/control" <<CONTROL
Package: $NAME
Version: $version
Architecture: $arch
Maintainer: $MAINTAINER
Installed-Size: $(du -sk --exclude=DEBIAN "$tree" | cut -f1)
Depends: $depends
Section: graphics
Priority: optional
Description: document scanning for web applications
 A native-messaging host that lets browser extensions list the scanners of
 this computer, run scan jobs and receive the pages as files or as Base64.
 Comes with its own TWAIN-compatible manager, a virtual scanner and a data
 source for every SANE device, and registers itself with Chrome, Chromium,
 Edge and (when built with a Firefox extension id) Firefox.
CONTROL
  (cd "$tree" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z |
    xargs -0 md5sum >DEBIAN/md5sums)
  mkdir -p "$DIST"
  deb=$DIST/${NAME}_${version}_${arch}.deb
  dpkg-deb --root-owner-group -Zxz --build "$tree" "$deb" >/dev/null || die "dpkg-deb failed"
  echo "$deb"
}

# One Windows build as an MSI. wixl leaves out what it cannot express; the
# MSI's own tables get it afterwards.
msi_of() {  # arch (x64, x86), build folder
  local arch=$1 bin=$2/bin version=${LUMRA_PACKAGE_VERSION:-$(version)} work msi
  [ -f "$bin/lumra-scan-host.exe" ] || die "no Windows build in $2 (scripts/windows.sh build)"
  work=$(mktemp -d)
  trap 'rm -rf "$work"; trap - RETURN' RETURN
  # Replaced when installing by lumra-scan manifests, with the ids given.
  mkdir "$work/placeholders"
  for name in lumra.scan_host lumra.scan_host.firefox; do
    printf '{\n  "name": "lumra.scan_host",\n  "path": "lumra-scan-host.exe",\n  "type": "stdio"\n}\n' \
      >"$work/placeholders/$name.json"
  done
  ln -s "$bin" "$work/bin"
  mkdir -p "$DIST"
  msi=$DIST/$NAME-$version-$arch.msi
  rm -f "$msi"
  # wixl takes sources by relative paths only.
  (cd "$work" && wixl -a "$arch" -D Version="$version" -D Arch="$arch" -D Bin=bin \
    -D Placeholders=placeholders -o "$msi" "$ROOT/scripts/lumra-scan.wxs") || die "wixl failed"
  local upgrade
  upgrade=$(sed -n 's/.*UpgradeCode="\([^"]*\)".*/\1/p' "$ROOT/scripts/lumra-scan.wxs")
  local queries=(
    # HKMU (HKLM per machine, HKCU with ALLUSERS=""), which wixl writes as 4.
    "UPDATE Registry SET Root=-1"
    # Firefox only when given its ids; removed whatever they were.
    "UPDATE Component SET Condition='FIREFOXIDS OR REMOVE~=\"ALL\"' WHERE Component='Firefox'"
    # The manifests are written among the files, before the install commits.
    "UPDATE InstallExecuteSequence SET Sequence=4001 WHERE Action='WriteManifests'"
    "UPDATE Property SET Value='WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;EXTENSIONIDS;FIREFOXIDS' WHERE Property='SecureCustomProperties'"
    # The same version replaces itself too, and the other architecture's
    # build (IncludeMaximum + MigrateFeatures).
    "DELETE FROM Upgrade WHERE ActionProperty='WIX_UPGRADE_DETECTED'"
    "INSERT INTO Upgrade (UpgradeCode, VersionMin, VersionMax, Language, Attributes, Remove, ActionProperty) VALUES ('{$upgrade}', '', '$version', '', 513, '', 'WIX_UPGRADE_DETECTED')"
  )
  local q
  for q in "${queries[@]}"; do
    msibuild "$msi" -q "$q" >/dev/null 2>&1 || die "msibuild: $q"
  done
  echo "$msi"
}

# x64 always; x86 when its build exists (scripts/windows.sh build with
# LUMRA_WINDOWS_ARCH=i686).
msi() {
  msi_of x64 "${LUMRA_WINDOWS_BUILD:-$ROOT/build-windows}"
  local i686=${LUMRA_WINDOWS_I686_BUILD:-$ROOT/build-windows-i686}
  [ ! -d "$i686" ] || msi_of x86 "$i686"
}

case "${1:-all}" in
  deb) deb ;;
  msi) msi ;;
  all) deb; msi ;;
  *) echo "usage: scripts/package.sh deb|msi|all" >&2; exit 2 ;;
esac
