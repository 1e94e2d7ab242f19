# Amplifier protocol: GATT profile lookups, configuration records, scan assembly.
# These know nothing of radios or D-Bus: they take bytes and give scans.
tavoble_object_library(tavoble_protocol
  ${CMAKE_CURRENT_LIST_DIR}/GattProfile.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ConfigurationRecords.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DeviceConfiguration.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ScanAssembler.cpp)

# Per-device hand-off of scans from the notification thread to the thread that
# calls the application.
tavoble_object_library(tavoble_delivery
  ${CMAKE_CURRENT_LIST_DIR}/ScanQueue.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ScanDelivery.cpp)

# One program per amplifier on the machine: a claim the kernel releases when
# its program ends.
tavoble_object_library(tavoble_claim ${CMAKE_CURRENT_LIST_DIR}/AmplifierClaim.cpp)
