# Which BLE central libtavoble is linked with: an installed SimpleBLE when one
# is found, otherwise the in-tree central on BlueZ (ble/). Either can be forced:
#   -DTAVOBLE_INTREE_CENTRAL=ON     the in-tree central, even if SimpleBLE is installed
#   -DTAVOBLE_REQUIRE_SIMPLEBLE=ON  an installed SimpleBLE or a configure error
# TAVOBLE_CENTRAL is "simpleble" or "in-tree" afterwards.
if(TAVOBLE_INTREE_CENTRAL AND TAVOBLE_REQUIRE_SIMPLEBLE)
  message(FATAL_ERROR "TAVOBLE_INTREE_CENTRAL and TAVOBLE_REQUIRE_SIMPLEBLE exclude each other")
endif()

if(TAVOBLE_REQUIRE_SIMPLEBLE)
  find_package(simpleble CONFIG REQUIRED)
  set(TAVOBLE_CENTRAL simpleble)
elseif(NOT TAVOBLE_INTREE_CENTRAL)
  find_package(simpleble CONFIG QUIET)
  if(simpleble_FOUND)
    set(TAVOBLE_CENTRAL simpleble)
  else()
    set(TAVOBLE_CENTRAL in-tree)
  endif()
else()
  set(TAVOBLE_CENTRAL in-tree)
endif()
message(STATUS "libtavoble: BLE central: ${TAVOBLE_CENTRAL}")
