// The GoogleTest helper that other parts of the tree use to get a private bus
// with the simulator: it must set DBUS_SYSTEM_BUS_ADDRESS, take scenarios and
// clean up after itself.
#include <cstdlib>
#include <string>

#include "SimulatorFixture.h"

namespace {

class DefaultSimulator : public tavoble::testing::SimulatorFixture {};

TEST_F(DefaultSimulator, ExportsTheBusAndAnswersControlCalls) {
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    ASSERT_NE(address, nullptr);
    EXPECT_EQ(sim().address(), address);
    EXPECT_NE(sim().control("ListAmplifiers").find("UX-0001.00.01"), std::string::npos);
    EXPECT_NO_THROW(sim().busctl("status org.bluez"));  // fails unless org.bluez is owned
    EXPECT_THROW(sim().control("DisconnectPeer s UX-0001.00.01"),
                 std::runtime_error);  // not connected
}

class ScenarioSimulator : public tavoble::testing::SimulatorFixture {
  protected:
    std::string scenarioJson() const override {
        return R"({"adapters": [{"id": "hci1"}], "amplifiers": [{"name": "UX-0042.00.01"}]})";
    }
};

TEST_F(ScenarioSimulator, PlaysTheGivenScenario) {
    EXPECT_NE(sim().control("ListAmplifiers").find("UX-0042.00.01"), std::string::npos);
    EXPECT_NE(sim().busctl("tree org.bluez").find("/org/bluez/hci1"), std::string::npos);
}

TEST(SimulatorProcess, RestoresTheEnvironmentAndStops) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nowhere", 1);
    pid_t pid = 0;
    {
        tavoble::testing::SimulatorProcess sim;
        pid = sim.pid();
        EXPECT_NE(std::string(std::getenv("DBUS_SYSTEM_BUS_ADDRESS")), "unix:path=/nowhere");
    }
    EXPECT_EQ(std::string(std::getenv("DBUS_SYSTEM_BUS_ADDRESS")), "unix:path=/nowhere");
    EXPECT_NE(kill(pid, 0), 0);  // gone, and reaped
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

}  // namespace
