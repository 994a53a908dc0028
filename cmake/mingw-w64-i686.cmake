# Windows i686 (32-bit); the rest is common to both architectures.
set(LUMRA_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
