// The BlueZ object handlers: agent and profile manager, adapter, device,
// GATT characteristic and descriptor methods, and clients leaving the bus.
#include "Model.h"

namespace tavosim {

Bytes Simulator::valueOf(const Characteristic& c) const {
    switch (c.role) {
        case Characteristic::Role::Configuration:
            return c.link->amp->encoder->configuration();
        case Characteristic::Role::Battery:
            return Bytes{c.link->amp->battery};
        default:
            return c.fixed;
    }
}

void Simulator::readValue(Characteristic& c, const CallPtr& call, uint16_t offset) {
    Bytes value = valueOf(c);
    if (offset > value.size()) {
        call->replyError("org.bluez.Error.InvalidOffset", "Invalid offset");
        return;
    }
    value.erase(value.begin(), value.begin() + offset);
    ++c.link->amp->counters["reads"];
    // BlueZ updates Value (and signals it) before it answers the read.
    tree_.notifyBytes(c.path, iface::kChar, "Value", value.data(), value.size());
    sd_bus_message* reply = call->newReply();
    sd_bus_message_append_array(reply, 'y', value.data(), value.size());
    call->send(reply);
}

void Simulator::onCharacteristic(const std::string& path, const CallPtr& call) {
    auto it = chars_.find(path);
    if (it == chars_.end()) {
        return;
    }
    Characteristic& c = *it->second;
    const std::string m = call->member();
    if (m == "ReadValue" && call->hasSignature("a{sv}")) {
        uint16_t offset = 0;
        if (!readOffsetOption(call->msg(), offset)) {
            err::invalidArgs(call);
            return;
        }
        if (!c.canRead) {
            err::notPermitted(call, "Read not permitted");
            return;
        }
        if (scenario_.timing.readDelayMs > 0) {
            // Each read waits on its own; the link going answers them all
            // (tearDown), so the delayed read never outlives the characteristic.
            c.delayedReads.emplace_back();
            auto read = std::prev(c.delayedReads.end());
            read->call = call;
            read->timer.setLoop(loop_);
            Characteristic* cp = &c;
            read->timer.start(ms(scenario_.timing.readDelayMs), [this, cp, read, offset]() {
                CallPtr pending = std::move(read->call);
                cp->delayedReads.erase(read);
                readValue(*cp, pending, offset);
            });
            return;
        }
        readValue(c, call, offset);
    } else if (m == "WriteValue" && call->hasSignature("aya{sv}")) {
        err::notPermitted(call, "Write not permitted");
    } else if (m == "StartNotify" && call->hasSignature("")) {
        if (!c.canNotify) {
            err::notSupported(call);
            return;
        }
        if (c.acquired.isOpen() && c.acquired.clientHolds()) {
            err::notPermitted(call, "Notify acquired");
            return;
        }
        if (c.acquired.isOpen()) {
            releaseAcquired(c);  // closed, its hang-up not yet seen on the loop
        }
        const std::string sender = call->sender();
        if (c.clients.count(sender) != 0) {
            call->replyEmpty();
            return;
        }
        c.clients.insert(sender);
        // Answer first, then Notifying, then values.
        call->replyEmpty();
        if (!c.notifying) {
            c.notifying = true;
            tree_.set(c.path, iface::kChar, "Notifying", true);
            startNotifying(c);
        }
    } else if (m == "StopNotify" && call->hasSignature("")) {
        if (c.clients.erase(call->sender()) == 0) {
            err::failed(call, "No notify session started");
            return;
        }
        if (c.clients.empty() && c.notifying) {
            // Notifying is false, and signalled, before the answer.
            stopNotifying(c);
            tree_.set(c.path, iface::kChar, "Notifying", false);
        }
        call->replyEmpty();
    } else if (m == "AcquireNotify" && call->hasSignature("a{sv}")) {
        acquireNotify(c, call);
    } else if (m == "AcquireWrite" && call->hasSignature("a{sv}")) {
        err::notSupported(call);
    }
}

void Simulator::onDescriptor(const std::string& path, const CallPtr& call) {
    auto it = descs_.find(path);
    if (it == descs_.end()) {
        return;
    }
    const std::string m = call->member();
    if (m == "ReadValue" && call->hasSignature("a{sv}")) {
        Characteristic& c = *it->second;
        const bool indicate =
            std::find(c.flags.begin(), c.flags.end(), "indicate") != c.flags.end();
        Bytes value = {static_cast<uint8_t>(c.sending() ? (indicate ? 2 : 1) : 0), 0};
        tree_.notifyBytes(path, iface::kDesc, "Value", value.data(), value.size());
        sd_bus_message* reply = call->newReply();
        sd_bus_message_append_array(reply, 'y', value.data(), value.size());
        call->send(reply);
    } else if (m == "WriteValue" && call->hasSignature("aya{sv}")) {
        // BlueZ owns the CCC descriptors; clients use StartNotify.
        err::notPermitted(call, "Write not permitted");
    }
}

void Simulator::onRoot(const CallPtr& call) {
    const std::string m = call->member();
    if (m == "RegisterAgent" && call->hasSignature("os")) {
        const char* path = nullptr;
        const char* capability = nullptr;
        sd_bus_message_read(call->msg(), "os", &path, &capability);
        if (!agents_[call->sender()].insert(path).second) {
            call->replyError("org.bluez.Error.AlreadyExists", "Already Exists");
            return;
        }
        call->replyEmpty();
    } else if (m == "UnregisterAgent" && call->hasSignature("o")) {
        const char* path = nullptr;
        sd_bus_message_read(call->msg(), "o", &path);
        if (agents_[call->sender()].erase(path) == 0) {
            err::doesNotExist(call);
            return;
        }
        call->replyEmpty();
    } else if (m == "RequestDefaultAgent" && call->hasSignature("o")) {
        const char* path = nullptr;
        sd_bus_message_read(call->msg(), "o", &path);
        if (agents_[call->sender()].count(path) == 0) {
            err::doesNotExist(call);
            return;
        }
        call->replyEmpty();
    } else if ((m == "RegisterProfile" && call->hasSignature("osa{sv}")) ||
               (m == "UnregisterProfile" && call->hasSignature("o"))) {
        call->replyEmpty();
    }
}

void Simulator::onAdapter(const std::string& id, const CallPtr& call) {
    Adapter* a = findAdapter(id);
    if (a == nullptr) {
        return;
    }
    const std::string m = call->member();
    const std::string sender = call->sender();
    if (m == "StartDiscovery" && call->hasSignature("")) {
        if (!a->powered) {
            err::notReady(call);
            return;
        }
        if (a->discoveryClients.count(sender) != 0) {
            err::inProgress(call, "Operation already in progress");
            return;
        }
        a->discoveryClients.insert(sender);
        call->replyEmpty();
        startScanning(*a);
    } else if (m == "StopDiscovery" && call->hasSignature("")) {
        if (!a->powered) {
            err::notReady(call);
            return;
        }
        if (a->discoveryClients.erase(sender) == 0) {
            err::failed(call, "No discovery started");
            return;
        }
        call->replyEmpty();
        if (a->discoveryClients.empty()) {
            stopScanning(*a);
        }
    } else if (m == "SetDiscoveryFilter" && call->hasSignature("a{sv}")) {
        static const std::map<std::string, std::string> types = {
            {"UUIDs", "as"},        {"RSSI", "n"},         {"Pathloss", "q"}, {"Transport", "s"},
            {"DuplicateData", "b"}, {"Discoverable", "b"}, {"Pattern", "s"}};
        sd_bus_message* msg = call->msg();
        bool ok = sd_bus_message_enter_container(msg, 'a', "{sv}") >= 0;
        while (ok && sd_bus_message_enter_container(msg, 'e', "sv") > 0) {
            const char* key = nullptr;
            const char* contents = nullptr;
            char type = 0;
            ok = sd_bus_message_read(msg, "s", &key) >= 0 &&
                 sd_bus_message_peek_type(msg, &type, &contents) >= 0;
            auto t = ok ? types.find(key) : types.end();
            ok = ok && t != types.end() && contents != nullptr && t->second == contents;
            if (ok && t->first == "Transport") {
                const char* transport = nullptr;
                ok = sd_bus_message_read(msg, "v", "s", &transport) >= 0;
                const std::string tr = ok ? transport : "";
                ok = ok && (tr == "auto" || tr == "le" || tr == "bredr");
            } else if (ok) {
                ok = sd_bus_message_skip(msg, "v") >= 0;
            }
            sd_bus_message_exit_container(msg);
        }
        if (!ok) {
            err::invalidArgs(call);
            return;
        }
        call->replyEmpty();
    } else if (m == "GetDiscoveryFilters" && call->hasSignature("")) {
        sd_bus_message* reply = call->newReply();
        appendValue(reply, std::vector<std::string>{"UUIDs", "RSSI", "Pathloss", "Transport",
                                                    "DuplicateData", "Discoverable", "Pattern"});
        call->send(reply);
    } else if (m == "RemoveDevice" && call->hasSignature("o")) {
        const char* path = nullptr;
        sd_bus_message_read(call->msg(), "o", &path);
        Device* d = deviceByPath(path);
        if (d == nullptr || d->adapter != a) {
            err::doesNotExist(call);
            return;
        }
        const std::string address = d->address;
        tearDown(*d, nullptr);
        call->replyEmpty();
        removeDevice(*a, address);
    }
}

void Simulator::onAdapterSet(const std::string& id, const CallPtr& call, const std::string& prop) {
    Adapter* a = findAdapter(id);
    if (a == nullptr) {
        return;
    }
    char type = 0;
    const char* contents = nullptr;
    sd_bus_message_peek_type(call->msg(), &type, &contents);
    const std::string sig = contents != nullptr ? contents : "";
    if (prop == "Powered" && sig == "b") {
        int b = 0;
        sd_bus_message_read(call->msg(), "v", "b", &b);
        call->replyEmpty();
        setPowered(*a, b != 0);
    } else if ((prop == "Discoverable" || prop == "Pairable") && sig == "b") {
        int b = 0;
        sd_bus_message_read(call->msg(), "v", "b", &b);
        call->replyEmpty();
        tree_.set(a->path, iface::kAdapter, prop, b != 0);
    } else if ((prop == "DiscoverableTimeout" || prop == "PairableTimeout") && sig == "u") {
        uint32_t u = 0;
        sd_bus_message_read(call->msg(), "v", "u", &u);
        call->replyEmpty();
        tree_.set(a->path, iface::kAdapter, prop, u);
    } else if (prop == "Alias" && sig == "s") {
        const char* s = nullptr;
        sd_bus_message_read(call->msg(), "v", "s", &s);
        call->replyEmpty();
        tree_.set(a->path, iface::kAdapter, prop, std::string(s));
    } else if (prop == "Powered" || prop == "Discoverable" || prop == "Pairable" ||
               prop == "Alias" || prop == "DiscoverableTimeout" || prop == "PairableTimeout") {
        call->replyError("org.freedesktop.DBus.Error.InvalidArgs",
                         "Invalid arguments in method call");
    }
}

void Simulator::onDevice(const std::string& path, const CallPtr& call) {
    Device* d = deviceByPath(path);
    if (d == nullptr) {
        return;
    }
    const std::string m = call->member();
    if (m == "Connect" && call->hasSignature("")) {
        connect(*d, call);
    } else if (m == "Disconnect" && call->hasSignature("")) {
        if (!d->connected && !d->pendingConnect) {
            err::notConnected(call);
            return;
        }
        tearDown(*d, call);
    } else if ((m == "ConnectProfile" || m == "DisconnectProfile") && call->hasSignature("s")) {
        err::notSupported(call);
    } else if (m == "Pair" && call->hasSignature("")) {
        err::notSupported(call);
    } else if (m == "CancelPairing" && call->hasSignature("")) {
        err::doesNotExist(call);
    }
}

void Simulator::clientGone(const std::string& name) {
    agents_.erase(name);
    for (auto& a : adapters_) {
        if (a->discoveryClients.erase(name) != 0 && a->discoveryClients.empty()) {
            stopScanning(*a);
        }
    }
    for (auto& [path, c] : chars_) {
        if (c->clients.erase(name) != 0 && c->clients.empty() && c->notifying) {
            stopNotifying(*c);
            tree_.set(c->path, iface::kChar, "Notifying", false);
        }
        // BlueZ watches the owner of an acquired socket too.
        if (c->acquired.isOpen() && c->acquiredBy == name) {
            releaseAcquired(*c);
        }
    }
}

}  // namespace tavosim
