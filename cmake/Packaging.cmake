# Debian packages through CPack (cd build && cpack), in Debian's layout under
# /usr, one install component each (Install.cmake):
#   libtavoble2         libtavoble.so.2, stripped (the package is named after
#                       the library's SONAME, as Debian names libraries)
#   libtavoble2-dbgsym  its debugging symbols, /usr/lib/debug/.build-id/...
#   libtavoble-dev      header, link name, CMake and pkg-config files, examples
#   tavoble-sim         the simulator, stripped, with tavoble-sim-dbgsym
# Dependencies on shared libraries are computed by dpkg-shlibdeps (dpkg-dev);
# objcopy (binutils) splits the debugging symbols off, readelf finds the
# build IDs. The debug packages are .ddeb files, as debhelper names them;
# apt and dpkg install them like any .deb. DebianFinish.cmake mends what
# CPack does not do as debhelper does.
set(TAVOBLE_PACKAGE_MAINTAINER "libtavoble developers <libtavoble@example.org>" CACHE STRING
  "Maintainer field of the Debian packages (keep cmake/debian/changelog's signature in step)")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libtavoble)
set(CPACK_PACKAGE_VENDOR "libtavoble")
set(CPACK_PACKAGE_CONTACT "${TAVOBLE_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
# Installed as Debian installs: prefix /usr, files staged under DESTDIR, so
# what is written at install time (the pkg-config file) names /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev sim)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)

if(NOT CMAKE_INSTALL_LIBDIR MATCHES "^lib/${CMAKE_LIBRARY_ARCHITECTURE}$" OR NOT CMAKE_LIBRARY_ARCHITECTURE)
  message(STATUS "libtavoble: packages will have the library in ${CMAKE_INSTALL_LIBDIR}, "
    "not in Debian's multiarch folder")
endif()

# The library.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libtavoble2)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# shlibs for the one package with a shared library.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# On a real system it talks to BlueZ over the D-Bus system bus; against
# tavoble-sim it needs neither, so both are recommended, not required.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "bluez, default-dbus-system-bus | dbus-system-bus")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SUGGESTS "tavoble-sim")
# The nine exported functions, for dpkg-shlibdeps of programs built on it.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/symbols)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "Battery-powered multi-channel amplifiers over Bluetooth LE - library
libtavoble finds battery-powered multi-channel biosignal amplifiers over
Bluetooth Low Energy, opens one by its serial number, reads its identity and
channel layout, and delivers its samples as a continuous stream of scans,
with filler scans marking every lost sample. It talks to BlueZ over D-Bus.
.
This package holds the shared library.")

# Building against it.
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtavoble-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libtavoble2 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "tavoble-sim")
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "Battery-powered multi-channel amplifiers over Bluetooth LE - development files
libtavoble finds battery-powered multi-channel biosignal amplifiers over
Bluetooth Low Energy and streams their samples through a C interface of nine
functions.
.
This package holds the header, the CMake package (find_package(tavoble)), the
pkg-config file and example programs.")

# The simulator: it starts a private dbus-daemon.
set(CPACK_DEBIAN_SIM_PACKAGE_NAME tavoble-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS "dbus-daemon")
set(CPACK_COMPONENT_SIM_DESCRIPTION
  "Simulated BlueZ with virtual biosignal amplifiers
tavoble-sim plays BlueZ and battery-powered multi-channel amplifiers behind it
on a private D-Bus bus, so that libtavoble, or any Bluetooth LE central that
talks to BlueZ, runs and is tested without a radio. Scenario files choose the
adapters, amplifiers, timing and faults.
.
This package holds the program, its example scenarios and its manual page.")
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/DebianFinish.cmake)
include(CPack)
