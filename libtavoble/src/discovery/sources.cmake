set(TAVOBLE_BACKEND_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/SimpleBLEAdapter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DiscoveredListDelivery.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SimpleBLEFactory.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../session/SimpleBLEDevice.cpp)
