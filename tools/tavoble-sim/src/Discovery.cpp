// Discovery: scanning, sightings of advertising amplifiers, device objects
// and their removal once an amplifier is no longer seen.
#include "Model.h"

namespace tavosim {

void Simulator::startScanning(Adapter& a) {
    if (a.scanning) {
        return;
    }
    a.scanning = true;
    Adapter* ap = &a;
    a.discoveringTimer.start(ms(scenario_.timing.discoveringDelayMs), [this, ap]() {
        if (ap->scanning) {
            tree_.set(ap->path, iface::kAdapter, "Discovering", true);
        }
    });
    for (auto& amp : amplifiers_) {
        scheduleSighting(a, *amp,
                         uniform(scenario_.timing.appearMinMs, scenario_.timing.appearMaxMs));
    }
}

void Simulator::stopScanning(Adapter& a) {
    if (!a.scanning) {
        return;
    }
    a.scanning = false;
    a.discoveryClients.clear();
    a.discoveringTimer.cancel();
    a.sightTimers.clear();
    tree_.set(a.path, iface::kAdapter, "Discovering", false);
    // BlueZ forgets the signal strength of what it no longer hears.
    for (auto& [address, d] : a.devices) {
        if (!d->connected) {
            tree_.invalidate(d->path, iface::kDevice, "RSSI");
        }
    }
}

void Simulator::scheduleSighting(Adapter& a, Amplifier& amp, double delayMs) {
    auto& t = a.sightTimers[&amp];
    if (!t) {
        t = std::make_unique<Timer>(loop_);
    }
    Adapter* ap = &a;
    Amplifier* mp = &amp;
    t->start(ms(delayMs), [this, ap, mp]() { sighting(*ap, *mp); });
}

void Simulator::sighting(Adapter& a, Amplifier& amp) {
    if (a.powered && a.scanning && amp.advertises()) {
        // A new value every time, so that every report reaches the clients.
        int16_t rssi = 0;
        auto it = a.devices.find(amp.plan.address);
        const int16_t previous = it != a.devices.end() ? it->second->lastRssi : 0;
        do {
            rssi = static_cast<int16_t>(amp.plan.rssi +
                                        static_cast<int>(std::lround(uniform(-4.0, 4.0))));
        } while (rssi == previous);
        if (it == a.devices.end()) {
            exportDevice(a, amp, rssi);
        } else {
            Device& d = *it->second;
            d.amp = &amp;
            d.lastRssi = rssi;
            tree_.set(d.path, iface::kDevice, "RSSI", rssi);
            armRemoval(d);
        }
    }
    const double interval = scenario_.timing.rssiIntervalMs;
    scheduleSighting(a, amp, uniform(interval * 0.9, interval * 1.1));
}

Simulator::Device& Simulator::exportDevice(Adapter& a, Amplifier& amp, int16_t rssi) {
    auto d = std::make_unique<Device>();
    d->adapter = &a;
    d->amp = &amp;
    d->address = amp.plan.address;
    d->path = devicePath(a.path, d->address);
    d->lastRssi = rssi;
    d->connectTimer.setLoop(loop_);
    d->removeTimer.setLoop(loop_);
    std::string alias = d->address;
    std::replace(alias.begin(), alias.end(), ':', '-');
    Interface i{iface::kDevice, {{"Address", d->address}, {"AddressType", amp.plan.addressType}}};
    if (amp.plan.name) {
        i.props.emplace_back("Name", *amp.plan.name);
        alias = *amp.plan.name;
    }
    i.props.emplace_back("Alias", alias);
    i.props.emplace_back("Paired", false);
    i.props.emplace_back("Bonded", false);
    i.props.emplace_back("Trusted", false);
    i.props.emplace_back("Blocked", false);
    i.props.emplace_back("LegacyPairing", false);
    i.props.emplace_back("RSSI", rssi);
    i.props.emplace_back("Connected", false);
    i.props.emplace_back("UUIDs", amp.plan.advertisedUuids);
    i.props.emplace_back("Adapter", ObjectPath{a.path});
    if (!amp.plan.manufacturerData.empty()) {
        i.props.emplace_back("ManufacturerData", amp.plan.manufacturerData);
    }
    i.props.emplace_back("ServicesResolved", false);
    const std::string path = d->path;
    Device& ref = *d;
    a.devices[d->address] = std::move(d);
    tree_.addObject(
        path, {std::move(i)}, [this, path](const CallPtr& c) { onDevice(path, c); },
        [this, path](const CallPtr& c, const std::string&, const std::string& prop) {
            // Alias, Trusted and Blocked are writable; nothing else here.
            if (prop != "Alias" && prop != "Trusted" && prop != "Blocked") {
                return;
            }
            char type = 0;
            const char* contents = nullptr;
            sd_bus_message_peek_type(c->msg(), &type, &contents);
            if (prop == "Alias" && contents != nullptr && std::string(contents) == "s") {
                const char* s = nullptr;
                sd_bus_message_read(c->msg(), "v", "s", &s);
                c->replyEmpty();
                tree_.set(path, iface::kDevice, "Alias", std::string(s));
            } else if (prop != "Alias" && contents != nullptr && std::string(contents) == "b") {
                int b = 0;
                sd_bus_message_read(c->msg(), "v", "b", &b);
                c->replyEmpty();
                tree_.set(path, iface::kDevice, prop, b != 0);
            } else {
                c->replyError("org.freedesktop.DBus.Error.InvalidArgs",
                              "Invalid arguments in method call");
            }
        });
    armRemoval(ref);
    return ref;
}

void Simulator::armRemoval(Device& d) {
    Adapter* ap = d.adapter;
    const std::string address = d.address;
    d.removeTimer.start(ms(scenario_.timing.deviceTimeoutMs), [this, ap, address]() {
        auto it = ap->devices.find(address);
        if (it != ap->devices.end() && !it->second->connected && !it->second->pendingConnect) {
            removeDevice(*ap, address);
        }
    });
}

void Simulator::removeDevice(Adapter& a, const std::string& address) {
    auto it = a.devices.find(address);
    if (it == a.devices.end()) {
        return;
    }
    const std::string path = it->second->path;
    a.devices.erase(it);
    tree_.removeObject(path);
}

}  // namespace tavosim
