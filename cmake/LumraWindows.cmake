# The Windows build (cross-compiled with cmake/mingw-w64-x86_64.cmake): static
# codec libraries, the module names a TWAIN manager and Windows expect, and
# tests that run under Wine.

# Static libtiff does not bring the codecs it was built with.
if(TARGET TIFF::TIFF)
  set_property(TARGET TIFF::TIFF APPEND PROPERTY INTERFACE_LINK_LIBRARIES JPEG::JPEG ZLIB::ZLIB)
endif()

# libharu carries a copy of libtiff's fax code tables under libtiff's own
# names, which clash when both are linked statically: its copy gets names of
# its own.
if(HPDF_LIBRARY)
  set(hpdf_renamed ${CMAKE_BINARY_DIR}/libhpdf-own-tables.a)
  # 32-bit Windows names carry a leading underscore.
  set(c_prefix "")
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(c_prefix "_")
  endif()
  execute_process(COMMAND ${CMAKE_OBJCOPY}
                  --redefine-sym ${c_prefix}TIFFFaxBlackCodes=${c_prefix}hpdfFaxBlackCodes
                  --redefine-sym ${c_prefix}TIFFFaxWhiteCodes=${c_prefix}hpdfFaxWhiteCodes
                  ${HPDF_LIBRARY} ${hpdf_renamed} RESULT_VARIABLE hpdf_failed)
  if(hpdf_failed)
    message(FATAL_ERROR "cannot rename libharu's fax tables in ${HPDF_LIBRARY}")
  endif()
  set_property(TARGET lumra_hpdf PROPERTY INTERFACE_LINK_LIBRARIES ${hpdf_renamed} PNG::PNG ZLIB::ZLIB)
endif()

# Listing the tests needs Wine: do it when CTest runs, not while building.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

# Tests run through a wrapper that knows our Wine prefix and turns the test
# programs' text-mode CR LF back into LF, which CTest's test lister expects.
if(CMAKE_CROSSCOMPILING)
  set(LUMRA_WINE_PREFIX "${CMAKE_BINARY_DIR}/wine-prefix" CACHE PATH "Wine prefix for the tests")
  find_program(LUMRA_WINE NAMES wine)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE @ONLY)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
endif()

# Test programs (those linking GoogleTest) get the POSIX calls tests make.
function(lumra_windows_test_compat dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target ${targets})
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE" OR type STREQUAL "STATIC_LIBRARY")
      get_target_property(libs ${target} LINK_LIBRARIES)
      if(libs MATCHES "GTest::")
        target_compile_options(${target} PRIVATE
          -include ${CMAKE_SOURCE_DIR}/platform/test-compat-win32.h)
      endif()
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir ${subdirs})
    lumra_windows_test_compat(${subdir})
  endforeach()
endfunction()

# Names Windows and a TWAIN manager look for; run once every folder is read.
function(lumra_windows_module_names)
  lumra_windows_test_compat(${CMAKE_SOURCE_DIR})
  # Modules export their one entry point only, not every symbol linked in.
  foreach(manager twaindsm twain_32)
    if(TARGET ${manager})
      string(TOUPPER ${manager} name)
      set_target_properties(${manager} PROPERTIES PREFIX "" OUTPUT_NAME ${name} SUFFIX ".DLL")
      target_sources(${manager} PRIVATE ${CMAKE_SOURCE_DIR}/cmake/windows/manager.def)
    endif()
  endforeach()
  if(TARGET virtual_scanner)
    set_target_properties(virtual_scanner PROPERTIES PREFIX "" SUFFIX ".ds")
    target_sources(virtual_scanner PRIVATE ${CMAKE_SOURCE_DIR}/cmake/windows/data_source.def)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL lumra_windows_module_names)
