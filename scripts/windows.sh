#!/usr/bin/env bash
# The Windows x86-64 build, cross-compiled with mingw-w64 and tested under Wine.
#   scripts/windows.sh build   installs the tools, builds the libraries and our
#                              programs into build-windows/bin
#   scripts/windows.sh test    the same, then runs the Windows tests under Wine
#   scripts/windows.sh shell   a shell with the Wine prefix of the tests set up
# With LUMRA_WINDOWS_ARCH=i686: the 32-bit programs into build-windows-i686/bin,
# and "test" checks them by inspection (these machines run no 32-bit code).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
JOBS=${JOBS:-2}
export LUMRA_WINDOWS_ARCH=${LUMRA_WINDOWS_ARCH:-x86_64}
ARCH=$LUMRA_WINDOWS_ARCH
case "$ARCH" in
  x86_64) BUILD=${LUMRA_WINDOWS_BUILD:-$ROOT/build-windows} PE_FORMAT=pei-x86-64 ;;
  i686) BUILD=${LUMRA_WINDOWS_I686_BUILD:-$ROOT/build-windows-i686} PE_FORMAT=pei-i386 ;;
  *) echo "windows: LUMRA_WINDOWS_ARCH is x86_64 or i686, not $ARCH" >&2; exit 2 ;;
esac
TRIPLE=$ARCH-w64-mingw32

PACKAGES=(
  cmake ninja-build pkg-config dpkg-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 libz-mingw-w64-dev googletest curl xz-utils ca-certificates msitools wixl
)
[ "$ARCH" = x86_64 ] ||
  PACKAGES+=(g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686)

T0=$SECONDS
phase() { echo "== windows: $* ($((SECONDS - T0)) s)"; }
die() { echo "windows: $*" >&2; exit 1; }

sudo_if_needed() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_packages() {
  local missing=() p
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  phase "installing ${missing[*]}"
  sudo_if_needed env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 update -qq
  sudo_if_needed env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 \
    install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

build() {
  install_packages
  phase "libraries"
  local deps
  deps=$("$ROOT/scripts/windows-deps.sh") || die "the libraries could not be built"
  phase "configure ($deps)"
  # Library paths found in another prefix must not survive into this one.
  if [ -f "$BUILD/CMakeCache.txt" ] &&
    ! grep -qx "LUMRA_WINDOWS_DEPS:UNINITIALIZED=$deps" "$BUILD/CMakeCache.txt"; then
    rm -f "$BUILD/CMakeCache.txt"
  fi
  mkdir -p "$BUILD"
  # The 32-bit tests could not run here: the programs only.
  local tests=ON
  [ "$ARCH" = x86_64 ] || tests=OFF
  cmake -S "$ROOT" -B "$BUILD" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-$ARCH.cmake" \
    -DLUMRA_WINDOWS_DEPS="$deps" -DCMAKE_BUILD_TYPE=Release -DLUMRA_BENCH=OFF -DLUMRA_TESTS=$tests \
    -DZLIB_LIBRARY=/usr/$TRIPLE/lib/libz.a -DZLIB_INCLUDE_DIR=/usr/$TRIPLE/include \
    >"$BUILD/configure.log" 2>&1 || { cat "$BUILD/configure.log" >&2; die "configuring failed"; }
  phase "build"
  cmake --build "$BUILD" -j "$JOBS"
  check_modules
}

# A TWAIN manager or source exports exactly its entry point.
check_exports() {  # entry, modules...
  local entry=$1 f exports ok=0
  shift
  for f in "$@"; do
    [ -f "$f" ] || continue
    exports=$("$TRIPLE-objdump" -p "$f" |
      sed -n '/Name Pointer\] Table/,/^$/ s/^\s*\[ *[0-9]*\] //p')
    if [ "$exports" != "$entry" ]; then
      echo "windows: $(basename "$f") exports [$(echo $exports)], not just $entry" >&2
      ok=1
    fi
  done
  return $ok
}

# Every program and module must load on a bare Windows of its architecture:
# no MinGW runtime DLLs.
check_modules() {
  local f imports bad=0
  for f in "$BUILD"/bin/*.exe "$BUILD"/bin/*.DLL "$BUILD"/bin/twain/*.ds; do
    [ -f "$f" ] || continue
    if ! "$TRIPLE-objdump" -f "$f" | grep -q "file format $PE_FORMAT\$"; then
      echo "windows: $(basename "$f") is not $PE_FORMAT: $("$TRIPLE-objdump" -f "$f" | grep -o 'file format.*')" >&2
      bad=1
    fi
    imports=$("$TRIPLE-objdump" -p "$f" | sed -n 's/^\s*DLL Name: //p')
    if echo "$imports" | grep -qiE '^(lib.*|zlib1|.*pthread.*)\.dll$'; then
      echo "windows: $(basename "$f") needs $(echo "$imports" | grep -iE '^(lib.*|zlib1|.*pthread.*)\.dll$' | tr '\n' ' ')" >&2
      bad=1
    fi
  done
  check_exports DSM_Entry "$BUILD"/bin/TWAINDSM.DLL "$BUILD"/bin/TWAIN_32.DLL || bad=1
  check_exports DS_Entry "$BUILD"/bin/twain/*.ds || bad=1
  [ $bad -eq 0 ] || die "a module is not fit for Windows"
}

# Our own Wine prefix, headless. The first Wine process leaves services that
# hold its pipes open, and a server started with piped output holds that pipe:
# start both detached before any test.
wine_env() {
  export WINEPREFIX=$BUILD/wine-prefix
  export WINEDEBUG=-all
  # Wine has a TWAIN_32.DLL of its own; ours must win wherever it lies.
  export WINEDLLOVERRIDES="mscoree,mshtml=;twain_32=n"
  unset DISPLAY WAYLAND_DISPLAY
}

wine_up() {
  wine_env
  if [ ! -f "$WINEPREFIX/.lumra-ready" ]; then
    phase "creating the Wine prefix"
    rm -rf "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 </dev/null || die "wineboot failed in $WINEPREFIX"
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 </dev/null ||
      die "could not set Wine's null graphics driver"
    wineserver -w
    touch "$WINEPREFIX/.lumra-ready"
  fi
  wineserver -p >/dev/null 2>&1 </dev/null || true  # already running is fine
  wine cmd /c exit >/dev/null 2>&1 </dev/null || die "Wine does not start programs"
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
}

# The tests find our manager beside the host in bin/, or put it in the
# system folder themselves, where Windows finds an installed one; a copy left
# there by an earlier run would hide "no manager on this machine".
prepare_system_folder() {
  local system32=$WINEPREFIX/drive_c/windows/system32
  # Wine's stand-in for its own TWAIN_32.DLL would shadow ours.
  find "$system32" -maxdepth 1 \( -iname twain_32.dll -o -iname twaindsm.dll \) -delete
  rm -rf "$system32/twain"
}

cmd_test() {
  build
  if [ "$ARCH" != x86_64 ]; then
    phase "$ARCH checked by its headers, imports and exports (32-bit programs cannot run here)"
    return 0
  fi
  wine_up
  prepare_system_folder
  phase "tests under Wine"
  (cd "$BUILD" && ctest --output-on-failure -j "$JOBS" --timeout 300)
  phase "all Windows tests passed"
}

case "${1:-test}" in
  build) build; phase "done: $BUILD/bin" ;;
  test) cmd_test ;;
  shell) wine_up; prepare_system_folder; echo "WINEPREFIX=$WINEPREFIX"; "${SHELL:-bash}" ;;
  *) echo "usage: scripts/windows.sh build|test|shell" >&2; exit 2 ;;
esac
