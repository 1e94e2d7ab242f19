// tavoble-sim: a simulated BlueZ with virtual amplifiers on a private D-Bus bus.
//
//   tavoble-sim serve [--scenario FILE]            on the bus in DBUS_SYSTEM_BUS_ADDRESS
//   tavoble-sim run [--scenario FILE] [-- CMD...]  private bus + simulator (+ CMD)
//   tavoble-sim bus [-- CMD...]                    private bus only
#include <signal.h>
#include <sys/prctl.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "Options.h"
#include "PrivateBus.h"
#include "Scenario.h"
#include "Simulator.h"

namespace {

using tavosim::connectBus;
using tavosim::die;
using tavosim::Options;
using tavosim::Scenario;
using tavosim::scenarioOf;
using tavosim::Simulator;

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
    return tavosim::runPrivateBus(std::move(o));
}
