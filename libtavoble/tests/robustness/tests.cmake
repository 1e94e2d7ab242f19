# Robustness of the whole library through its C interface against tavoble-sim:
# the fault table, a soak and a concurrency torture. Long runs are chosen
# with environment variables (docs/faults.md).
if(TARGET tavoble-sim-testing)
  find_package(nlohmann_json 3 REQUIRED)
  add_executable(tavoble_robustness_test
    ${CMAKE_CURRENT_LIST_DIR}/FaultTable.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FaultMatrix_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FaultWorker.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Soak_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Torture_test.cpp)
  target_include_directories(tavoble_robustness_test PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  target_compile_definitions(tavoble_robustness_test PRIVATE
    TAVOBLE_FAULT_TABLE="${CMAKE_CURRENT_LIST_DIR}/faults.json")
  target_link_libraries(tavoble_robustness_test PRIVATE
    tavoble ble_sim_harness nlohmann_json::nlohmann_json GTest::gtest_main Threads::Threads)
  add_dependencies(tavoble_robustness_test tavoble-sim)
  tavoble_warnings(tavoble_robustness_test)
  # On SimpleBLE 1.1 two rows of the fault table cannot hold (README): services
  # that never resolve leave the link up, and its own five connect attempts
  # turn a connect refused once into an open that succeeds. (Discovered tests
  # take one label.)
  gtest_discover_tests(tavoble_robustness_test
    TEST_PREFIX "robustness."
    TEST_FILTER "-FaultMatrix.*"
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 180 LABELS "robustness")
  gtest_discover_tests(tavoble_robustness_test
    TEST_PREFIX "robustness."
    TEST_FILTER "FaultMatrix.*"
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 180 LABELS simpleble-known-failure)
  # The fault table once more on the StartNotify path (a BlueZ without AcquireNotify),
  # labelled as the other StartNotify copies, which the suite on SimpleBLE leaves out.
  gtest_discover_tests(tavoble_robustness_test
    TEST_PREFIX "robustness.bus-path."
    TEST_FILTER "FaultMatrix.*"
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 180 ENVIRONMENT "TAVOBLE_SIM_NO_ACQUIRE_NOTIFY=1" LABELS "bus-path")
endif()

# The same fault table through the Python wrapper, on this build's library
# (TAVOBLE_LIBRARY), which python3 cannot load when it is sanitized.
if(NOT TAVOBLE_SANITIZE AND TAVOBLE_BUILD_TESTS)
  add_test(NAME robustness.python_faults
    COMMAND ${Python3_EXECUTABLE} -m pytest -q -p no:cacheprovider
      ${PROJECT_SOURCE_DIR}/src/tavo_ble/tests/test_faults.py)
  set_tests_properties(robustness.python_faults PROPERTIES
    ENVIRONMENT "PYTHONPATH=${PROJECT_SOURCE_DIR}/src;TAVOBLE_LIBRARY=$<TARGET_FILE:tavoble>;TAVOBLE_SIM=${CMAKE_BINARY_DIR}/bin/tavoble-sim;PYTHONDONTWRITEBYTECODE=1"
    TIMEOUT 240 LABELS "robustness;simpleble-known-failure")
endif()

# docs/faults.md shows the table that these tests check.
add_test(NAME robustness.fault_table_is_current
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/faults_table.py --check)
set_tests_properties(robustness.fault_table_is_current PROPERTIES LABELS "robustness")
