# Fails unless the library exports exactly the nine functions of its C interface.
execute_process(COMMAND nm -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
set(expected
  TAVOBLE_CloseDevice TAVOBLE_GetApiVersion TAVOBLE_GetDeviceInformation
  TAVOBLE_GetLastErrorText TAVOBLE_OpenDevice TAVOBLE_RegisterDataAvailableCallback
  TAVOBLE_RegisterDeviceDiscoveredCallback TAVOBLE_StartScanning TAVOBLE_StopScanning)
set(functions "")
string(REPLACE "\n" ";" lines "${symbols}")
foreach(line IN LISTS lines)
  # Any exported code or data symbol counts; version-node entries (A) do not.
  if(line MATCHES "^[0-9a-f]+ [TtWwDdBbRrVvi] (.+)$")
    list(APPEND functions ${CMAKE_MATCH_1})
  endif()
endforeach()
list(SORT functions)
if(NOT functions STREQUAL expected)
  message(FATAL_ERROR "exported: ${functions}\nexpected: ${expected}")
endif()
message(STATUS "exactly the nine TAVOBLE_ functions are exported")
