set(API_TEST_DIR ${CMAKE_CURRENT_LIST_DIR})

# The record layout, checked by a C99 and a C++ compiler.
add_executable(header_layout_test
  ${API_TEST_DIR}/header_layout_test.c
  ${API_TEST_DIR}/header_layout_test.cpp)
target_include_directories(header_layout_test PRIVATE ${TAVOBLE_INCLUDE_DIR})
target_link_libraries(header_layout_test PRIVATE GTest::gtest_main)
tavoble_warnings(header_layout_test)
gtest_discover_tests(header_layout_test)

# The frame, the registry and the exported functions, over a fake backend.
add_executable(api_test
  $<TARGET_OBJECTS:tavoble_api>
  ${API_TEST_DIR}/FakeBackend.cpp
  ${API_TEST_DIR}/CallFrame_test.cpp
  ${API_TEST_DIR}/DeviceRegistry_test.cpp
  ${API_TEST_DIR}/ExportedFunctions_test.cpp
  ${API_TEST_DIR}/ThreadEnd_test.cpp
  ${API_TEST_DIR}/ExitWhileBusy_test.cpp
  ${API_TEST_DIR}/../../discovery/tests/NameSlot_test.cpp)
target_include_directories(api_test PRIVATE
  ${TAVOBLE_INCLUDE_DIR} ${API_TEST_DIR}
  ${CMAKE_CURRENT_SOURCE_DIR}/src/api ${CMAKE_CURRENT_SOURCE_DIR}/src/discovery)
target_link_libraries(api_test PRIVATE GTest::gtest_main Threads::Threads)
tavoble_warnings(api_test)
gtest_discover_tests(api_test)

# Exactly the nine functions are exported.
add_test(NAME exported_symbols
  COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:tavoble> -P ${API_TEST_DIR}/exported_symbols_test.cmake)
