# End-to-end tests through the C interface of the built libtavoble.so, each
# against its own private bus with tavoble-sim.

# Registers the tests of `target`, labelling those that cannot hold for every
# central (gtest names or patterns): SIMPLEBLE_FAULTS pin down libtavoble's side
# of a fault of SimpleBLE 1.1 that the library cannot work around (README's
# table), INTREE_ONLY rely on the in-tree central's own call bounds or texts.
# scripts/test-with-simpleble.sh lists the first apart and leaves the second out.
function(tavoble_discover_by_central target)
  cmake_parse_arguments(arg "" "" "SIMPLEBLE_FAULTS;INTREE_ONLY" ${ARGN})
  list(JOIN arg_SIMPLEBLE_FAULTS ":" faults)
  list(JOIN arg_INTREE_ONLY ":" intree)
  gtest_discover_tests(${target} TEST_FILTER "-${faults}:${intree}" PROPERTIES TIMEOUT 240)
  if(faults)
    gtest_discover_tests(${target} TEST_FILTER "${faults}"
      PROPERTIES TIMEOUT 240 LABELS simpleble-known-failure)
  endif()
  if(intree)
    gtest_discover_tests(${target} TEST_FILTER "${intree}"
      PROPERTIES TIMEOUT 240 LABELS intree-central-only)
  endif()
endfunction()

if(TARGET tavoble-sim-testing)
  add_executable(tavoble_e2e_test
    ${CMAKE_CURRENT_LIST_DIR}/Recorders.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Adapters_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Discovery_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/OpenDevice_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Streaming_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Lifetime_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ThreadEnd_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ScanState_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ApplicationScan_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Outage_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Fork_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ChangedDescription_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/OneOwner_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SharedLink_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/LinkLoss_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/LinkLossCounters_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FailedOpen_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DiscoveringDelay_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DiscoveredCallback_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/KilledClient_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/BusRestart_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Delivery_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SlowConsumer_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Registration_test.cpp)
  target_include_directories(tavoble_e2e_test PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(tavoble_e2e_test PRIVATE tavoble ble_sim_harness GTest::gtest_main Threads::Threads)
  add_dependencies(tavoble_e2e_test tavoble-sim)
  tavoble_warnings(tavoble_e2e_test)
  tavoble_discover_by_central(tavoble_e2e_test
    SIMPLEBLE_FAULTS
      SimulatorTest.AnAmplifierLeftConnectedByAKilledProgramOpensAgain
      LinkLossTest.AnOpenWhoseLinkDropsBeforeItsServicesResolveConnectsAgainAtOnce
      LinkLossTest.AForkedChildEndsPromptlyAndTheParentStreamsOn
      SimulatorTest.AnOpenAmplifierStreamsAgainAfterTheBusRestarts
      SimulatorTest.AReplacedAdapterIsUsedWithoutRestarting
      LinkLossCounters.ABluetoothServiceRestartMidStreamIsRecovered
      Amplifiers/FailedOpen.LeavesNothingConnectedWhenItReturns/servicesNeverResolved
      Amplifiers/OpenFailures.MapToTheSessionMessageAndLeaveNothingConnected/servicesNeverResolved
    INTREE_ONLY
      Amplifiers/FailedOpen.LeavesNothingConnectedWhenItReturns/readNeverAnswered)
  # The simulator offers AcquireNotify, so the tests above take the socket path.
  # Streaming, link loss, bus loss, Bluetooth restart and closing while
  # streaming run again on a simulator without it: the StartNotify path.
  gtest_discover_tests(tavoble_e2e_test
    TEST_PREFIX "bus-path."
    TEST_FILTER "Streaming.*:LinkLoss.*:LinkLossTest.*:LinkLossCounters.*:SimulatorTest.AnOpenAmplifierStreamsAgainAfterTheBusRestarts:SimulatorTest.ClosingWhileStreamingFastIsClean:SimulatorTest.CallbacksMayStopTheirOwnDeliveryAndClose:SimulatorTest.APeerThatDropsTheLinkStreamsOnAndCanBeOpenedAgain:SimulatorTest.ACallbackThatFallsBehindSeesEveryDroppedScanAsAFiller"
    PROPERTIES TIMEOUT 240 ENVIRONMENT "TAVOBLE_SIM_NO_ACQUIRE_NOTIFY=1" LABELS "bus-path")

  # Behaviour that SimpleBLE 1.1 is known to break (README): these pass with
  # the in-tree central; libtavoble works around some of the faults.
  add_executable(tavoble_simpleble_faults_test
    ${CMAKE_CURRENT_LIST_DIR}/Recorders.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SimpleBLEFaults_test.cpp)
  target_include_directories(tavoble_simpleble_faults_test PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(tavoble_simpleble_faults_test
    PRIVATE tavoble ble_sim_harness GTest::gtest_main Threads::Threads)
  add_dependencies(tavoble_simpleble_faults_test tavoble-sim)
  tavoble_warnings(tavoble_simpleble_faults_test)
  tavoble_discover_by_central(tavoble_simpleble_faults_test
    SIMPLEBLE_FAULTS
      SimulatorTest.ARunOfOpensAndReadsHasNoLongStall
      SimulatorTest.ALostBusConnectionDoesNotEndTheProcess)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/robustness/tests.cmake)
