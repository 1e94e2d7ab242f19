// tavoble-sim run and bus: a private dbus-daemon (and the simulator on it),
// then the command given, with DBUS_SYSTEM_BUS_ADDRESS set.
#pragma once

#include "Options.h"

namespace tavosim {

// Runs the mode `o` names ("run" or "bus") to its end; returns the exit status.
int runPrivateBus(Options o);

}  // namespace tavosim
