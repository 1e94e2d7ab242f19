// The harness that other parts of the tree use to get a private bus with the
// simulator: it must set DBUS_SYSTEM_BUS_ADDRESS, take scenarios, and put the
// environment back and leave no process behind when it stops.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
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

// A test process that ends without stopping its simulator (it crashed, or
// kept the bus for a central that must not lose it) takes bus, simulator and
// their directory with it.
TEST(SimHarness, BusAndDirectoryEndWithTheProcessThatLeftThem) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto* sim = new bletest::SimHarness();  // never stopped
        if (!sim->start().empty()) {
            _exit(2);
        }
        const std::string address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
        _exit(write(fds[1], address.data(), address.size()) == static_cast<ssize_t>(address.size())
                  ? 0
                  : 3);
    }
    close(fds[1]);
    char buffer[256] = {};
    const ssize_t length = read(fds[0], buffer, sizeof buffer - 1);
    close(fds[0]);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string address(buffer, static_cast<std::size_t>(std::max<ssize_t>(length, 0)));
    const std::string prefix = "unix:path=";
    ASSERT_EQ(address.rfind(prefix, 0), 0u) << address;
    const std::string socket = address.substr(prefix.size());
    const std::string directory = socket.substr(0, socket.rfind('/'));
    struct stat st {};
    EXPECT_TRUE(bletest::waitFor([&] { return stat(directory.c_str(), &st) != 0; },
                                 std::chrono::seconds(10)))
        << directory << " left behind";
}

}  // namespace
