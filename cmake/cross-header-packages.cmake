# Header-only packages of the build machine in a Windows cross build: Debian
# has no MinGW-w64 builds of them, and their own CMake packages point at
# /usr/include, which must not come before the cross compiler's headers. Each
# is offered through a package file of its own in the find_package redirects
# folder, over a build folder that holds only its headers.
#   vq6120_cross_header_package(CLI11 CLI11::CLI11 CLI)   # /usr/include/CLI
function(vq6120_cross_header_package package target header_dir)
  set(include ${PROJECT_BINARY_DIR}/cross-headers/${package})
  file(MAKE_DIRECTORY ${include})
  if(NOT EXISTS /usr/include/${header_dir})
    message(FATAL_ERROR "/usr/include/${header_dir} not found: install the ${package} package (scripts/setup.sh)")
  endif()
  file(CREATE_LINK /usr/include/${header_dir} ${include}/${header_dir} SYMBOLIC)
  string(TOLOWER ${package} lower)
  file(WRITE ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/${lower}-config.cmake
       "if(NOT TARGET ${target})\n"
       "  add_library(${target} INTERFACE IMPORTED)\n"
       "  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES \"${include}\")\n"
       "endif()\n")
endfunction()
