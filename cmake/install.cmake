# Installs the header, both libraries, a CMake package giving the imported
# target VQ6120_LIB::VQ6120_LIB (shared) and VQ6120_LIB::VQ6120_LIB_static,
# a pkg-config file, the Python module, the docs and the examples, each in
# the component of the package it belongs to (cmake/packaging.cmake):
# runtime (the shared library), dev, python; tools/ installs into tools.
# Sanitizer builds are for testing; they install nothing.
if(VQ6120_ANY_SANITIZER)
  return()
endif()

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME dev)
install(FILES ${PROJECT_SOURCE_DIR}/include/VQ6120_LIB.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The header-only C++ face: vq6120.hpp, its parts and their platform waits
# (the rendering layer's headers go with its library, below).
install(FILES ${PROJECT_SOURCE_DIR}/include/vq6120.hpp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/vq6120 DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        PATTERN display EXCLUDE PATTERN screen EXCLUDE)
install(TARGETS VQ6120_LIB VQ6120_LIB_static EXPORT VQ6120_LIBTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(VQ6120_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VQ6120_LIB)
install(EXPORT VQ6120_LIBTargets NAMESPACE VQ6120_LIB:: DESTINATION ${VQ6120_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VQ6120_LIBConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/VQ6120_LIBConfig.cmake INSTALL_DESTINATION ${VQ6120_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VQ6120_LIBConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VQ6120_LIBConfig.cmake ${PROJECT_BINARY_DIR}/VQ6120_LIBConfigVersion.cmake
        DESTINATION ${VQ6120_CMAKE_DIR})

# What a static link needs besides the library: Winsock on Windows; the C
# library's sockets elsewhere, which every link has.
set(VQ6120_PC_LIBS_PRIVATE "")
if(WIN32)
  set(VQ6120_PC_LIBS_PRIVATE "-lws2_32")
endif()
# The prefix relative to the .pc file, so an unpacked or moved install works:
# one level deeper under Debian's multiarch library folder (lib/<triplet>).
file(RELATIVE_PATH VQ6120_PC_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VQ6120_PC_PREFIX "${VQ6120_PC_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/VQ6120_LIB.pc.in ${PROJECT_BINARY_DIR}/VQ6120_LIB.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/VQ6120_LIB.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The rendering layer, where it is built: its static library and headers,
# the CMake package VQ6120 whose component display gives VQ6120::display,
# and vq6120-display.pc. The package's config file finds FreeType, libspng
# and zlib for its users.
set(VQ6120_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VQ6120)
if(TARGET vq6120_display)
  install(TARGETS vq6120_display EXPORT VQ6120DisplayTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/vq6120/display ${PROJECT_SOURCE_DIR}/include/vq6120/screen
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vq6120)
  install(EXPORT VQ6120DisplayTargets NAMESPACE VQ6120:: DESTINATION ${VQ6120_PACKAGE_DIR})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/vq6120-display.pc.in ${PROJECT_BINARY_DIR}/vq6120-display.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/vq6120-display.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VQ6120Config.cmake.in ${PROJECT_BINARY_DIR}/VQ6120Config.cmake
                              INSTALL_DESTINATION ${VQ6120_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VQ6120ConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VQ6120Config.cmake ${PROJECT_BINARY_DIR}/VQ6120ConfigVersion.cmake
        DESTINATION ${VQ6120_PACKAGE_DIR})

# The documentation and the example sources.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR} FILES_MATCHING PATTERN "*.md")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The Python module, where Debian's python3 looks (/usr/lib/python3/dist-packages
# in a /usr install; elsewhere PYTHONPATH names it), with the way from it to
# the library installed beside it.
set(VQ6120_INSTALL_PYTHONDIR lib/python3/dist-packages CACHE STRING "Where the Python module is installed, relative to the prefix")
file(RELATIVE_PATH VQ6120_PYTHON_LIBRARY_DIR ${CMAKE_INSTALL_PREFIX}/${VQ6120_INSTALL_PYTHONDIR}/vq6120
     ${CMAKE_INSTALL_FULL_LIBDIR})
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/python/_installed.py CONTENT
     "# Written by the CMake install: the library directory, relative to this module.\nLIBRARY_DIR = \"@VQ6120_PYTHON_LIBRARY_DIR@\"\n" @ONLY)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/vq6120 DESTINATION ${VQ6120_INSTALL_PYTHONDIR} COMPONENT python
        PATTERN "__pycache__" EXCLUDE)
install(FILES ${PROJECT_BINARY_DIR}/python/_installed.py DESTINATION ${VQ6120_INSTALL_PYTHONDIR}/vq6120
        COMPONENT python)
