// The harness that other parts of the tree use to get a private bus with the
// simulator: it must set DBUS_SYSTEM_BUS_ADDRESS, take scenarios, and put the
// environment back and leave no process behind when it stops.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "SimHarness.h"

namespace {

TEST(SimHarness, ExportsTheBusAndPlaysTheDefaultScenario) {
    bletest::SimHarness sim;
    ASSERT_EQ(sim.start(), "");
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    ASSERT_NE(address, nullptr);
    EXPECT_NE(std::string(address).find("unix:"), std::string::npos);
    EXPECT_FALSE(sim.isConnected("UX-0001.00.01"));
    EXPECT_NO_THROW(sim.counters("UX-0001.00.01"));
    EXPECT_THROW(sim.counters("UX-9999.00.01"), std::exception);  // no such amplifier
    sim.stop();
}

TEST(SimHarness, PlaysTheGivenScenario) {
    bletest::SimHarness sim;
    ASSERT_EQ(
        sim.start(R"({"adapters": [{"id": "hci1"}], "amplifiers": [{"name": "UX-0042.00.01"}]})"),
        "");
    EXPECT_NO_THROW(sim.counters("UX-0042.00.01"));
    EXPECT_THROW(sim.counters("UX-0001.00.01"), std::exception);
    EXPECT_NO_THROW(sim.setPowered("hci1", false));
    sim.stop();
}

TEST(SimHarness, RestoresTheEnvironmentWhenStopped) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nowhere", 1);
    {
        bletest::SimHarness sim;
        ASSERT_EQ(sim.start(), "");
        EXPECT_NE(std::string(std::getenv("DBUS_SYSTEM_BUS_ADDRESS")), "unix:path=/nowhere");
    }
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    ASSERT_NE(address, nullptr);
    EXPECT_EQ(std::string(address), "unix:path=/nowhere");
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

}  // namespace
