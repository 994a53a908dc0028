# The one version number, from project(), as a header for the programs.
configure_file(${CMAKE_CURRENT_LIST_DIR}/templates/version.h.in
               ${CMAKE_BINARY_DIR}/generated/lumra_version.h @ONLY)
add_library(lumra_version INTERFACE)
target_include_directories(lumra_version INTERFACE ${CMAKE_BINARY_DIR}/generated)
