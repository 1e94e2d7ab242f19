# Amplifier protocol: GATT profile lookups, configuration records, scan assembly.
# These know nothing of radios or D-Bus: they take bytes and give scans.
tavoble_object_library(tavoble_protocol
  ${CMAKE_CURRENT_LIST_DIR}/GattProfile.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ConfigurationRecords.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DeviceConfiguration.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ScanAssembler.cpp)
