# Writes the gateway's systemd unit for the prefix being installed into
# (CMAKE_INSTALL_PREFIX at install time): run from the install rules of
# CMakeLists.txt beside this file, with VQ6120_UNIT_IN, VQ6120_UNIT_OUT and
# VQ6120_UNIT_BINDIR (relative to the prefix) set.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(VQ6120_GATEWAY_CONFIG_DIR /etc/vq6120)
else()
  set(VQ6120_GATEWAY_CONFIG_DIR ${CMAKE_INSTALL_PREFIX}/etc/vq6120)
endif()
set(VQ6120_GATEWAY_PROGRAM ${CMAKE_INSTALL_PREFIX}/${VQ6120_UNIT_BINDIR}/vq6120-gateway)
configure_file(${VQ6120_UNIT_IN} ${VQ6120_UNIT_OUT} @ONLY)
