# Installs the header, both libraries, a CMake package giving the imported
# target VQ6120_LIB::VQ6120_LIB (shared) and VQ6120_LIB::VQ6120_LIB_static,
# and a pkg-config file.
# Sanitizer builds are for testing; they install nothing.
if(VQ6120_ANY_SANITIZER)
  return()
endif()

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(FILES ${PROJECT_SOURCE_DIR}/include/VQ6120_LIB.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The header-only C++ face and its platform parts.
install(FILES ${PROJECT_SOURCE_DIR}/include/vq6120.hpp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/vq6120 DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS VQ6120_LIB VQ6120_LIB_static EXPORT VQ6120_LIBTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(VQ6120_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VQ6120_LIB)
install(EXPORT VQ6120_LIBTargets NAMESPACE VQ6120_LIB:: DESTINATION ${VQ6120_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VQ6120_LIBConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/VQ6120_LIBConfig.cmake INSTALL_DESTINATION ${VQ6120_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VQ6120_LIBConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VQ6120_LIBConfig.cmake ${PROJECT_BINARY_DIR}/VQ6120_LIBConfigVersion.cmake
        DESTINATION ${VQ6120_CMAKE_DIR})

configure_file(${CMAKE_CURRENT_LIST_DIR}/VQ6120_LIB.pc.in ${PROJECT_BINARY_DIR}/VQ6120_LIB.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/VQ6120_LIB.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
