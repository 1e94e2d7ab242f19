// The simulator as a whole: its construction from a scenario, the adapters and
// amplifiers it holds, and lookups by name and path.
#include "Model.h"

namespace tavosim {

Simulator::Simulator(sd_event* loop, sd_bus* bus, Scenario scenario)
    : loop_(loop),
      bus_(bus),
      scenario_(std::move(scenario)),
      tree_(bus),
      rng_(scenario_.seed),
      restartTimer_(loop) {
    tree_.onClientGone = [this](const std::string& name) { clientGone(name); };
    exportRoot();
    for (const auto& a : scenario_.adapters) {
        addAdapter(a);
    }
    for (const auto& a : scenario_.amplifiers) {
        addAmplifier(a);
    }
}

Simulator::~Simulator() {
    // Devices first: their timers and links refer to amplifiers and adapters.
    for (auto& a : adapters_) {
        a->devices.clear();
        a->sightTimers.clear();
    }
    chars_.clear();
    descs_.clear();
}

uint64_t Simulator::ms(double milliseconds) const {
    return milliseconds <= 0 ? 0 : static_cast<uint64_t>(std::llround(milliseconds * kUsPerMs));
}

double Simulator::uniform(double lo, double hi) {
    if (hi <= lo) {
        return lo;
    }
    return std::uniform_real_distribution<double>(lo, hi)(rng_);
}

// By address first: peers that share a name are told apart by it.
Simulator::Amplifier* Simulator::findAmplifier(const std::string& name) {
    for (auto& a : amplifiers_) {
        if (a->plan.address == name) {
            return a.get();
        }
    }
    for (auto& a : amplifiers_) {
        if (a->plan.name && *a->plan.name == name) {
            return a.get();
        }
    }
    return nullptr;
}

Simulator::Adapter* Simulator::findAdapter(const std::string& id) {
    for (auto& a : adapters_) {
        if (a->plan.id == id) {
            return a.get();
        }
    }
    return nullptr;
}

Simulator::Device* Simulator::deviceByPath(const std::string& path) {
    for (auto& a : adapters_) {
        for (auto& [address, d] : a->devices) {
            if (d->path == path) {
                return d.get();
            }
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Set-up

void Simulator::exportRoot() {
    tree_.addObject("/org/bluez",
                    {Interface{iface::kAgentManager, {}}, Interface{iface::kProfileManager, {}}},
                    [this](const CallPtr& c) { onRoot(c); });
    tree_.addObject(
        kControlPath, {Interface{iface::kSimulator, {}}},
        [this](const CallPtr& c) { onControl(c); }, {}, false);
}

// The adapter is unplugged: its links end, its devices and then it leave the bus.
void Simulator::removeAdapter(const std::string& id) {
    Adapter* a = findAdapter(id);
    if (a == nullptr) {
        return;
    }
    stopScanning(*a);
    std::vector<std::string> addresses;
    for (auto& [address, d] : a->devices) {
        tearDown(*d, nullptr);
        addresses.push_back(address);
    }
    for (const auto& address : addresses) {
        removeDevice(*a, address);
    }
    a->sightTimers.clear();
    tree_.removeObject(a->path);
    adapters_.erase(std::find_if(adapters_.begin(), adapters_.end(),
                                 [a](const auto& p) { return p.get() == a; }));
}

void Simulator::restartService(uint64_t downUs) {
    // A dying bluetoothd sends nothing: the name goes first, so the removals
    // below reach nobody who listens to org.bluez.
    sd_bus_release_name(bus_, "org.bluez");
    std::vector<AdapterSpec> plans;
    for (const auto& a : adapters_) {
        plans.push_back(a->plan);
        plans.back().powered = a->powered;
    }
    for (const auto& p : plans) {
        removeAdapter(p.id);
    }
    agents_.clear();
    restartTimer_.start(downUs, [this, plans]() {
        for (const auto& p : plans) {
            addAdapter(p);
        }
        sd_bus_request_name(bus_, "org.bluez", 0);
    });
}

void Simulator::addAdapter(const AdapterSpec& plan) {
    auto a = std::make_unique<Adapter>();
    a->plan = plan;
    a->path = "/org/bluez/" + plan.id;
    a->powered = plan.powered;
    a->discoveringTimer.setLoop(loop_);
    Interface i{iface::kAdapter,
                {{"Address", plan.address},
                 {"AddressType", std::string("public")},
                 {"Name", plan.name},
                 {"Alias", plan.name},
                 {"Class", uint32_t{0x000000}},
                 {"Powered", plan.powered},
                 {"Discoverable", false},
                 {"DiscoverableTimeout", uint32_t{180}},
                 {"Pairable", false},
                 {"PairableTimeout", uint32_t{0}},
                 {"Discovering", false},
                 {"UUIDs", std::vector<std::string>{"00001801-0000-1000-8000-00805f9b34fb",
                                                    "00001800-0000-1000-8000-00805f9b34fb"}},
                 {"Modalias", std::string("usb:v1D6Bp0246d0542")},
                 {"Roles", std::vector<std::string>{"central", "peripheral"}}}};
    const std::string id = plan.id;
    tree_.addObject(
        a->path, {std::move(i)}, [this, id](const CallPtr& c) { onAdapter(id, c); },
        [this, id](const CallPtr& c, const std::string&, const std::string& prop) {
            onAdapterSet(id, c, prop);
        });
    adapters_.push_back(std::move(a));
}

Simulator::Amplifier& Simulator::addAmplifier(const AmplifierSpec& plan) {
    auto amp = std::make_unique<Amplifier>(plan, static_cast<uint32_t>(rng_()));
    Amplifier& a = *amp;
    a.drainTimer.setLoop(loop_);
    a.advertisingTimer.setLoop(loop_);
    a.reachableTimer.setLoop(loop_);
    a.lastDataUs = nowUs();  // switched on now: a free-running counter counts from here
    amplifiers_.push_back(std::move(amp));
    if (a.plan.battery.drainIntervalMs > 0) {
        scheduleDrain(a);
    }
    if (a.plan.advertisingStopsAfterMs) {
        Amplifier* ap = &a;
        a.advertisingTimer.start(ms(*a.plan.advertisingStopsAfterMs),
                                 [ap]() { ap->advertisingStopped = true; });
    }
    for (auto& ad : adapters_) {
        if (ad->scanning) {
            scheduleSighting(*ad, a,
                             uniform(scenario_.timing.appearMinMs, scenario_.timing.appearMaxMs));
        }
    }
    return a;
}

void Simulator::removeAmplifier(Amplifier& amp) {
    if (amp.link != nullptr) {
        tearDown(*amp.link, nullptr);
    }
    for (auto& ad : adapters_) {
        ad->sightTimers.erase(&amp);
        for (auto& [address, d] : ad->devices) {
            if (d->amp == &amp) {
                d->amp = nullptr;
            }
        }
    }
    amplifiers_.erase(std::remove_if(amplifiers_.begin(), amplifiers_.end(),
                                     [&](const auto& p) { return p.get() == &amp; }),
                      amplifiers_.end());
}

}  // namespace tavosim
