# cmake --install: the library (libtavoble.so.2), its header, a CMake package
# (find_package(tavoble 2.0 CONFIG) -> tavoble::tavoble), a pkg-config file,
# and tavoble-sim with its bus configuration, README and the examples.
# Components: "runtime" (library, simulator) and "dev" (the rest). Installed
# files hold no build path: the CMake and pkg-config files locate themselves.
include(CMakePackageConfigHelpers)

set(TAVOBLE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tavoble)

install(TARGETS tavoble EXPORT tavobleTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(EXPORT tavobleTargets NAMESPACE tavoble::
  DESTINATION ${TAVOBLE_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(cmake/tavobleConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/tavobleConfig.cmake
  INSTALL_DESTINATION ${TAVOBLE_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/tavobleConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/tavobleConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/tavobleConfigVersion.cmake
  DESTINATION ${TAVOBLE_CMAKE_DIR} COMPONENT dev)

# pkg-config: the prefix is found from the .pc file's own place.
set(TAVOBLE_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH TAVOBLE_PC_TO_PREFIX /${TAVOBLE_PC_DIR} /)
string(REGEX REPLACE "/$" "" TAVOBLE_PC_TO_PREFIX "${TAVOBLE_PC_TO_PREFIX}")
configure_file(cmake/tavoble.pc.in ${CMAKE_CURRENT_BINARY_DIR}/tavoble.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tavoble.pc DESTINATION ${TAVOBLE_PC_DIR} COMPONENT dev)

# The simulator carries its bus configuration inside; the file is installed
# too for anyone who runs a bus of their own.
install(TARGETS tavoble-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(FILES tools/tavoble-sim/bus.conf tools/tavoble-sim/README.md
  DESTINATION ${CMAKE_INSTALL_DATADIR}/tavoble-sim COMPONENT runtime)
install(FILES examples/CMakeLists.txt examples/tavoble_version.c examples/tavoble_stream.c
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libtavoble/examples COMPONENT dev)
