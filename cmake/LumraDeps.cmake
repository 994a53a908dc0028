# Libraries come from Debian's packages (./run installs them), or, for the
# Windows build, from the prefix our cross-build script fills.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(ZLIB REQUIRED)
find_package(JPEG REQUIRED)
find_package(PNG REQUIRED)
find_package(TIFF REQUIRED)
pkg_check_modules(OPENJPEG REQUIRED IMPORTED_TARGET libopenjp2)

find_path(MNG_INCLUDE_DIR libmng.h REQUIRED)
find_library(MNG_LIBRARY NAMES mng libmng REQUIRED)
add_library(lumra_mng INTERFACE)
target_include_directories(lumra_mng INTERFACE ${MNG_INCLUDE_DIR})
target_link_libraries(lumra_mng INTERFACE ${MNG_LIBRARY} JPEG::JPEG ZLIB::ZLIB)

# libharu: the Debian library is libhpdf, a static Windows build libhpdfs.
find_path(HPDF_INCLUDE_DIR hpdf.h REQUIRED)
find_library(HPDF_LIBRARY NAMES hpdf hpdfs libhpdf libhpdfs REQUIRED)
add_library(lumra_hpdf INTERFACE)
target_include_directories(lumra_hpdf INTERFACE ${HPDF_INCLUDE_DIR})
target_link_libraries(lumra_hpdf INTERFACE ${HPDF_LIBRARY} PNG::PNG ZLIB::ZLIB)

# libdeflate: the page formats' deflate (zlib streams at zlib's ratio or
# better, several times faster).
find_path(LIBDEFLATE_INCLUDE_DIR libdeflate.h REQUIRED)
find_library(LIBDEFLATE_LIBRARY NAMES deflate deflatestatic REQUIRED)
add_library(lumra_libdeflate INTERFACE)
target_include_directories(lumra_libdeflate INTERFACE ${LIBDEFLATE_INCLUDE_DIR})
target_link_libraries(lumra_libdeflate INTERFACE ${LIBDEFLATE_LIBRARY})

find_path(UTFCPP_INCLUDE_DIR utf8.h PATH_SUFFIXES utf8cpp REQUIRED)
add_library(lumra_utfcpp INTERFACE)
target_include_directories(lumra_utfcpp INTERFACE ${UTFCPP_INCLUDE_DIR})

find_package(spdlog REQUIRED)

if(LUMRA_TESTS)
  find_package(GTest REQUIRED)
endif()
if(LUMRA_BENCH AND NOT WIN32)
  find_package(benchmark REQUIRED)
endif()
