// tavoble-sim: a simulated BlueZ with virtual amplifiers on a private D-Bus bus.
//
//   tavoble-sim serve [--scenario FILE]            on the bus in DBUS_SYSTEM_BUS_ADDRESS
//   tavoble-sim run [--scenario FILE] [-- CMD...]  private bus + simulator (+ CMD)
//   tavoble-sim bus [-- CMD...]                    private bus only
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Loop.h"
#include "Scenario.h"
#include "Simulator.h"
#include "bus_config.h"

namespace {

using tavosim::Scenario;
using tavosim::Simulator;

struct Options {
    std::string mode;
    std::optional<std::string> scenarioFile;
    std::vector<std::string> command;
    std::optional<std::string> busSocket;  // the bus's socket, when given
    bool simulator = true;
    bool exitWithParent = false;
    bool noAcquireNotify = false;
};

void usage(FILE* out) {
    std::fputs(
        "usage: tavoble-sim serve [--scenario FILE] [--exit-with-parent] [--no-acquire-notify]\n"
        "       tavoble-sim run [--scenario FILE] [--exit-with-parent] [--bus-socket PATH]\n"
        "                       [--no-acquire-notify]\n"
        "                       [-- COMMAND [ARGS...]]\n"
        "       tavoble-sim bus [--exit-with-parent] [--bus-socket PATH] [-- COMMAND [ARGS...]]\n"
        "\n"
        "serve  plays BlueZ (org.bluez) on the bus named by DBUS_SYSTEM_BUS_ADDRESS.\n"
        "run    starts a private dbus-daemon and the simulator on it, then COMMAND with\n"
        "       DBUS_SYSTEM_BUS_ADDRESS set; stops both when COMMAND ends and exits with\n"
        "       its status. Without COMMAND it prints the bus address on standard output\n"
        "       once org.bluez is owned and runs until SIGINT or SIGTERM.\n"
        "bus    like run, without the simulator.\n"
        "\n"
        "--exit-with-parent  end (as on SIGTERM) when the process that started us ends\n"
        "--bus-socket PATH   the bus listens on this socket (a bus restarted at the same\n"
        "                    address); default: one in the temporary directory\n"
        "--no-acquire-notify play a BlueZ without AcquireNotify (NotifyAcquired absent,\n"
        "                    AcquireNotify answers NotSupported); so does a non-empty\n"
        "                    TAVOBLE_SIM_NO_ACQUIRE_NOTIFY other than 0\n",
        out);
}

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "tavoble-sim: %s\n", what.c_str());
    std::exit(2);
}

Scenario scenarioOf(const Options& o) {
    Scenario s;
    try {
        s = o.scenarioFile ? tavosim::loadScenario(*o.scenarioFile) : tavosim::defaultScenario();
    } catch (const std::exception& e) {
        die(e.what());
    }
    const char* env = std::getenv("TAVOBLE_SIM_NO_ACQUIRE_NOTIFY");
    if (o.noAcquireNotify || (env != nullptr && *env != '\0' && std::string(env) != "0")) {
        s.acquireNotify = false;
    }
    return s;
}

// Connects to address as a bus client and attaches the connection to the loop.
sd_bus* connectBus(const std::string& address, sd_event* loop) {
    sd_bus* bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r >= 0)
        r = sd_bus_set_address(bus, address.c_str());
    if (r >= 0)
        r = sd_bus_set_bus_client(bus, 1);
    if (r >= 0)
        r = sd_bus_start(bus);
    if (r >= 0)
        r = sd_bus_attach_event(bus, loop, SD_EVENT_PRIORITY_NORMAL);
    if (r < 0) {
        sd_bus_unref(bus);
        die("cannot connect to the bus " + address + ": " + std::strerror(-r));
    }
    return bus;
}

int statusOf(const siginfo_t& si) {
    if (si.si_code == CLD_EXITED) {
        return si.si_status;
    }
    return 128 + si.si_status;
}

// ---- serve ----

int serve(const Options& o) {
    Scenario scenario = scenarioOf(o);
    const char* env = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::string address =
        env != nullptr && *env != '\0' ? env : "unix:path=/run/dbus/system_bus_socket";
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    sd_event* loop = nullptr;
    sd_event_new(&loop);
    sd_event_add_signal(loop, nullptr, SIGINT, nullptr, nullptr);
    sd_event_add_signal(loop, nullptr, SIGTERM, nullptr, nullptr);
    sd_bus* bus = connectBus(address, loop);
    sd_bus_set_exit_on_disconnect(bus, 1);
    int status = 0;
    {
        Simulator sim(loop, bus, std::move(scenario));
        // Queued when another owner still holds the name: a restarted simulator waits for it.
        const int r = sd_bus_request_name(bus, "org.bluez", SD_BUS_NAME_QUEUE);
        if (r < 0) {
            die(std::string("cannot own org.bluez: ") + std::strerror(-r));
        }
        std::fprintf(stderr,
                     r > 0 ? "tavoble-sim: serving org.bluez on %s\n"
                           : "tavoble-sim: waiting for org.bluez on %s\n",
                     address.c_str());
        status = sd_event_loop(loop);
    }
    sd_bus_flush_close_unref(bus);
    sd_event_unref(loop);
    return status < 0 ? 1 : status;
}

// ---- run / bus ----

class Run {
  public:
    explicit Run(Options o) : o_(std::move(o)) {}
    int exec();

  private:
    void startDaemon();
    void startCommand();
    void stopDaemon();
    void cleanupDir();
    static int onSignal(sd_event_source* s, const struct signalfd_siginfo* si, void* userdata);
    static int onCommandExit(sd_event_source* s, const siginfo_t* si, void* userdata);
    static int onDaemonExit(sd_event_source* s, const siginfo_t* si, void* userdata);

    Options o_;
    std::string dir_;
    std::string address_;
    pid_t daemon_ = -1;
    pid_t command_ = -1;
    sd_event* loop_ = nullptr;
    sd_event_source* daemonWatch_ = nullptr;
    sd_event_source* commandWatch_ = nullptr;
    int status_ = 0;
    bool commandDone_ = false;
    tavosim::Timer killTimer_;
};

void Run::startDaemon() {
    // TMPDIR when its path leaves room for the socket name (108 bytes at most).
    const char* tmp = std::getenv("TMPDIR");
    std::string base = tmp != nullptr && *tmp != '\0' && std::strlen(tmp) < 80 ? tmp : "/tmp";
    std::string tmpl = base + "/tavoble-sim.XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
        die("cannot create a temporary directory in " + base + ": " + std::strerror(errno));
    }
    dir_ = tmpl;
    const std::string config = dir_ + "/bus.conf";
    {
        std::ofstream out(config);
        out << tavosim::kBusConfig;
        if (!out) {
            die("cannot write " + config);
        }
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        die("pipe failed");
    }
    const char* daemonEnv = std::getenv("TAVOBLE_DBUS_DAEMON");
    const std::string daemon =
        daemonEnv != nullptr && *daemonEnv != '\0' ? daemonEnv : "dbus-daemon";
    const std::string configArg = "--config-file=" + config;
    const std::string socket = o_.busSocket ? *o_.busSocket : dir_ + "/bus";
    // A socket left by a bus that was killed would refuse the new one.
    unlink(socket.c_str());
    const std::string addressArg = "--address=unix:path=" + socket;
    const std::string logFile = dir_ + "/daemon.log";
    const pid_t parent = getpid();
    daemon_ = fork();
    if (daemon_ < 0) {
        die("fork failed");
    }
    if (daemon_ == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        // The bus must not outlive us, even when we are killed.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(1);
        }
        dup2(fds[1], 3);  // dup2 clears close-on-exec on the copy
        // Its chatter (it cannot raise the fd limit in a container, say) goes to a log,
        // shown only when it fails to start.
        const int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (log >= 0) {
            dup2(log, 2);
            close(log);
        }
        execlp(daemon.c_str(), daemon.c_str(), configArg.c_str(), addressArg.c_str(), "--nofork",
               "--nopidfile", "--nosyslog", "--print-address=3", static_cast<char*>(nullptr));
        std::fprintf(stderr, "tavoble-sim: cannot start %s: %s\n", daemon.c_str(),
                     std::strerror(errno));
        _exit(127);
    }
    close(fds[1]);
    // The daemon prints its address once it listens.
    std::string line;
    const uint64_t deadline = tavosim::nowUs() + 10'000'000;
    while (line.find('\n') == std::string::npos) {
        const uint64_t now = tavosim::nowUs();
        if (now >= deadline) {
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>((deadline - now) / 1000 + 1)) <= 0) {
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
        std::ifstream log(logFile);
        std::string l;
        while (std::getline(log, l)) {
            std::fprintf(stderr, "%s\n", l.c_str());
        }
        stopDaemon();
        cleanupDir();
        die("dbus-daemon did not start");
    }
    address_ = line.substr(0, line.find('\n'));
}

void Run::stopDaemon() {
    if (daemon_ <= 0) {
        return;
    }
    daemonWatch_ = sd_event_source_disable_unref(daemonWatch_);
    kill(daemon_, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        int st = 0;
        const pid_t r = waitpid(daemon_, &st, WNOHANG);
        if (r == daemon_ || r < 0) {
            daemon_ = -1;
            return;
        }
        usleep(10'000);
    }
    kill(daemon_, SIGKILL);
    waitpid(daemon_, nullptr, 0);
    daemon_ = -1;
}

void Run::cleanupDir() {
    if (dir_.empty()) {
        return;
    }
    unlink((dir_ + "/bus.conf").c_str());
    unlink((dir_ + "/bus").c_str());
    if (o_.busSocket) {
        unlink(o_.busSocket->c_str());
    }
    unlink((dir_ + "/daemon.log").c_str());
    rmdir(dir_.c_str());
    dir_.clear();
}

void Run::startCommand() {
    const pid_t parent = getpid();
    command_ = fork();
    if (command_ < 0) {
        die("fork failed");
    }
    if (command_ == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        std::signal(SIGPIPE, SIG_DFL);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(1);
        }
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
        std::vector<char*> argv;
        for (auto& a : o_.command) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        std::fprintf(stderr, "tavoble-sim: cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
}

int Run::onSignal(sd_event_source* /*s*/, const struct signalfd_siginfo* si, void* userdata) {
    auto* self = static_cast<Run*>(userdata);
    const int sig = static_cast<int>(si->ssi_signo);
    if (self->command_ > 0 && !self->commandDone_) {
        // Pass it on and give COMMAND a moment to finish before it is killed.
        kill(self->command_, sig);
        if (!self->killTimer_.active()) {
            const pid_t pid = self->command_;
            self->killTimer_.start(5'000'000, [self, pid]() {
                if (!self->commandDone_) {
                    kill(pid, SIGKILL);
                }
            });
        }
        return 0;
    }
    self->status_ = 128 + sig;
    if (self->command_ <= 0) {
        self->status_ = 0;  // a bus without COMMAND ends normally when asked to
    }
    sd_event_exit(self->loop_, 0);
    return 0;
}

int Run::onCommandExit(sd_event_source* /*s*/, const siginfo_t* si, void* userdata) {
    auto* self = static_cast<Run*>(userdata);
    self->commandDone_ = true;
    self->status_ = statusOf(*si);
    sd_event_exit(self->loop_, 0);
    return 0;
}

int Run::onDaemonExit(sd_event_source* /*s*/, const siginfo_t* /*si*/, void* userdata) {
    auto* self = static_cast<Run*>(userdata);
    std::fprintf(stderr, "tavoble-sim: the bus daemon ended unexpectedly\n");
    self->daemon_ = -1;
    if (self->command_ > 0 && !self->commandDone_) {
        kill(self->command_, SIGTERM);
    }
    self->status_ = 1;
    sd_event_exit(self->loop_, 0);
    return 0;
}

int Run::exec() {
    std::optional<Scenario> scenario;
    if (o_.simulator) {
        scenario = scenarioOf(o_);
    }
    sigset_t mask;
    sigemptyset(&mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) {
        sigaddset(&mask, s);
    }
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    startDaemon();
    sd_event_new(&loop_);
    killTimer_.setLoop(loop_);
    sd_event_add_child(loop_, &daemonWatch_, daemon_, WEXITED, &Run::onDaemonExit, this);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
        sd_event_add_signal(loop_, nullptr, s, &Run::onSignal, this);
    }

    sd_bus* bus = nullptr;
    std::unique_ptr<Simulator> sim;
    if (o_.simulator) {
        bus = connectBus(address_, loop_);
        try {
            sim = std::make_unique<Simulator>(loop_, bus, std::move(*scenario));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "tavoble-sim: %s\n", e.what());
            status_ = 2;
        }
        // The name is owned once this returns: only then may COMMAND start.
        if (sim && sd_bus_request_name(bus, "org.bluez", 0) <= 0) {
            std::fprintf(stderr, "tavoble-sim: cannot own org.bluez\n");
            status_ = 2;
        }
    }
    if (status_ == 0) {
        if (!o_.command.empty()) {
            startCommand();
            sd_event_add_child(loop_, &commandWatch_, command_, WEXITED, &Run::onCommandExit, this);
        } else {
            std::printf("%s\n", address_.c_str());
            std::fflush(stdout);
        }
        sd_event_loop(loop_);
    }

    // Simulator, then its connection, then the bus; the command has ended already.
    sim.reset();
    if (bus != nullptr) {
        sd_bus_flush_close_unref(bus);
    }
    killTimer_.cancel();
    commandWatch_ = sd_event_source_disable_unref(commandWatch_);
    if (command_ > 0 && !commandDone_) {
        kill(command_, SIGKILL);
        waitpid(command_, nullptr, 0);
    }
    stopDaemon();
    cleanupDir();
    sd_event_unref(loop_);
    return status_;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (argc < 2) {
        usage(stderr);
        return 2;
    }
    o.mode = argv[1];
    if (o.mode == "-h" || o.mode == "--help" || o.mode == "help") {
        usage(stdout);
        return 0;
    }
    if (o.mode != "serve" && o.mode != "run" && o.mode != "bus") {
        usage(stderr);
        return 2;
    }
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--") {
            for (++i; i < argc; ++i) {
                o.command.emplace_back(argv[i]);
            }
            break;
        }
        if (a == "--scenario" && i + 1 < argc && o.mode != "bus") {
            o.scenarioFile = argv[++i];
        } else if (a.rfind("--scenario=", 0) == 0 && o.mode != "bus") {
            o.scenarioFile = a.substr(11);
        } else if (a == "--bus-socket" && i + 1 < argc && o.mode != "serve") {
            o.busSocket = argv[++i];
        } else if (a == "--no-acquire-notify" && o.mode != "bus") {
            o.noAcquireNotify = true;
        } else if (a == "--exit-with-parent") {
            o.exitWithParent = true;
        } else if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else {
            std::fprintf(stderr, "tavoble-sim: unexpected argument '%s'\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    if (o.exitWithParent) {
        // Delivered as SIGTERM, so the usual clean-up runs; a parent that is already gone counts
        // too.
        const pid_t parent = getppid();
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent || parent == 1) {
            return 1;
        }
    }
    if (o.mode == "serve") {
        if (!o.command.empty()) {
            usage(stderr);
            return 2;
        }
        return serve(o);
    }
    o.simulator = o.mode == "run";
    return Run(std::move(o)).exec();
}
