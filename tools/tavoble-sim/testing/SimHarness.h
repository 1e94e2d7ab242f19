#pragma once

// Starts tavoble-sim on a private bus for one test process and drives it
// through its control interface org.tavoble.Simulator1. Every C++ suite that
// needs simulated amplifiers uses this one harness; it talks only D-Bus, so it
// works whichever BLE central the library under test is linked with.
//
//   CMake:  target_link_libraries(my_test PRIVATE tavoble-sim-testing)
//
// The simulator is the one this build made, or the TAVOBLE_SIM environment
// variable when that names another.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sdbus {
class IConnection;
class IProxy;
}  // namespace sdbus

namespace bletest {

class SimHarness {
  public:
    SimHarness();
    ~SimHarness();

    // The destructor stops bus and simulator like stop(), except in a process
    // that has SimpleBLE loaded as a shared library: that one would end the
    // process when its bus goes, so bus and simulator stay up until the
    // process has ended.

    // Starts a private bus with the simulator playing `scenarioJson` (empty: its
    // default scenario) and points DBUS_SYSTEM_BUS_ADDRESS at it. With
    // `simulator` false the bus has no org.bluez on it. Returns an error text,
    // empty on success. stop() puts the previous address back.
    std::string start(const std::string& scenarioJson = "", bool simulator = true);
    void stop();

    // The bus daemon goes down with the simulator (every client loses its
    // connection); restartBus() starts both again at the same address with
    // the scenario of start(), in its initial state. Returns an error text.
    void stopBus();
    std::string restartBus();

    // Starts or stops a simulator on the running bus (Bluetooth service
    // starting or stopping while the process runs).
    void serve();
    void endServe();

    void setPowered(const std::string& adapter, bool powered);
    std::string addAmplifier(const std::string& json);
    void removeAmplifier(const std::string& name);
    void setAdvertising(const std::string& name, bool advertising);
    void disconnectPeer(const std::string& name);
    void setBatteryLevel(const std::string& name, uint8_t level);
    void setRate(const std::string& name, double rate);
    // The amplifier is out of range for `seconds` (link lost, silent, connects
    // time out) and comes back by itself; 0 brings it back at once.
    void setUnreachable(const std::string& name, double seconds);
    // Delay between StartDiscovery and Discovering becoming true.
    void setDiscoveringDelay(double milliseconds);
    // Unplugs adapter "hciN" / plugs one in (powered, with the given address).
    void removeAdapter(const std::string& id);
    void addAdapter(const std::string& id, const std::string& address);
    // bluetoothd restarts: org.bluez and its objects leave the bus and are
    // back after `seconds`.
    void restartBluetooth(double seconds);
    std::map<std::string, uint64_t> counters(const std::string& name);
    bool isConnected(const std::string& name);
    // Addresses of the devices BlueZ currently exports.
    std::vector<std::string> deviceAddresses();
    // Data notifications the amplifier sent, from index `first` on.
    std::vector<std::vector<uint8_t>> sentData(const std::string& name, uint64_t first,
                                               uint32_t max);
    // The same with each one's CLOCK_MONOTONIC send time in nanoseconds.
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> sentDataTimed(const std::string& name,
                                                                         uint64_t first,
                                                                         uint32_t max);

  private:
    sdbus::IProxy& control();
    std::string spawn();
    void leaveUntilExit();
    void restoreAddress();

    pid_t pid_ = -1;
    pid_t servePid_ = -1;
    std::string dir_;
    std::string scenarioFile_;
    bool simulator_ = true;
    bool addressReplaced_ = false;
    bool hadAddress_ = false;
    std::string previousAddress_;
    std::unique_ptr<sdbus::IConnection> conn_;
    std::unique_ptr<sdbus::IProxy> proxy_;
};

// Polls `ready` every 5 ms until it holds or `timeout` passes.
bool waitFor(const std::function<bool()>& ready,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace bletest
