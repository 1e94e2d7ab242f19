// Connection: connect attempts, the link, its GATT objects and service
// resolution, tearing a link down, and the adapter powering off.
#include "Model.h"

namespace tavosim {

void Simulator::connect(Device& d, const CallPtr& call) {
    if (!d.adapter->powered) {
        err::notReady(call);
        return;
    }
    if (d.connected) {
        call->replyEmpty();
        return;
    }
    if (d.pendingConnect) {
        err::inProgress(call);
        return;
    }
    d.pendingConnect = call;
    const uint64_t deadline = nowUs() + ms(scenario_.timing.connectTimeoutMs);
    Device* dp = &d;
    d.connectTimer.start(ms(scenario_.timing.connectDelayMs),
                         [this, dp, deadline]() { attemptConnect(*dp, deadline); });
}

void Simulator::attemptConnect(Device& d, uint64_t deadlineUs) {
    Amplifier* amp = d.amp;
    Device* dp = &d;
    auto failConnect = [&](const std::string& name, const std::string& text) {
        CallPtr call = std::move(d.pendingConnect);
        d.pendingConnect.reset();
        armRemoval(d);
        call->replyError(name, text);
    };
    if (!d.adapter->powered) {
        CallPtr call = std::move(d.pendingConnect);
        d.pendingConnect.reset();
        err::notReady(call);
        return;
    }
    // The peer answers only while it advertises; otherwise the attempt runs into the timeout.
    if (amp == nullptr || !amp->advertises()) {
        if (nowUs() >= deadlineUs) {
            failConnect("org.bluez.Error.Failed", "le-connection-abort-by-local");
        } else {
            d.connectTimer.start(std::min<uint64_t>(20 * kUsPerMs, deadlineUs - nowUs()),
                                 [this, dp, deadlineUs]() { attemptConnect(*dp, deadlineUs); });
        }
        return;
    }
    const ConnectFault& f = amp->plan.connect;
    const bool faulty =
        f.kind != ConnectFault::Kind::None && (f.attempts < 0 || amp->connectFailures < f.attempts);
    if (faulty) {
        ++amp->connectFailures;
        if (f.kind == ConnectFault::Kind::Error) {
            failConnect(f.errorName, f.errorText);
            return;
        }
        if (f.kind == ConnectFault::Kind::NoReply) {
            return;  // the call stays unanswered (the caller's own timeout ends it) until
                     // Disconnect
        }
        if (f.kind == ConnectFault::Kind::Timeout) {
            const uint64_t wait = deadlineUs > nowUs() ? deadlineUs - nowUs() : 0;
            d.connectTimer.start(wait, [this, dp]() {
                CallPtr call = std::move(dp->pendingConnect);
                dp->pendingConnect.reset();
                armRemoval(*dp);
                call->replyError("org.bluez.Error.Failed", "le-connection-abort-by-local");
            });
            return;
        }
    }
    establish(d, !(faulty && f.kind == ConnectFault::Kind::Unresolved));
}

void Simulator::establish(Device& d, bool resolve) {
    Amplifier& amp = *d.amp;
    CallPtr call = std::move(d.pendingConnect);
    d.pendingConnect.reset();
    d.connected = true;
    d.removeTimer.cancel();
    amp.link = &d;
    ++amp.counters["connects"];
    auto link = std::make_unique<Link>();
    link->device = &d;
    link->amp = &amp;
    for (Timer* t : {&link->gattTimer, &link->resolveTimer, &link->battery1Timer, &link->dropTimer,
                     &link->dataTimer}) {
        t->setLoop(loop_);
    }
    d.link = std::move(link);
    // Connected turns true as the link comes up, before Connect answers (clients such as
    // Bleak read a still-false Connected after the answer as a lost link); the GATT
    // objects and ServicesResolved follow the answer.
    tree_.set(d.path, iface::kDevice, "Connected", true);
    call->replyEmpty();
    Device* dp = &d;
    d.link->gattTimer.start(ms(scenario_.timing.servicesDelayMs), [this, dp, resolve]() {
        exportGatt(*dp);
        if (!resolve) {
            return;
        }
        dp->link->resolveTimer.start(ms(scenario_.timing.resolveDelayMs),
                                     [this, dp]() { resolveServices(*dp); });
    });
    if (amp.plan.disconnectAfterMs) {
        d.link->dropTimer.start(ms(*amp.plan.disconnectAfterMs),
                                [this, dp]() { tearDown(*dp, nullptr); });
    }
}

void Simulator::exportGatt(Device& d) {
    Link& l = *d.link;
    Amplifier& amp = *l.amp;
    uint16_t handle = 1;
    // The MTU the link negotiates: BlueZ's usual 247, more when the amplifier's notifications
    // need it (an ATT notification carries MTU - 3 bytes).
    l.mtu = static_cast<uint16_t>(
        std::min<size_t>(65535, std::max<size_t>(247, amp.encoder->payloadSize() + 3)));
    auto omitted = [&](const std::set<std::string>& set, const std::string& uuid) {
        return set.count(uuid) != 0;
    };

    struct CharDef {
        std::string uuid;
        Characteristic::Role role;
        std::vector<std::string> flags;
        Bytes fixed;
        const char* counter;
    };
    auto addService = [&](const std::string& uuid, const std::vector<CharDef>& defs) {
        if (omitted(amp.plan.omitServices, uuid)) {
            return;
        }
        const std::string spath = d.path + "/" + hexHandle("service", handle);
        ++handle;
        l.servicePaths.push_back(spath);
        l.serviceUuids.push_back(uuid);
        tree_.addObject(spath,
                        {Interface{iface::kService,
                                   {{"UUID", uuid},
                                    {"Device", ObjectPath{d.path}},
                                    {"Primary", true},
                                    {"Includes", std::vector<ObjectPath>{}}}}},
                        [](const CallPtr&) {});
        for (const auto& def : defs) {
            if (omitted(amp.plan.omitCharacteristics, def.uuid)) {
                handle = static_cast<uint16_t>(handle + 2);
                continue;
            }
            auto c = std::make_unique<Characteristic>();
            c->link = &l;
            c->role = def.role;
            c->uuid = def.uuid;
            c->path = spath + "/" + hexHandle("char", handle);
            c->flags = def.flags;
            c->fixed = def.fixed;
            c->counter = def.counter;
            c->timer.setLoop(loop_);
            for (const auto& fl : def.flags) {
                c->canRead = c->canRead || fl == "read";
                c->canNotify = c->canNotify || fl == "notify" || fl == "indicate";
            }
            handle = static_cast<uint16_t>(handle + 2);
            Interface ci{iface::kChar,
                         {{"UUID", c->uuid}, {"Service", ObjectPath{spath}}, {"Value", Bytes{}}}};
            c->canAcquire = c->canNotify && scenario_.acquireNotify;
            if (c->canNotify) {
                ci.props.emplace_back("Notifying", false);
            }
            ci.props.emplace_back("Flags", c->flags);
            if (c->canAcquire) {
                ci.props.emplace_back("NotifyAcquired", false);
            }
            ci.props.emplace_back("MTU", l.mtu);
            const std::string cpath = c->path;
            chars_[cpath] = c.get();
            tree_.addObject(cpath, {std::move(ci)},
                            [this, cpath](const CallPtr& call) { onCharacteristic(cpath, call); });
            if (c->canNotify) {
                // The Client Characteristic Configuration descriptor that every notifying
                // characteristic has.
                c->cccPath = cpath + "/" + hexHandle("desc", handle);
                ++handle;
                const std::string dpath = c->cccPath;
                descs_[dpath] = c.get();
                tree_.addObject(
                    dpath,
                    {Interface{iface::kDesc,
                               {{"UUID", std::string("00002902-0000-1000-8000-00805f9b34fb")},
                                {"Characteristic", ObjectPath{cpath}},
                                {"Value", Bytes{}}}}},
                    [this, dpath](const CallPtr& call) { onDescriptor(dpath, call); });
            }
            if (c->role == Characteristic::Role::Data) {
                l.data = c.get();
            } else if (c->role == Characteristic::Role::Battery) {
                l.battery = c.get();
            }
            l.chars.push_back(std::move(c));
        }
    };
    using R = Characteristic::Role;
    const std::vector<std::string> rd = {"read"};
    const std::vector<std::string> nt = {"notify"};
    addService(fullUuid("1801"), {{fullUuid("2a05"), R::Fixed, {"indicate"}, {}, nullptr}});
    handle = 0x000a;
    addService(fullUuid("180a"),
               {{fullUuid("2a29"), R::Fixed, rd, amp.plan.manufacturerName, nullptr},
                {fullUuid("2a24"), R::Fixed, rd, amp.plan.modelNumber, nullptr},
                {fullUuid("2a25"), R::Fixed, rd, amp.plan.serialNumber, nullptr},
                {fullUuid("2a27"), R::Fixed, rd, amp.plan.hardwareRevision, nullptr},
                {fullUuid("2a26"), R::Fixed, rd, amp.plan.firmwareRevision, nullptr}});
    if (amp.plan.battery.gattService) {
        handle = 0x0020;
        addService(fullUuid("180f"),
                   {{fullUuid("2a19"), R::Battery, {"read", "notify"}, {}, "battery"}});
    }
    handle = 0x0030;
    addService(kAmpService, {{kDataChar, R::Data, nt, {}, "data"},
                             {kConfigChar, R::Configuration, rd, {}, nullptr},
                             {kPayloadChar, R::PayloadRecords, nt, {}, "payload"},
                             {kChannelChar, R::ChannelRecords, nt, {}, "channel"},
                             {kFilterChar, R::FilterRecords, nt, {}, "filter"}});
    l.gattExported = true;
    const bool battery1 =
        !amp.plan.battery.gattService && amp.plan.omitServices.count(fullUuid("180f")) == 0;
    if (battery1 && amp.plan.battery.battery1DelayMs < 0) {
        addBattery1(d);
    }
}

void Simulator::addBattery1(Device& d) {
    if (!d.link || d.link->battery1) {
        return;
    }
    d.link->battery1 = true;
    tree_.addInterface(
        d.path, Interface{iface::kBattery,
                          {{"Percentage", d.link->amp->battery}, {"Source", std::string("GATT")}}});
}

void Simulator::resolveServices(Device& d) {
    Link& l = *d.link;
    // UUIDs lists every primary service, also those BlueZ keeps to itself (GAP, and
    // the Battery Service that its battery plugin turns into Battery1).
    std::vector<std::string> uuids = l.serviceUuids;
    std::vector<std::string> extra = l.amp->plan.advertisedUuids;
    extra.push_back(fullUuid("1800"));
    if (!l.amp->plan.battery.gattService && l.amp->plan.omitServices.count(fullUuid("180f")) == 0) {
        extra.push_back(fullUuid("180f"));
    }
    for (const auto& u : extra) {
        if (std::find(uuids.begin(), uuids.end(), u) == uuids.end()) {
            uuids.push_back(u);
        }
    }
    std::sort(uuids.begin(), uuids.end());
    tree_.set(d.path, iface::kDevice, "UUIDs", uuids);
    d.resolved = true;
    tree_.set(d.path, iface::kDevice, "ServicesResolved", true);
    const BatterySpec& b = l.amp->plan.battery;
    if (!b.gattService && b.battery1DelayMs >= 0 &&
        l.amp->plan.omitServices.count(fullUuid("180f")) == 0) {
        Device* dp = &d;
        l.battery1Timer.start(ms(b.battery1DelayMs), [this, dp]() { addBattery1(*dp); });
    }
}

void Simulator::tearDown(Device& d, const CallPtr& call) {
    if (d.pendingConnect) {
        d.connectTimer.cancel();
        CallPtr pending = std::move(d.pendingConnect);
        d.pendingConnect.reset();
        pending->replyError("org.bluez.Error.Failed", "le-connection-abort-by-local");
    }
    if (!d.connected) {
        if (call) {
            call->replyEmpty();
        }
        return;
    }
    std::unique_ptr<Link> link = std::move(d.link);
    Amplifier* amp = link->amp;
    d.connected = false;
    if (call) {
        call->replyEmpty();
    }
    if (d.resolved) {
        d.resolved = false;
        tree_.set(d.path, iface::kDevice, "ServicesResolved", false);
    }
    tree_.set(d.path, iface::kDevice, "Connected", false);
    if (link->battery1) {
        tree_.removeInterface(d.path, iface::kBattery);
    }
    // GATT objects of an unpaired device go with the link, innermost first.
    for (auto it = link->chars.rbegin(); it != link->chars.rend(); ++it) {
        Characteristic& c = **it;
        c.timer.cancel();
        c.acquired.close();  // the client's end sees a hang-up
        // BlueZ fails the GATT requests still pending on a link that went.
        for (Characteristic::DelayedRead& read : c.delayedReads) {
            read.timer.cancel();
            read.call->replyError("org.bluez.Error.Failed", "Not connected");
        }
        c.delayedReads.clear();
        if (!c.cccPath.empty()) {
            descs_.erase(c.cccPath);
            tree_.removeObject(c.cccPath);
        }
        chars_.erase(c.path);
        tree_.removeObject(c.path);
    }
    for (auto it = link->servicePaths.rbegin(); it != link->servicePaths.rend(); ++it) {
        tree_.removeObject(*it);
    }
    if (amp != nullptr) {
        amp->link = nullptr;
        ++amp->counters["disconnects"];
    }
    armRemoval(d);
    // The link's timers die here; one of them may be running this very function.
    link.reset();
}

void Simulator::setPowered(Adapter& a, bool powered) {
    if (a.powered == powered) {
        return;
    }
    a.powered = powered;
    if (!powered) {
        stopScanning(a);
        for (auto& [address, d] : a.devices) {
            tearDown(*d, nullptr);
        }
    }
    tree_.set(a.path, iface::kAdapter, "Powered", powered);
}

}  // namespace tavosim
