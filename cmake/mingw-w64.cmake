# Cross-compiles for Windows with mingw-w64's posix-thread compilers
# (std::thread needs them) for LUMRA_MINGW_ARCH (x86_64 or i686), which the
# toolchain file naming the architecture sets. Libraries come from the mingw
# sysroot and from the prefix scripts/windows-deps.sh fills, named by
# LUMRA_WINDOWS_DEPS (a cache variable or the environment). Tests run
# through Wine (x86-64 only: these machines cannot run 32-bit programs).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${LUMRA_MINGW_ARCH})

set(LUMRA_MINGW_TRIPLE ${LUMRA_MINGW_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${LUMRA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LUMRA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${LUMRA_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${LUMRA_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${LUMRA_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")

# try_compile projects re-read this file without our cache variables; the
# environment carries the prefix to them.
if(LUMRA_WINDOWS_DEPS)
  set(ENV{LUMRA_WINDOWS_DEPS} "${LUMRA_WINDOWS_DEPS}")
else()
  set(LUMRA_WINDOWS_DEPS "$ENV{LUMRA_WINDOWS_DEPS}")
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${LUMRA_MINGW_TRIPLE})
if(LUMRA_WINDOWS_DEPS)
  list(PREPEND CMAKE_FIND_ROOT_PATH "${LUMRA_WINDOWS_DEPS}")
  # pkg-config must see only the Windows libraries.
  set(ENV{PKG_CONFIG_LIBDIR} "${LUMRA_WINDOWS_DEPS}/lib/pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No MinGW runtime DLLs beside our programs: everything links statically.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

find_program(LUMRA_WINE NAMES wine)
if(LUMRA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${LUMRA_WINE})
endif()
