# cmake --build <build> --target wheel: a platform wheel of tavo_ble with this
# build's library and the package's helper (libtavo_ble_scans.so) under
# tavo_ble/lib/native/linux/<arch>/, built offline into
# <build>/dist from a package tree staged in <build>/python-package.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(TAVO_BLE_ARCH x64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(TAVO_BLE_ARCH arm64)
else()
  message(STATUS "tavo_ble: no wheel for processor ${CMAKE_SYSTEM_PROCESSOR}")
  return()
endif()

set(TAVO_BLE_STAGE ${CMAKE_BINARY_DIR}/python-package)
set(TAVO_BLE_STAGE_NATIVE ${TAVO_BLE_STAGE}/src/tavo_ble/lib/native/linux/${TAVO_BLE_ARCH})
# The wheel's copy of the library goes without its debugging information, as
# the packages' does (the build keeps it).
set(TAVO_BLE_STRIP)
if(CMAKE_OBJCOPY)
  set(TAVO_BLE_STRIP COMMAND ${CMAKE_OBJCOPY} --strip-unneeded ${TAVO_BLE_STAGE_NATIVE}/libtavoble.so
                     COMMAND ${CMAKE_OBJCOPY} --strip-unneeded ${TAVO_BLE_STAGE_NATIVE}/libtavo_ble_scans.so)
endif()

add_custom_target(wheel
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${TAVO_BLE_STAGE}
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${PROJECT_SOURCE_DIR}/src/tavo_ble ${TAVO_BLE_STAGE}/src/tavo_ble
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${TAVO_BLE_STAGE}/src/tavo_ble/tests ${TAVO_BLE_STAGE}/src/tavo_ble/lib/native
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/pyproject.toml ${PROJECT_SOURCE_DIR}/setup.py
          ${PROJECT_SOURCE_DIR}/README.md ${TAVO_BLE_STAGE}/
  COMMAND ${CMAKE_COMMAND} -E make_directory ${TAVO_BLE_STAGE_NATIVE}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:tavoble> ${TAVO_BLE_STAGE_NATIVE}/libtavoble.so
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:tavo_ble_scans> ${TAVO_BLE_STAGE_NATIVE}/
  ${TAVO_BLE_STRIP}
  COMMAND ${Python3_EXECUTABLE} -m pip wheel --quiet --no-build-isolation --no-index --no-deps
          -w ${CMAKE_BINARY_DIR}/dist ${TAVO_BLE_STAGE}
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  DEPENDS tavoble tavo_ble_scans
  COMMENT "Building the tavo_ble wheel into ${CMAKE_BINARY_DIR}/dist"
  VERBATIM)
