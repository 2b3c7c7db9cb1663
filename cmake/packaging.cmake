# Debian packages from a build folder: `cpack -G DEB` makes one package per
# install component.
#   libvq6120-lib1      runtime: the shared library under its SONAME
#   libvq6120-lib-dev   dev: header, static library, CMake package, pkg-config
#                       file, docs and examples; the rendering layer's static
#                       library, headers, CMake package and pkg-config file
#   vq6120-tools        tools: every program installed from tools/ (vq6120,
#                       vq6120-sim, vq6120-gateway)
#   python3-vq6120      python: the Python module
# Dependencies on system libraries come from the binaries (dpkg-shlibdeps);
# the packages depend on each other at exactly this version. Build with
# -DCMAKE_INSTALL_PREFIX=/usr for packages (Debian's multiarch library folder).
if(VQ6120_ANY_SANITIZER OR NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()

set(CPACK_PACKAGE_NAME vq6120)
set(CPACK_PACKAGE_VENDOR "VQ6120_LIB developers")
set(CPACK_PACKAGE_CONTACT "VQ6120_LIB developers <vq6120-lib@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Drive VQ6120 networked operator terminals over TCP")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/packages)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools python)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools' own library is in this build, not yet in the system: shlibdeps
# reads its SONAME here, and the component dependency names the package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")

set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_COMPONENT_PYTHON_DEPENDS runtime)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvq6120-lib${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "VQ6120_LIB shared library\nDrives VQ6120 networked operator terminals over TCP through a plain C interface.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvq6120-lib-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DESCRIPTION "VQ6120_LIB development files\nHeader, static library, CMake package, pkg-config file, documentation and examples; the rendering layer (fonts, pictures, widgets) as a static library.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME vq6120-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "VQ6120 terminal tools\nvq6120 (one terminal operation from the shell), vq6120-sim (a virtual terminal) and the other VQ6120 programs.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-vq6120)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS python3)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "VQ6120_LIB Python module\nThe vq6120 module: a Terminal class over the shared library through ctypes.")

include(CPack)
