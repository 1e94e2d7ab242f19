#include "Simulator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace tavosim {

namespace {

constexpr const char* kAmpService = "b5211405-449f-4ba0-a651-b887924b81e8";
constexpr const char* kDataChar = "b5211406-449f-4ba0-a651-b887924b81e8";
constexpr const char* kConfigChar = "b5211407-449f-4ba0-a651-b887924b81e8";
constexpr const char* kPayloadChar = "b5211408-449f-4ba0-a651-b887924b81e8";
constexpr const char* kChannelChar = "b5211409-449f-4ba0-a651-b887924b81e8";
constexpr const char* kFilterChar = "b521140a-449f-4ba0-a651-b887924b81e8";
constexpr const char* kControlPath = "/org/tavoble/simulator";
constexpr uint64_t kUsPerMs = 1000;
// Sends in "as fast as possible" mode stop while this many messages wait in
// our outgoing queue, so a slow bus throttles us instead of growing memory.
constexpr uint64_t kFastQueueLimit = 64;

std::string devicePath(const std::string& adapterPath, const std::string& address) {
    std::string p = adapterPath + "/dev_" + address;
    std::replace(p.begin(), p.end(), ':', '_');
    return p;
}

std::string hexHandle(const char* prefix, uint16_t handle) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%s%04x", prefix, handle);
    return buf;
}

void controlError(const CallPtr& c, const std::string& name, const std::string& text) {
    c->replyError("org.tavoble.Error." + name, text);
}

// Reads an a{sv} argument; returns the "offset" option (0 when absent).
bool readOffsetOption(sd_bus_message* m, uint16_t& offset) {
    offset = 0;
    if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) {
        return false;
    }
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
        const char* key = nullptr;
        if (sd_bus_message_read(m, "s", &key) < 0) {
            return false;
        }
        if (std::string(key) == "offset") {
            if (sd_bus_message_read(m, "v", "q", &offset) < 0) {
                return false;
            }
        } else if (sd_bus_message_skip(m, "v") < 0) {
            return false;
        }
        sd_bus_message_exit_container(m);
    }
    sd_bus_message_exit_container(m);
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------

void SentRing::push(uint64_t timeNs, const Bytes& bytes) {
    if (entries_.size() < capacity_) {
        entries_.emplace_back(timeNs, bytes);
    } else {
        auto& e = entries_[total_ % capacity_];
        e.first = timeNs;
        e.second.assign(bytes.begin(), bytes.end());
    }
    ++total_;
}

const std::pair<uint64_t, Bytes>& SentRing::at(uint64_t index) const {
    return entries_[entries_.size() < capacity_ ? index : index % capacity_];
}

// ---------------------------------------------------------------------------

struct Simulator::Amplifier {
    explicit Amplifier(const AmplifierSpec& s, uint32_t seed) : plan(s), sent(s.sentDataCapacity) {
        encoder = std::make_unique<AmplifierEncoder>(plan, seed);
        advertisingEnabled = plan.advertising;
        battery = plan.battery.level;
        rate = plan.rate;
    }
    bool advertises() const { return advertisingEnabled && !advertisingStopped && link == nullptr; }
    const std::string& name() const { return *plan.name; }

    AmplifierSpec plan;  // the encoder refers to it: an Amplifier never moves
    std::unique_ptr<AmplifierEncoder> encoder;
    bool advertisingEnabled = true;
    bool advertisingStopped = false;
    Device* link = nullptr;
    uint8_t battery = 0;
    double rate = 1.0;
    std::map<std::string, uint64_t> counters;
    SentRing sent;
    uint64_t generated = 0;
    int32_t connectFailures = 0;
    Timer drainTimer;
    Timer advertisingTimer;
};

struct Simulator::Characteristic {
    enum class Role {
        Fixed,
        Configuration,
        Data,
        ChannelRecords,
        PayloadRecords,
        FilterRecords,
        Battery
    };
    Link* link = nullptr;
    Role role = Role::Fixed;
    std::string uuid;
    std::string path;
    std::string cccPath;
    std::vector<std::string> flags;
    bool canRead = false;
    bool canNotify = false;
    Bytes fixed;
    std::set<std::string> clients;
    bool notifying = false;
    Timer timer;
    std::vector<Bytes> records;
    size_t next = 0;
    double intervalMs = 0;
    const char* counter = nullptr;  // counter name of its notifications
};

struct Simulator::Link {
    Device* device = nullptr;
    Amplifier* amp = nullptr;
    std::vector<std::string> servicePaths;
    std::vector<std::string> serviceUuids;
    std::vector<std::unique_ptr<Characteristic>> chars;
    bool gattExported = false;
    bool battery1 = false;
    Characteristic* data = nullptr;
    Characteristic* battery = nullptr;
    Timer gattTimer;
    Timer resolveTimer;
    Timer battery1Timer;
    Timer dropTimer;
    Timer dataTimer;
    double nextDueUs = 0;
    Bytes buffer;
};

struct Simulator::Device {
    Adapter* adapter = nullptr;
    Amplifier* amp = nullptr;
    std::string address;
    std::string path;
    int16_t lastRssi = 0;
    bool connected = false;
    bool resolved = false;
    CallPtr pendingConnect;
    Timer connectTimer;
    Timer removeTimer;
    std::unique_ptr<Link> link;
};

struct Simulator::Adapter {
    AdapterSpec plan;
    std::string path;
    bool powered = true;
    std::set<std::string> discoveryClients;
    bool scanning = false;
    Timer discoveringTimer;
    std::map<const Amplifier*, std::unique_ptr<Timer>> sightTimers;
    std::map<std::string, std::unique_ptr<Device>> devices;  // by address
};

// ---------------------------------------------------------------------------

Simulator::Simulator(sd_event* loop, sd_bus* bus, Scenario scenario)
    : loop_(loop), bus_(bus), scenario_(std::move(scenario)), tree_(bus), rng_(scenario_.seed) {
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

Simulator::Amplifier* Simulator::findAmplifier(const std::string& name) {
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

// ---------------------------------------------------------------------------
// Discovery

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

// ---------------------------------------------------------------------------
// Connection

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
            if (c->canNotify) {
                ci.props.emplace_back("Notifying", false);
            }
            ci.props.emplace_back("Flags", c->flags);
            ci.props.emplace_back("MTU", uint16_t{247});
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

// ---------------------------------------------------------------------------
// GATT

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
            const std::string p = path;
            c.timer.start(ms(scenario_.timing.readDelayMs), [this, p, call, offset]() {
                auto i = chars_.find(p);
                if (i == chars_.end()) {
                    call->replyError("org.bluez.Error.Failed", "Not connected");
                    return;
                }
                readValue(*i->second, call, offset);
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
    } else if (m == "AcquireNotify" || m == "AcquireWrite") {
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
        Bytes value = {static_cast<uint8_t>(c.notifying ? (indicate ? 2 : 1) : 0), 0};
        tree_.notifyBytes(path, iface::kDesc, "Value", value.data(), value.size());
        sd_bus_message* reply = call->newReply();
        sd_bus_message_append_array(reply, 'y', value.data(), value.size());
        call->send(reply);
    } else if (m == "WriteValue" && call->hasSignature("aya{sv}")) {
        // BlueZ owns the CCC descriptors; clients use StartNotify.
        err::notPermitted(call, "Write not permitted");
    }
}

void Simulator::startNotifying(Characteristic& c) {
    Amplifier& amp = *c.link->amp;
    Characteristic* cp = &c;
    const RecordFaults* faults = nullptr;
    switch (c.role) {
        case Characteristic::Role::ChannelRecords:
            c.records = amp.encoder->channelRecords();
            faults = &amp.plan.channelFaults;
            break;
        case Characteristic::Role::PayloadRecords:
            c.records = amp.encoder->payloadRecords();
            faults = &amp.plan.payloadFaults;
            break;
        case Characteristic::Role::FilterRecords:
            c.records = amp.encoder->filterRecords();
            faults = &amp.plan.filterFaults;
            break;
        case Characteristic::Role::Data: {
            Link& l = *c.link;
            if (amp.plan.counterRestartOnSubscribe) {
                amp.encoder->restartCounter();
            }
            l.nextDueUs = static_cast<double>(nowUs());
            if (amp.rate > 0) {
                l.nextDueUs +=
                    1e6 * amp.plan.scansPerNotification / (amp.plan.samplingRate * amp.rate);
            }
            scheduleData(l);
            return;
        }
        default:
            return;
    }
    c.next = 0;
    c.intervalMs = faults->intervalMs.value_or(scenario_.timing.recordIntervalMs);
    c.timer.start(ms(faults->delayMs), [this, cp]() { sendRecord(*cp); });
}

void Simulator::stopNotifying(Characteristic& c) {
    c.notifying = false;
    c.timer.cancel();
    if (c.role == Characteristic::Role::Data) {
        c.link->dataTimer.cancel();
    }
}

void Simulator::sendRecord(Characteristic& c) {
    Amplifier& amp = *c.link->amp;
    Characteristic* cp = &c;
    // Without a pause every record goes out in this one turn of the loop.
    do {
        if (c.next >= c.records.size()) {
            return;
        }
        const Bytes& r = c.records[c.next++];
        tree_.notifyBytes(c.path, iface::kChar, "Value", r.data(), r.size());
        ++amp.counters[c.counter];
    } while (c.intervalMs <= 0);
    if (c.next < c.records.size()) {
        c.timer.start(ms(c.intervalMs), [this, cp]() { sendRecord(*cp); });
    }
}

void Simulator::scheduleData(Link& l) {
    if (l.data == nullptr || !l.data->notifying) {
        return;
    }
    Link* lp = &l;
    if (l.amp->rate <= 0) {
        l.dataTimer.start(0, [this, lp]() { sendData(*lp); });
        return;
    }
    l.dataTimer.startAt(static_cast<uint64_t>(l.nextDueUs), [this, lp]() { sendData(*lp); });
}

void Simulator::emitData(Link& l) {
    Amplifier& amp = *l.amp;
    amp.encoder->nextPayload(l.buffer);
    ++amp.generated;
    if (amp.plan.dropEvery != 0 && amp.generated % amp.plan.dropEvery == 0) {
        ++amp.counters["dropped"];
        return;
    }
    if (amp.plan.truncateEvery != 0 && amp.generated % amp.plan.truncateEvery == 0) {
        const size_t shortBy1 = l.buffer.empty() ? 0 : l.buffer.size() - 1;
        l.buffer.resize(std::min<size_t>(
            amp.plan.truncateTo.value_or(static_cast<uint32_t>(shortBy1)), l.buffer.size()));
        ++amp.counters["truncated"];
    }
    const uint64_t t = nowNs();
    tree_.notifyBytes(l.data->path, iface::kChar, "Value", l.buffer.data(), l.buffer.size());
    amp.sent.push(t, l.buffer);
    ++amp.counters["data"];
}

void Simulator::sendData(Link& l) {
    Amplifier& amp = *l.amp;
    Link* lp = &l;
    if (amp.rate <= 0) {
        // As fast as the bus takes them: a batch per loop turn, backing off while our queue is
        // full.
        uint64_t queued = 0;
        for (int i = 0; i < 32; ++i) {
            sd_bus_get_n_queued_write(bus_, &queued);
            if (queued >= kFastQueueLimit) {
                break;
            }
            emitData(l);
        }
        l.dataTimer.start(queued >= kFastQueueLimit ? 100 : 0, [this, lp]() { sendData(*lp); });
        return;
    }
    const double period = 1e6 * amp.plan.scansPerNotification / (amp.plan.samplingRate * amp.rate);
    const auto now = static_cast<double>(nowUs());
    // Catch up after a late wake-up, the way a real amplifier's buffer would drain.
    for (int sent = 0; l.nextDueUs <= now && sent < 256; ++sent) {
        emitData(l);
        l.nextDueUs += period;
    }
    if (now - l.nextDueUs > 250000.0) {
        l.nextDueUs = now + period;  // far behind (a stalled machine): resume from now
    }
    scheduleData(l);
}

void Simulator::scheduleDrain(Amplifier& amp) {
    Amplifier* ap = &amp;
    amp.drainTimer.start(ms(amp.plan.battery.drainIntervalMs), [this, ap]() {
        if (ap->battery > 0) {
            --ap->battery;
            batteryChanged(*ap);
        }
        scheduleDrain(*ap);
    });
}

void Simulator::batteryChanged(Amplifier& amp) {
    Device* d = amp.link;
    if (d == nullptr || !d->link) {
        return;
    }
    if (d->link->battery1) {
        tree_.set(d->path, iface::kBattery, "Percentage", amp.battery);
        ++amp.counters["battery"];
    } else if (d->link->battery != nullptr && d->link->battery->notifying) {
        const Bytes v{amp.battery};
        tree_.notifyBytes(d->link->battery->path, iface::kChar, "Value", v.data(), v.size());
        ++amp.counters["battery"];
    }
}

// ---------------------------------------------------------------------------
// D-Bus entry points

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
    }
}

void Simulator::onControl(const CallPtr& call) {
    const std::string m = call->member();
    sd_bus_message* msg = call->msg();
    const char* name = nullptr;
    auto amplifierArg = [&]() -> Amplifier* {
        Amplifier* amp = findAmplifier(name);
        if (amp == nullptr) {
            controlError(call, "NotFound", std::string("No amplifier named '") + name + "'");
        }
        return amp;
    };
    if (m == "SetPowered" && call->hasSignature("sb")) {
        int powered = 0;
        sd_bus_message_read(msg, "sb", &name, &powered);
        Adapter* a = findAdapter(name);
        if (a == nullptr) {
            controlError(call, "NotFound", std::string("No adapter named '") + name + "'");
            return;
        }
        setPowered(*a, powered != 0);
        call->replyEmpty();
    } else if (m == "AddAmplifier" && call->hasSignature("s")) {
        const char* json = nullptr;
        sd_bus_message_read(msg, "s", &json);
        AmplifierSpec plan;
        try {
            plan = parseAmplifier(json);
        } catch (const std::exception& e) {
            controlError(call, "InvalidArguments", e.what());
            return;
        }
        if (!plan.name) {
            controlError(call, "InvalidArguments", "an amplifier added at run time needs a name");
            return;
        }
        if (findAmplifier(*plan.name) != nullptr) {
            controlError(call, "AlreadyExists", "An amplifier named '" + *plan.name + "' exists");
            return;
        }
        Amplifier& amp = addAmplifier(plan);
        const std::string path = adapters_.empty()
                                     ? std::string("/")
                                     : devicePath(adapters_.front()->path, amp.plan.address);
        sd_bus_message* reply = call->newReply();
        sd_bus_message_append_basic(reply, 'o', path.c_str());
        call->send(reply);
    } else if (m == "RemoveAmplifier" && call->hasSignature("s")) {
        sd_bus_message_read(msg, "s", &name);
        if (Amplifier* amp = amplifierArg()) {
            removeAmplifier(*amp);
            call->replyEmpty();
        }
    } else if (m == "SetAdvertising" && call->hasSignature("sb")) {
        int on = 0;
        sd_bus_message_read(msg, "sb", &name, &on);
        if (Amplifier* amp = amplifierArg()) {
            amp->advertisingEnabled = on != 0;
            if (on != 0) {
                amp->advertisingStopped = false;
                amp->advertisingTimer.cancel();
            }
            call->replyEmpty();
        }
    } else if (m == "DisconnectPeer" && call->hasSignature("s")) {
        sd_bus_message_read(msg, "s", &name);
        if (Amplifier* amp = amplifierArg()) {
            if (amp->link == nullptr) {
                controlError(call, "NotConnected", std::string("'") + name + "' is not connected");
                return;
            }
            tearDown(*amp->link, nullptr);
            call->replyEmpty();
        }
    } else if (m == "SetBatteryLevel" && call->hasSignature("sy")) {
        uint8_t level = 0;
        sd_bus_message_read(msg, "sy", &name, &level);
        if (Amplifier* amp = amplifierArg()) {
            amp->battery = level;
            batteryChanged(*amp);
            call->replyEmpty();
        }
    } else if (m == "SetRate" && call->hasSignature("sd")) {
        double rate = 0;
        sd_bus_message_read(msg, "sd", &name, &rate);
        if (Amplifier* amp = amplifierArg()) {
            if (!(rate >= 0) || !std::isfinite(rate)) {
                controlError(call, "InvalidArguments", "the rate multiplier must be 0 or positive");
                return;
            }
            amp->rate = rate;
            if (amp->link != nullptr && amp->link->link) {
                Link& l = *amp->link->link;
                l.nextDueUs = static_cast<double>(nowUs());
                scheduleData(l);
            }
            call->replyEmpty();
        }
    } else if (m == "GetCounters" && call->hasSignature("s")) {
        sd_bus_message_read(msg, "s", &name);
        if (Amplifier* amp = amplifierArg()) {
            sd_bus_message* reply = call->newReply();
            sd_bus_message_open_container(reply, 'a', "{st}");
            std::map<std::string, uint64_t> all = {
                {"data", 0},    {"battery", 0},  {"channel", 0},     {"payload", 0},
                {"filter", 0},  {"connects", 0}, {"disconnects", 0}, {"reads", 0},
                {"dropped", 0}, {"truncated", 0}};
            for (const auto& [k, v] : amp->counters) {
                all[k] = v;
            }
            all["sentTotal"] = amp->sent.total();
            for (const auto& [k, v] : all) {
                sd_bus_message_append(reply, "{st}", k.c_str(), v);
            }
            sd_bus_message_close_container(reply);
            call->send(reply);
        }
    } else if (m == "ResetCounters" && call->hasSignature("s")) {
        sd_bus_message_read(msg, "s", &name);
        if (Amplifier* amp = amplifierArg()) {
            amp->counters.clear();
            call->replyEmpty();
        }
    } else if (m == "IsConnected" && call->hasSignature("s")) {
        sd_bus_message_read(msg, "s", &name);
        if (Amplifier* amp = amplifierArg()) {
            sd_bus_message* reply = call->newReply();
            const int connected = amp->link != nullptr ? 1 : 0;
            sd_bus_message_append_basic(reply, 'b', &connected);
            call->send(reply);
        }
    } else if (m == "GetSentData" && call->hasSignature("stu")) {
        uint64_t first = 0;
        uint32_t maxCount = 0;
        sd_bus_message_read(msg, "stu", &name, &first, &maxCount);
        if (Amplifier* amp = amplifierArg()) {
            const SentRing& ring = amp->sent;
            if (first < ring.oldest()) {
                controlError(call, "OutOfRange",
                             "notification " + std::to_string(first) +
                                 " is no longer kept; the oldest is " +
                                 std::to_string(ring.oldest()));
                return;
            }
            sd_bus_message* reply = call->newReply();
            sd_bus_message_open_container(reply, 'a', "(tay)");
            for (uint64_t i = first; i < ring.total() && i - first < maxCount; ++i) {
                const auto& [t, bytes] = ring.at(i);
                sd_bus_message_open_container(reply, 'r', "tay");
                sd_bus_message_append_basic(reply, 't', &t);
                sd_bus_message_append_array(reply, 'y', bytes.data(), bytes.size());
                sd_bus_message_close_container(reply);
            }
            sd_bus_message_close_container(reply);
            call->send(reply);
        }
    } else if (m == "ListAmplifiers" && call->hasSignature("")) {
        std::vector<std::string> names;
        for (const auto& a : amplifiers_) {
            names.push_back(a->name());
        }
        sd_bus_message* reply = call->newReply();
        appendValue(reply, names);
        call->send(reply);
    }
}

}  // namespace tavosim
