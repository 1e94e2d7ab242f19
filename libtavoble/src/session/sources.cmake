# Amplifier protocol: GATT profile lookups, configuration records, scan assembly.
# These know nothing of radios or D-Bus.
tavoble_object_library(tavoble_protocol
  ${CMAKE_CURRENT_LIST_DIR}/ProtocolPlaceholder.cpp)
