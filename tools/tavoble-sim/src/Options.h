// What the command line asked for, and the set-up its modes share: the
// scenario it names and a connection to a bus.
#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <optional>
#include <string>
#include <vector>

#include "Scenario.h"

namespace tavosim {

struct Options {
    std::string mode;
    std::optional<std::string> scenarioFile;
    std::vector<std::string> command;
    std::optional<std::string> busSocket;  // the bus's socket, when given
    bool simulator = true;
    bool exitWithParent = false;
    bool noAcquireNotify = false;
};

// Prints "tavoble-sim: <what>" and exits with status 2.
[[noreturn]] void die(const std::string& what);

// The scenario the options name (the default one without a file), with
// AcquireNotify as asked.
Scenario scenarioOf(const Options& o);

// Connects to address as a bus client and attaches the connection to the loop.
sd_bus* connectBus(const std::string& address, sd_event* loop);

}  // namespace tavosim
