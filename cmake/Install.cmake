# cmake --install: the library (libtavoble.so.2), its header, a CMake package
# (find_package(tavoble 2.0 CONFIG) -> tavoble::tavoble), a pkg-config file,
# the examples, and tavoble-sim with its bus configuration, scenarios, README
# and manual page. Components, one per Debian package (Packaging.cmake):
#   runtime  the library alone
#   dev      header, link name, CMake and pkg-config files, examples
#   sim      tavoble-sim and everything it comes with
# Installed files hold no build path. The CMake package locates itself (a
# prefix can be moved); the pkg-config file names the prefix it was installed
# to, as an absolute, normalised path.
include(CMakePackageConfigHelpers)

set(TAVOBLE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tavoble)
set(TAVOBLE_DEV_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/libtavoble-dev)
set(TAVOBLE_SIM_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/tavoble-sim)

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

# pkg-config: written at install time, when the prefix is known (--prefix, or
# /usr for the packages); relative folders are taken under it. Under /usr,
# pkg-config leaves -I/usr/include out, as it does for every system folder.
install(CODE "
  cmake_path(ABSOLUTE_PATH CMAKE_INSTALL_PREFIX NORMALIZE OUTPUT_VARIABLE prefix)
  string(REGEX REPLACE \"(.)/+$\" \"\\\\1\" prefix \"\${prefix}\")
  set(libdir [[${CMAKE_INSTALL_LIBDIR}]])
  set(includedir [[${CMAKE_INSTALL_INCLUDEDIR}]])
  cmake_path(ABSOLUTE_PATH libdir BASE_DIRECTORY \"\${prefix}\" NORMALIZE)
  cmake_path(ABSOLUTE_PATH includedir BASE_DIRECTORY \"\${prefix}\" NORMALIZE)
  set(PROJECT_VERSION [[${PROJECT_VERSION}]])
  # One file per destination: two installs at once do not share it.
  string(SHA1 folder \"\$ENV{DESTDIR}\${prefix}\")
  set(pc [[${CMAKE_CURRENT_BINARY_DIR}/pkgconfig]])
  string(APPEND pc \"/\${folder}/tavoble.pc\")
  configure_file([[${PROJECT_SOURCE_DIR}/cmake/tavoble.pc.in]] \"\${pc}\" @ONLY)
  file(INSTALL DESTINATION \"\${libdir}/pkgconfig\" TYPE FILE FILES \"\${pc}\")
" COMPONENT dev)

install(FILES examples/CMakeLists.txt examples/tavoble_version.c examples/tavoble_stream.c
  DESTINATION ${TAVOBLE_DEV_DOC_DIR}/examples COMPONENT dev)

# The simulator carries its bus configuration inside; the file is installed
# too for anyone who runs a bus of their own, beside the example scenarios.
install(TARGETS tavoble-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sim)
install(FILES tools/tavoble-sim/bus.conf DESTINATION ${CMAKE_INSTALL_DATADIR}/tavoble-sim COMPONENT sim)
install(DIRECTORY tools/tavoble-sim/scenarios/ DESTINATION ${CMAKE_INSTALL_DATADIR}/tavoble-sim/scenarios
  COMPONENT sim FILES_MATCHING PATTERN "*.json")
install(FILES tools/tavoble-sim/README.md DESTINATION ${TAVOBLE_SIM_DOC_DIR} COMPONENT sim)

# Compressed as Debian keeps them (gzip -9n: no name, no time stamp, so the
# same input gives the same bytes).
set(TAVOBLE_GZ_DIR ${CMAKE_CURRENT_BINARY_DIR}/gz)
function(tavoble_gzip source output)
  add_custom_command(OUTPUT ${TAVOBLE_GZ_DIR}/${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TAVOBLE_GZ_DIR}
    COMMAND gzip -9n < ${source} > ${TAVOBLE_GZ_DIR}/${output}
    DEPENDS ${source} VERBATIM)
endfunction()
tavoble_gzip(${PROJECT_SOURCE_DIR}/tools/tavoble-sim/tavoble-sim.1 tavoble-sim.1.gz)
tavoble_gzip(${PROJECT_SOURCE_DIR}/cmake/debian/changelog changelog.gz)
add_custom_target(tavoble-gz ALL DEPENDS ${TAVOBLE_GZ_DIR}/tavoble-sim.1.gz ${TAVOBLE_GZ_DIR}/changelog.gz)
install(FILES ${TAVOBLE_GZ_DIR}/tavoble-sim.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT sim)

# Every package's copyright and changelog, in /usr/share/doc/<package>. Only
# the packages take them (an install of one component); a whole install has
# no use for three copies.
function(tavoble_package_docs component package)
  install(FILES cmake/debian/copyright ${TAVOBLE_GZ_DIR}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
endfunction()
tavoble_package_docs(runtime libtavoble2)
tavoble_package_docs(dev libtavoble-dev)
tavoble_package_docs(sim tavoble-sim)
