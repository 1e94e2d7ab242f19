#include "SimHarness.h"

#include <link.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sdbus-c++/sdbus-c++.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace bletest {

namespace {

const char* const kControl = "org.tavoble.Simulator1";

// The simulator this build made, unless TAVOBLE_SIM names another (an
// installed one, when the suite runs against an installed library).
std::string simulatorPath() {
    const char* env = std::getenv("TAVOBLE_SIM");
    return env != nullptr && *env != '\0' ? env : TAVOBLE_SIM_PATH;
}

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// SimpleBLE 1.1 as a shared library ends the process with exit(1) from its
// D-Bus thread when its bus connection goes (libdbus's exit-on-disconnect),
// and its destructors throw on a closed connection. A process that has it
// loaded keeps its bus until it ends. (The in-tree central is linked
// statically into libtavoble and copes with a lost bus.)
bool centralNeedsTheBusUntilExit() {
    return dl_iterate_phdr(
               [](dl_phdr_info* info, size_t, void*) {
                   return info->dlpi_name != nullptr &&
                                  std::strstr(info->dlpi_name, "libsimpleble") != nullptr
                              ? 1
                              : 0;
               },
               nullptr) != 0;
}

}  // namespace

bool waitFor(const std::function<bool()>& ready, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

SimHarness::SimHarness() = default;

SimHarness::~SimHarness() {
    if (pid_ > 0 && centralNeedsTheBusUntilExit()) {
        leaveUntilExit();
        return;
    }
    stop();
}

void SimHarness::leaveUntilExit() {
    endServe();
    // The simulator's watch sees this process gone, stops the bus and removes
    // the directory.
    pid_ = -1;
    dir_.clear();
    restoreAddress();
}

std::string SimHarness::start(const std::string& scenarioJson, bool simulator) {
    char pattern[] = "/tmp/ble-central-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        return "mkdtemp failed";
    }
    dir_ = pattern;
    simulator_ = simulator;
    scenarioFile_.clear();
    if (simulator && !scenarioJson.empty()) {
        scenarioFile_ = dir_ + "/scenario.json";
        std::ofstream(scenarioFile_) << scenarioJson;
    }
    return spawn();
}

std::string SimHarness::spawn() {
    const std::string addressFile = dir_ + "/address";
    unlink(addressFile.c_str());
    unlink((dir_ + "/stop").c_str());
    // The bus listens in our directory, so a restarted one has the same address.
    std::vector<std::string> args = {simulatorPath(), simulator_ ? "run" : "bus", "--bus-socket",
                                     dir_ + "/bus"};
    if (!scenarioFile_.empty()) {
        args.push_back("--scenario");
        args.push_back(scenarioFile_);
    }
    // The command hands the private bus address back through a file, then
    // waits until stop() asks or this process has died (then it removes the
    // directory too); the simulator then stops the bus and itself.
    const std::string self = std::to_string(getpid());
    const std::string watch = "printf %s \"$DBUS_SYSTEM_BUS_ADDRESS\" > '" + addressFile +
                              ".tmp' && mv '" + addressFile + ".tmp' '" + addressFile +
                              "' && while [ ! -e '" + dir_ + "/stop' ] && kill -0 " + self +
                              " 2>/dev/null; do sleep 0.05; done; kill -0 " + self +
                              " 2>/dev/null || rm -rf '" + dir_ + "'";
    args.insert(args.end(), {"--", "/bin/sh", "-c", watch});
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // Its own process group, so that stop() ends the bus and simulator with it.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    int rc = posix_spawnp(&pid_, argv[0], nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        pid_ = -1;
        return std::string("cannot start ") + argv[0];
    }
    if (!waitFor([&] { return exists(addressFile); }, std::chrono::seconds(20))) {
        return "the simulator did not start";
    }
    // Without the daemon's guid, which a restarted bus does not keep.
    const std::string address = "unix:path=" + dir_ + "/bus";
    if (!addressReplaced_) {
        const char* previous = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
        hadAddress_ = previous != nullptr;
        previousAddress_ = previous != nullptr ? previous : "";
        addressReplaced_ = true;
    }
    const char* current = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    // Set only when it changes: after a restart a library thread may be
    // reading it to connect again.
    if (current == nullptr || address != current) {
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    }
    if (!simulator_) {
        return {};
    }
    // Ready once the control interface answers.
    bool up = waitFor(
        [&] {
            try {
                counters("");
                return true;
            } catch (const sdbus::Error& e) {
                proxy_.reset();
                conn_.reset();
                // An error about the unknown amplifier is an answer too.
                const std::string& n = e.getName();
                return n != "org.freedesktop.DBus.Error.ServiceUnknown" &&
                       n != "org.freedesktop.DBus.Error.NameHasNoOwner" &&
                       n != "org.freedesktop.DBus.Error.UnknownObject" &&
                       n != "org.freedesktop.DBus.Error.UnknownInterface" &&
                       n != "org.freedesktop.DBus.Error.UnknownMethod" &&
                       n != "org.freedesktop.DBus.Error.NoReply" && n.rfind("sdbus.", 0) != 0;
            }
        },
        std::chrono::seconds(20));
    return up ? std::string() : "the simulator does not answer";
}

void SimHarness::serve() {
    std::vector<std::string> args = {simulatorPath(), "serve"};
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    if (posix_spawn(&servePid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        servePid_ = -1;
    }
}

void SimHarness::endServe() {
    proxy_.reset();
    conn_.reset();
    if (servePid_ > 0) {
        kill(servePid_, SIGTERM);
        int status = 0;
        waitpid(servePid_, &status, 0);
        servePid_ = -1;
    }
}

void SimHarness::stopBus() {
    endServe();
    if (pid_ > 0) {
        std::ofstream(dir_ + "/stop") << "stop";
        int status = 0;
        bool gone = waitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; },
                            std::chrono::seconds(10));
        if (!gone) {
            kill(-pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }
}

std::string SimHarness::restartBus() {
    if (dir_.empty()) {
        return "no bus was started";
    }
    stopBus();
    return spawn();
}

void SimHarness::stop() {
    stopBus();
    if (!dir_.empty()) {
        std::string cmd = "rm -rf '" + dir_ + "'";
        int ignored = std::system(cmd.c_str());
        (void)ignored;
        dir_.clear();
    }
    restoreAddress();
}

void SimHarness::restoreAddress() {
    // The process's own bus comes back once the private one is gone.
    if (addressReplaced_) {
        if (hadAddress_) {
            setenv("DBUS_SYSTEM_BUS_ADDRESS", previousAddress_.c_str(), 1);
        } else {
            unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        }
        addressReplaced_ = false;
    }
}

sdbus::IProxy& SimHarness::control() {
    if (!proxy_) {
        conn_ = sdbus::createSystemBusConnection();
        proxy_ = sdbus::createProxy(*conn_, "org.bluez", "/org/tavoble/simulator");
    }
    return *proxy_;
}

void SimHarness::setPowered(const std::string& adapter, bool powered) {
    control().callMethod("SetPowered").onInterface(kControl).withArguments(adapter, powered);
}

std::string SimHarness::addAmplifier(const std::string& json) {
    sdbus::ObjectPath path;
    control()
        .callMethod("AddAmplifier")
        .onInterface(kControl)
        .withArguments(json)
        .storeResultsTo(path);
    return path;
}

void SimHarness::removeAmplifier(const std::string& name) {
    control().callMethod("RemoveAmplifier").onInterface(kControl).withArguments(name);
}

void SimHarness::setAdvertising(const std::string& name, bool advertising) {
    control().callMethod("SetAdvertising").onInterface(kControl).withArguments(name, advertising);
}

void SimHarness::disconnectPeer(const std::string& name) {
    control().callMethod("DisconnectPeer").onInterface(kControl).withArguments(name);
}

void SimHarness::setBatteryLevel(const std::string& name, uint8_t level) {
    control().callMethod("SetBatteryLevel").onInterface(kControl).withArguments(name, level);
}

void SimHarness::setRate(const std::string& name, double rate) {
    control().callMethod("SetRate").onInterface(kControl).withArguments(name, rate);
}

void SimHarness::setUnreachable(const std::string& name, double seconds) {
    control().callMethod("SetUnreachable").onInterface(kControl).withArguments(name, seconds);
}

void SimHarness::setDiscoveringDelay(double milliseconds) {
    control().callMethod("SetDiscoveringDelay").onInterface(kControl).withArguments(milliseconds);
}

void SimHarness::removeAdapter(const std::string& id) {
    control().callMethod("RemoveAdapter").onInterface(kControl).withArguments(id);
}

void SimHarness::addAdapter(const std::string& id, const std::string& address) {
    control().callMethod("AddAdapter").onInterface(kControl).withArguments(id, address);
}

void SimHarness::restartBluetooth(double seconds) {
    control().callMethod("RestartBluetooth").onInterface(kControl).withArguments(seconds);
}

std::map<std::string, uint64_t> SimHarness::counters(const std::string& name) {
    std::map<std::string, uint64_t> result;
    control()
        .callMethod("GetCounters")
        .onInterface(kControl)
        .withArguments(name)
        .storeResultsTo(result);
    return result;
}

bool SimHarness::isConnected(const std::string& name) {
    bool result = false;
    control()
        .callMethod("IsConnected")
        .onInterface(kControl)
        .withArguments(name)
        .storeResultsTo(result);
    return result;
}

std::vector<std::string> SimHarness::deviceAddresses() {
    auto conn = sdbus::createSystemBusConnection();
    auto root = sdbus::createProxy(*conn, "org.bluez", "/");
    std::map<sdbus::ObjectPath, std::map<std::string, std::map<std::string, sdbus::Variant>>>
        objects;
    root->callMethod("GetManagedObjects")
        .onInterface("org.freedesktop.DBus.ObjectManager")
        .storeResultsTo(objects);
    std::vector<std::string> result;
    for (auto& [path, interfaces] : objects) {
        auto device = interfaces.find("org.bluez.Device1");
        if (device != interfaces.end()) {
            result.push_back(device->second["Address"].get<std::string>());
        }
    }
    return result;
}

std::vector<std::vector<uint8_t>> SimHarness::sentData(const std::string& name, uint64_t first,
                                                       uint32_t max) {
    std::vector<std::vector<uint8_t>> result;
    for (auto& entry : sentDataTimed(name, first, max)) {
        result.push_back(std::move(entry.second));
    }
    return result;
}

std::vector<std::pair<uint64_t, std::vector<uint8_t>>> SimHarness::sentDataTimed(
    const std::string& name, uint64_t first, uint32_t max) {
    std::vector<sdbus::Struct<uint64_t, std::vector<uint8_t>>> raw;
    control()
        .callMethod("GetSentData")
        .onInterface(kControl)
        .withArguments(name, first, max)
        .storeResultsTo(raw);
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> result;
    for (auto& entry : raw) {
        result.emplace_back(std::get<0>(entry), std::get<1>(entry));
    }
    return result;
}

}  // namespace bletest
