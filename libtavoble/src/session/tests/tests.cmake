# Protocol tests: bytes in, records, checks and scans out; no radio involved.
set(SESSION_TEST_DIR ${CMAKE_CURRENT_LIST_DIR})

add_executable(protocol_test
  ${SESSION_TEST_DIR}/GattProfile_test.cpp
  ${SESSION_TEST_DIR}/ConfigurationRecords_test.cpp
  ${SESSION_TEST_DIR}/DeviceConfiguration_test.cpp
  ${SESSION_TEST_DIR}/ScanAssembler_test.cpp)
target_include_directories(protocol_test PRIVATE ${SESSION_TEST_DIR})
target_link_libraries(protocol_test PRIVATE tavoble_protocol GTest::gtest_main Threads::Threads)
tavoble_warnings(protocol_test)
gtest_discover_tests(protocol_test)

# Counts every allocation with a replaced global operator new, so it stays in
# a binary of its own.
add_executable(protocol_allocation_test ${SESSION_TEST_DIR}/Allocation_test.cpp)
target_include_directories(protocol_allocation_test PRIVATE ${SESSION_TEST_DIR})
target_link_libraries(protocol_allocation_test PRIVATE tavoble_protocol GTest::gtest_main)
tavoble_warnings(protocol_allocation_test)
gtest_discover_tests(protocol_allocation_test)

# The hand-off from the notification thread to the delivery thread.
add_executable(delivery_test
  ${SESSION_TEST_DIR}/ScanDelivery_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/src/api/CallbackScope.cpp)
target_include_directories(delivery_test PRIVATE ${SESSION_TEST_DIR})
target_link_libraries(delivery_test PRIVATE tavoble_delivery GTest::gtest_main Threads::Threads)
tavoble_warnings(delivery_test)
gtest_discover_tests(delivery_test)

# Claims of amplifiers between processes.
add_executable(claim_test ${SESSION_TEST_DIR}/AmplifierClaim_test.cpp)
target_link_libraries(claim_test PRIVATE tavoble_claim GTest::gtest_main Threads::Threads)
tavoble_warnings(claim_test)
gtest_discover_tests(claim_test)
