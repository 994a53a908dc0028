#!/usr/bin/env bash
# Builds the libraries the Windows build links (codecs, log, tests) for
# mingw-w64 x86-64 (or i686 with LUMRA_WINDOWS_ARCH=i686) from Debian's source
# packages, into a prefix cached outside the clone and keyed by the versions
# below and the architecture.
#   scripts/windows-deps.sh            prints the prefix (builds it if missing)
# Needs: the mingw-w64 posix compilers, cmake, ninja, dpkg-dev, googletest,
# libz-mingw-w64-dev (zlib itself comes from Debian's mingw package).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
JOBS=${JOBS:-2}
ARCH=${LUMRA_WINDOWS_ARCH:-x86_64}
case "$ARCH" in
  x86_64 | i686) ;;
  *) echo "windows deps: LUMRA_WINDOWS_ARCH is x86_64 or i686, not $ARCH" >&2; exit 2 ;;
esac
TRIPLE=$ARCH-w64-mingw32
# The x86-64 key stays what it was before there was a choice.
ARCH_KEY=()
[ "$ARCH" = x86_64 ] || ARCH_KEY=("$ARCH")

# Newer security versions of some of these answer 404 on the mirror; these
# download. Change the recipe number when the build steps below change.
RECIPE=5
SOURCES=(
  libjpeg-turbo=1:2.1.5-2
  libpng1.6=1.6.39-2+deb12u5
  tiff=4.5.0-6+deb12u4
  openjpeg2=2.5.0-2+deb12u3
  libmng=1.0.10+dfsg-3.1
  giflib=5.2.1-2.5+deb12u1
  fmtlib=9.1.0+ds1-2
  spdlog=1:1.10.0+ds-0.4
  libdeflate=1.14-1
)
# The mirror has only the upstream tarball of these (their Debian patches
# answer 404); the tarball's checksum comes from the signed source index.
ORIG_ONLY=(libharu=2.3.0+dfsg-1)
# Header-only; its source package is not on the mirror, its binary one is.
HEADERS=(libutfcpp-dev=3.2.3-1)

CACHE=${LUMRA_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/lumra-windows-deps}
GTEST_VERSION=$(dpkg-query -W -f='${Version}' googletest 2>/dev/null || echo none)
CC_VERSION=$($TRIPLE-gcc-posix -dumpfullversion 2>/dev/null || echo none)
KEY=$(printf '%s\n' "$RECIPE" "${SOURCES[@]}" "${ORIG_ONLY[@]}" "${HEADERS[@]}" "$GTEST_VERSION" "$CC_VERSION" \
  "${ARCH_KEY[@]}" |
  sha256sum | cut -c1-16)
PREFIX=$CACHE/$KEY
if [ -f "$PREFIX/.complete" ]; then
  echo "$PREFIX"
  exit 0
fi

log() { echo "== windows deps: $*" >&2; }
die() { echo "windows deps: $*" >&2; exit 1; }

WORK=$CACHE/work-$KEY
rm -rf "$WORK" "$PREFIX"
mkdir -p "$WORK/dl" "$WORK/apt/lists/partial" "$WORK/apt/cache/archives/partial" \
  "$WORK/apt/sources.list.d" "$WORK/apt/preferences.d" "$PREFIX"
# Anything a library installs by a relative path lands in the work folder.
cd "$WORK"

# A private apt configuration with source lists; /etc stays untouched.
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] || continue
  grep -q 'debian' "$f" || continue
  sed -E 's/^Types:.*/Types: deb deb-src/' "$f" >"$WORK/apt/sources.list.d/$(basename "$f")"
done
if [ -f /etc/apt/sources.list ]; then
  grep -E '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' \
    >"$WORK/apt/sources.list.d/sources-src.list" || true
  grep -E '^deb ' /etc/apt/sources.list >>"$WORK/apt/sources.list.d/sources-src.list" || true
fi
cat >"$WORK/apt/apt.conf" <<CONF
Dir::Etc::sourcelist "/dev/null";
Dir::Etc::sourceparts "$WORK/apt/sources.list.d";
Dir::Etc::preferencesparts "$WORK/apt/preferences.d";
Dir::State::Lists "$WORK/apt/lists";
Dir::Cache "$WORK/apt/cache";
CONF
export APT_CONFIG=$WORK/apt/apt.conf

log "fetching source lists"
apt-get update -qq >"$WORK/apt-update.log" 2>&1 ||
  die "apt-get update with source lists failed (network?); see $WORK/apt-update.log"
log "downloading ${SOURCES[*]} ${HEADERS[*]}"
(cd "$WORK/dl" && apt-get source -qq --download-only "${SOURCES[@]}" &&
  apt-get download -qq "${HEADERS[@]}") >"$WORK/download.log" 2>&1 ||
  die "could not download Debian's sources of ${SOURCES[*]} ${HEADERS[*]}; see $WORK/download.log"
(cd "$WORK/dl" && for d in *.dsc; do dpkg-source -x --no-check "$d" >/dev/null; done) ||
  die "could not unpack the sources in $WORK/dl"
for p in "${ORIG_ONLY[@]}"; do
  line=$(apt-get source -qq --print-uris "$p" 2>/dev/null | grep -F '.orig.tar.' | head -1)
  read -r uri file _ sum <<<"$line"
  uri=${uri//\'/}
  [ -n "$file" ] && curl -fsS -o "$WORK/dl/$file" "$uri" &&
    echo "${sum#SHA256:}  $WORK/dl/$file" | sha256sum -c --quiet - &&
    tar -xf "$WORK/dl/$file" -C "$WORK/dl" ||
    die "could not download or verify the upstream source of $p"
done

src() { ls -d "$WORK/dl/$1"-*/ | head -1; }
TOOLCHAIN=$ROOT/cmake/mingw-w64-$ARCH.cmake
ZLIB_ARGS=(-DZLIB_LIBRARY=/usr/$TRIPLE/lib/libz.a -DZLIB_INCLUDE_DIR=/usr/$TRIPLE/include)
cmake_build() {  # name, source dir, cmake args...
  local name=$1 dir=$2; shift 2
  log "building $name"
  local t0=$SECONDS
  cmake -S "$dir" -B "$WORK/build-$name" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    -DLUMRA_WINDOWS_DEPS="$PREFIX" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PREFIX" \
    -DBUILD_SHARED_LIBS=OFF "$@" >"$WORK/$name.log" 2>&1 &&
    cmake --build "$WORK/build-$name" -j "$JOBS" >>"$WORK/$name.log" 2>&1 &&
    cmake --install "$WORK/build-$name" >>"$WORK/$name.log" 2>&1 ||
    die "building $name failed; see $WORK/$name.log"
  log "$name took $((SECONDS - t0)) s"
}

cmake_build libjpeg-turbo "$(src libjpeg-turbo)" -DENABLE_SHARED=OFF -DWITH_SIMD=OFF \
  -DWITH_TURBOJPEG=OFF -DWITH_CRT_DLL=ON

# A Debian patch names the test target png_shared; the tests stay off. The
# generated headers first: the library's rules race them with -j.
PNG_ARGS=(-DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF
  -DPNG_HARDWARE_OPTIMIZATIONS=ON "${ZLIB_ARGS[@]}")
log "building libpng"
cmake -S "$(src libpng1.6)" -B "$WORK/build-libpng" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
  -DLUMRA_WINDOWS_DEPS="$PREFIX" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PREFIX" \
  "${PNG_ARGS[@]}" >"$WORK/libpng.log" 2>&1 &&
  cmake --build "$WORK/build-libpng" --target genfiles >>"$WORK/libpng.log" 2>&1 ||
  die "configuring libpng failed; see $WORK/libpng.log"
cmake_build libpng "$(src libpng1.6)" "${PNG_ARGS[@]}"

cmake_build tiff "$(src tiff)" -Dtiff-tools=OFF -Dtiff-tests=OFF -Dtiff-contrib=OFF \
  -Dtiff-docs=OFF -Dcxx=OFF -Djpeg=ON -Dzlib=ON -Dlibdeflate=OFF -Djbig=OFF -Dlerc=OFF \
  -Dlzma=OFF -Dzstd=OFF -Dwebp=OFF -Dpixarlog=ON -Dold-jpeg=OFF "${ZLIB_ARGS[@]}" \
  -DJPEG_LIBRARY="$PREFIX/lib/libjpeg.a" -DJPEG_INCLUDE_DIR="$PREFIX/include" \
  -DCMAKE_DISABLE_FIND_PACKAGE_Deflate=ON -DCMAKE_DISABLE_FIND_PACKAGE_JBIG=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_LERC=ON -DCMAKE_DISABLE_FIND_PACKAGE_LibLZMA=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_ZSTD=ON -DCMAKE_DISABLE_FIND_PACKAGE_WebP=ON

cmake_build openjpeg2 "$(src openjpeg2)" -DBUILD_CODEC=OFF -DBUILD_TESTING=OFF \
  -DBUILD_STATIC_LIBS=ON -DBUILD_DOC=OFF
# A static OpenJPEG on Windows needs OPJ_STATIC, or its header asks for DLL imports.
sed -i 's/^Cflags: \(.*\)$/Cflags: \1 -DOPJ_STATIC/' "$PREFIX/lib/pkgconfig/libopenjp2.pc"

# libmng and giflib ship makefiles only: their sources compile as they are.
c_library() {  # name, source dir, extra flags, object names..., -- headers...
  local name=$1 dir=$2 flags=$3; shift 3
  log "building $name"
  local objs=() o
  mkdir -p "$WORK/build-$name"
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    o=$WORK/build-$name/$(basename "$1" .c).o
    # shellcheck disable=SC2086
    $TRIPLE-gcc-posix -O2 -include stdio.h $flags -I"$PREFIX/include" -I"$dir" \
      -c "$dir/$1" -o "$o" >>"$WORK/$name.log" 2>&1 || die "building $name failed; see $WORK/$name.log"
    objs+=("$o")
    shift
  done
  shift
  $TRIPLE-ar rcs "$PREFIX/lib/lib$name.a" "${objs[@]}"
  for h in "$@"; do install -m 644 "$dir/$h" "$PREFIX/include/"; done
}
MNG=$(src libmng)
# shellcheck disable=SC2046
# Writing and chunk access come with the feature set of a shared build; the
# installed header asks for the same set, or the declarations stay hidden.
c_library mng "$MNG" -DMNG_BUILD_SO $(cd "$MNG" && ls libmng_*.c) -- \
  libmng.h libmng_conf.h libmng_types.h
sed -i '1i #ifndef MNG_USE_SO\n#define MNG_USE_SO\n#endif' "$PREFIX/include/libmng_conf.h"
GIF=$(src giflib)
c_library gif "$GIF" "" dgif_lib.c egif_lib.c gifalloc.c gif_err.c gif_font.c gif_hash.c \
  openbsd-reallocarray.c quantize.c -- gif_lib.h

# This libdeflate ships a makefile only.
DEFLATE=$(src libdeflate)
# shellcheck disable=SC2046
c_library deflate "$DEFLATE" "" $(cd "$DEFLATE" && ls lib/*.c lib/x86/*.c) -- libdeflate.h

# libharu's own build is dated; its sources compile as they are, with the
# configuration header its configure step would write (no PNG loading).
HARU=$(src libharu)
cat >"$HARU/include/hpdf_config.h" <<'CONF'
#define LIBHPDF_HAVE_INTTYPES_H 1
#define LIBHPDF_HAVE_LIBZ 1
#define LIBHPDF_HAVE_MEMORY_H 1
#define LIBHPDF_HAVE_STDINT_H 1
#define LIBHPDF_HAVE_STDLIB_H 1
#define LIBHPDF_HAVE_STRING_H 1
#define LIBHPDF_HAVE_SYS_STAT_H 1
#define LIBHPDF_HAVE_SYS_TYPES_H 1
#define LIBHPDF_HAVE_NOPNGLIB 1
#define HPDF_NOPNGLIB 1
#define LIBHPDF_STDC_HEADERS 1
CONF
# shellcheck disable=SC2046
c_library hpdf "$HARU" "-I$HARU/include -I/usr/$TRIPLE/include" \
  $(cd "$HARU" && ls src/hpdf_*.c) -- $(cd "$HARU" && ls include/hpdf*.h)

cmake_build fmt "$(src fmtlib)" -DFMT_TEST=OFF -DFMT_DOC=OFF -DFMT_INSTALL=ON
cmake_build spdlog "$(src spdlog)" -DSPDLOG_FMT_EXTERNAL=ON -DSPDLOG_BUILD_EXAMPLE=OFF \
  -DSPDLOG_BUILD_TESTS=OFF -DSPDLOG_BUILD_BENCH=OFF -DSPDLOG_INSTALL=ON \
  -DSPDLOG_WCHAR_SUPPORT=OFF -Dfmt_DIR="$PREFIX/lib/cmake/fmt"
cmake_build googletest /usr/src/googletest -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON

log "unpacking utfcpp headers"
mkdir -p "$WORK/utfcpp"
dpkg-deb -x "$WORK"/dl/libutfcpp-dev_*.deb "$WORK/utfcpp"
# Debian's layout: utf8cpp/utf8.h and the same at the top.
cp -r "$WORK/utfcpp/usr/include/." "$PREFIX/include/"

touch "$PREFIX/.complete"
rm -rf "$WORK"
echo "$PREFIX"
