// Starts a private D-Bus bus with tavoble-sim on it for a test, and points
// DBUS_SYSTEM_BUS_ADDRESS at it, so every BlueZ client in the test process
// (sdbus-c++'s createSystemBusConnection included) talks to the simulator.
//
//   CMake:  target_link_libraries(my_test PRIVATE tavoble-sim-testing)
//           add_dependencies(my_test tavoble-sim)
//
//   class MyTest : public tavoble::testing::SimulatorFixture {};
//   TEST_F(MyTest, Streams) { ... sim().control("DisconnectPeer s UX-0001.00.01"); }
//
// A scenario other than the default: override scenarioJson() (JSON text) or
// scenarioFile(). The simulator binary is TAVOBLE_SIM_EXECUTABLE (set by the
// CMake target), or the TAVOBLE_SIM environment variable when that is set.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tavoble::testing {

// One `tavoble-sim run` without a command: bus and simulator until destroyed.
class SimulatorProcess {
  public:
    struct Options {
        std::string scenarioFile;    // empty: the default scenario (or scenarioJson)
        std::string scenarioJson;    // scenario text, written to a temporary file
        bool setEnvironment = true;  // export DBUS_SYSTEM_BUS_ADDRESS while alive
    };

    SimulatorProcess() : SimulatorProcess(Options{}) {}
    explicit SimulatorProcess(const Options& options) : options_(options) { start(); }
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;
    ~SimulatorProcess() { stop(); }

    const std::string& address() const { return address_; }
    pid_t pid() const { return pid_; }

    static std::string executable() {
        const char* env = std::getenv("TAVOBLE_SIM");
        if (env != nullptr && *env != '\0') {
            return env;
        }
#ifdef TAVOBLE_SIM_EXECUTABLE
        return TAVOBLE_SIM_EXECUTABLE;
#else
        return "tavoble-sim";
#endif
    }

    // Runs `busctl --address=ADDR ARGS` and returns its standard output; throws
    // when busctl fails. Example: busctl("--json=short call org.bluez / ...").
    std::string busctl(const std::string& args) const {
        const std::string cmd = "busctl --address='" + address_ + "' " + args + " 2>&1";
        FILE* p = popen(cmd.c_str(), "r");
        if (p == nullptr) {
            throw std::runtime_error("cannot run busctl");
        }
        std::string out;
        char buf[4096];
        size_t n = 0;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
            out.append(buf, n);
        }
        const int st = pclose(p);
        if (st != 0) {
            throw std::runtime_error("busctl " + args + " failed: " + out);
        }
        return out;
    }

    // Calls org.tavoble.Simulator1: control("SetAdvertising sb UX-0001.00.01 false").
    std::string control(const std::string& methodAndArgs) const {
        return busctl("call org.bluez /org/tavoble/simulator org.tavoble.Simulator1 " +
                      methodAndArgs);
    }

    // The amplifier is out of range for the given seconds (link lost, silent,
    // connects time out) and comes back by itself; 0 brings it back at once.
    void setUnreachable(const std::string& name, double seconds) const {
        control("SetUnreachable sd " + name + " " + std::to_string(seconds));
    }

    // Delay between StartDiscovery and Discovering becoming true.
    void setDiscoveringDelay(double milliseconds) const {
        control("SetDiscoveringDelay d " + std::to_string(milliseconds));
    }

    // Unplugs adapter "hciN" / plugs one in (powered, with the given address).
    void removeAdapter(const std::string& id) const { control("RemoveAdapter s " + id); }
    void addAdapter(const std::string& id, const std::string& address) const {
        control("AddAdapter ss " + id + " " + address);
    }

    // bluetoothd restarts: org.bluez and every object leave the bus and are
    // back after the given seconds (control calls reach nobody meanwhile).
    void restartBluetooth(double seconds) const {
        control("RestartBluetooth d " + std::to_string(seconds));
    }

    // Stops simulator and bus; returns the exit status of tavoble-sim (0 when all went well).
    int stop() {
        int result = 0;
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
            result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (options_.setEnvironment && !address_.empty()) {
            if (previous_) {
                setenv("DBUS_SYSTEM_BUS_ADDRESS", previous_->c_str(), 1);
            } else {
                unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
            }
        }
        address_.clear();
        if (!tempScenario_.empty()) {
            std::remove(tempScenario_.c_str());
            tempScenario_.clear();
        }
        return result;
    }

  private:
    void start() {
        std::string scenario = options_.scenarioFile;
        if (!options_.scenarioJson.empty()) {
            char tmpl[] = "/tmp/tavoble-sim-scenario.XXXXXX";
            const int fd = mkstemp(tmpl);
            if (fd < 0) {
                throw std::runtime_error("cannot create a scenario file");
            }
            close(fd);
            tempScenario_ = tmpl;
            std::ofstream(tempScenario_) << options_.scenarioJson;
            scenario = tempScenario_;
        }
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        const std::string exe = executable();
        std::vector<std::string> args = {exe, "run"};
        if (!scenario.empty()) {
            args.push_back("--scenario");
            args.push_back(scenario);
        }
        // Everything the child needs is prepared before fork: a test process may
        // have threads, and the child must not allocate.
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        const pid_t parent = getpid();
        pid_ = fork();
        if (pid_ < 0) {
            throw std::runtime_error("fork failed");
        }
        if (pid_ == 0) {
            // The simulator ends with the test process, even when that one crashes.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) {
                _exit(1);
            }
            dup2(fds[1], 1);
            execv(argv[0], argv.data());
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (line.find('\n') == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd p{fds[0], POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) {
                continue;
            }
            char buf[512];
            const ssize_t n = read(fds[0], buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            line.append(buf, static_cast<size_t>(n));
        }
        close(fds[0]);
        if (line.find('\n') == std::string::npos) {
            stop();
            throw std::runtime_error("tavoble-sim did not start (" + exe + ")");
        }
        address_ = line.substr(0, line.find('\n'));
        if (options_.setEnvironment) {
            const char* old = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
            if (old != nullptr) {
                previous_ = old;
            }
            setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
        }
    }

    Options options_;
    pid_t pid_ = -1;
    std::string address_;
    std::string tempScenario_;
    std::optional<std::string> previous_;
};

// GoogleTest fixture: a fresh bus and simulator for every test.
class SimulatorFixture : public ::testing::Test {
  protected:
    // Scenario JSON text for this test; empty means the default scenario.
    virtual std::string scenarioJson() const { return {}; }
    // Or a scenario file (tools/tavoble-sim/scenarios/... via TAVOBLE_SIM_SCENARIO_DIR).
    virtual std::string scenarioFile() const { return {}; }

    void SetUp() override {
        SimulatorProcess::Options o;
        o.scenarioJson = scenarioJson();
        o.scenarioFile = scenarioFile();
        sim_.emplace(o);
    }
    void TearDown() override {
        // A simulator that failed on its way out (a sanitizer report, say) fails the test.
        EXPECT_EQ(sim_->stop(), 0) << "tavoble-sim did not end cleanly";
        sim_.reset();
    }

    SimulatorProcess& sim() { return *sim_; }

  private:
    std::optional<SimulatorProcess> sim_;
};

}  // namespace tavoble::testing
