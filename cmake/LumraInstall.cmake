# cmake --install lays out a tree that works wherever it lands: on Linux the
# programs, our manager and its sources together in lib/lumra-scan (each
# finds the others beside itself), links to the programs in bin, and the
# browsers' manifests, linked into the browsers' system folders when the
# prefix is /usr (the Debian package). On Windows the programs only: the host must use the
# TWAIN manager of the machine.
set(LUMRA_HOST_NAME lumra.scan_host)

if(WIN32)
  install(TARGETS lumra_scan_host lumra_scan RUNTIME DESTINATION .)
  return()
endif()

set(private_dir lib/lumra-scan)
install(TARGETS lumra_scan_host lumra_scan RUNTIME DESTINATION ${private_dir})
install(TARGETS lumra_platform twaindsm twain_32 LIBRARY DESTINATION ${private_dir})
install(TARGETS virtual_scanner LIBRARY DESTINATION ${private_dir}/twain)
if(TARGET sane_scanner)
  set_target_properties(sane_scanner PROPERTIES INSTALL_RPATH "$ORIGIN/../..")
  install(TARGETS sane_scanner LIBRARY DESTINATION ${private_dir}/twain/sane)
endif()

install(FILES ${CMAKE_SOURCE_DIR}/host/lumra-scan-host.1 ${CMAKE_SOURCE_DIR}/tools/lumra-scan.1
        DESTINATION share/man/man1)

# Written when installing, so that the host's path follows --prefix.
set(manifest_code [=[
  set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
  set(host "${CMAKE_INSTALL_PREFIX}/@private_dir@/lumra-scan-host")
  set(share "${root}/share/lumra-scan")
  function(lumra_manifest file key allowed)
    message(STATUS "Installing: ${file}")
    file(WRITE "${file}" "{\n  \"name\": \"@LUMRA_HOST_NAME@\",\n  \"description\": \"Lumra document scanning host\",\n  \"path\": \"${host}\",\n  \"type\": \"stdio\",\n  \"${key}\": [${allowed}]\n}\n")
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${file}")
    set(CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_MANIFEST_FILES}" PARENT_SCOPE)
  endfunction()
  function(lumra_link target link)
    get_filename_component(dir "${link}" DIRECTORY)
    file(MAKE_DIRECTORY "${dir}")
    message(STATUS "Installing: ${link} -> ${target}")
    file(CREATE_LINK "${target}" "${link}" SYMBOLIC)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${link}")
    set(CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_MANIFEST_FILES}" PARENT_SCOPE)
  endfunction()
  foreach(program lumra-scan lumra-scan-host)
    lumra_link("../@private_dir@/${program}" "${root}/bin/${program}")
  endforeach()
  lumra_manifest("${share}/@LUMRA_HOST_NAME@.json" allowed_origins [[@chrome_allowed@]])
  if(@firefox_manifest@)
    lumra_manifest("${share}/firefox/@LUMRA_HOST_NAME@.json" allowed_extensions [[@firefox_allowed@]])
  endif()
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    foreach(dir /etc/opt/chrome /etc/chromium /etc/opt/edge)
      lumra_link("${CMAKE_INSTALL_PREFIX}/share/lumra-scan/@LUMRA_HOST_NAME@.json"
                 "$ENV{DESTDIR}${dir}/native-messaging-hosts/@LUMRA_HOST_NAME@.json")
    endforeach()
    if(@firefox_manifest@)
      lumra_link("../../../share/lumra-scan/firefox/@LUMRA_HOST_NAME@.json"
                 "$ENV{DESTDIR}/usr/lib/mozilla/native-messaging-hosts/@LUMRA_HOST_NAME@.json")
    endif()
  endif()
]=])
string(CONFIGURE "${manifest_code}" manifest_code @ONLY)
install(CODE "${manifest_code}")
