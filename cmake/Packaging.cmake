# Debian packages through CPack (cd build && cpack): libtavoble with the
# library and tavoble-sim, libtavoble-dev with the header, CMake and pkg-config
# files and the examples. Dependencies come from the binaries' real shared
# libraries (dpkg-shlibdeps, from dpkg-dev).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libtavoble)
set(CPACK_PACKAGE_VENDOR "libtavoble")
set(CPACK_PACKAGE_CONTACT "libtavoble developers <libtavoble@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Battery-powered multi-channel amplifiers over Bluetooth LE (BlueZ)")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libtavoble)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtavoble-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libtavoble (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "libtavoble.so.2 and tavoble-sim, a simulated BlueZ with virtual amplifiers")
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "Header, CMake package, pkg-config file and examples for libtavoble")
include(CPack)
