#include "PrivateBus.h"

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
#include <utility>
#include <vector>
#include "Loop.h"
#include "Scenario.h"
#include "Simulator.h"
#include "bus_config.h"

namespace tavosim {

namespace {

// Forks a child tied to this process: it starts with no signal blocked and
// gets SIGTERM when this process ends (or ends at once when it already has).
// Returns the child's pid, 0 in the child.
pid_t forkTiedChild() {
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) {
        die("fork failed");
    }
    if (child == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(1);
        }
    }
    return child;
}

int statusOf(const siginfo_t& si) {
    if (si.si_code == CLD_EXITED) {
        return si.si_status;
    }
    return 128 + si.si_status;
}

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
    daemon_ = forkTiedChild();  // the bus must not outlive us, even when we are killed
    if (daemon_ == 0) {
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
    command_ = forkTiedChild();
    if (command_ == 0) {
        std::signal(SIGPIPE, SIG_DFL);
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

int runPrivateBus(Options o) {
    return Run(std::move(o)).exec();
}

}  // namespace tavosim
