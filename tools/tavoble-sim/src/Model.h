// The state of the simulated world, shared by the files that implement the
// Simulator: amplifiers, adapters, the devices an adapter knows, the link of a
// connected device and its GATT characteristics. Private to the simulator.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <list>
#include <stdexcept>

#include "NotifySocket.h"
#include "Simulator.h"

namespace tavosim {

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

std::string devicePath(const std::string& adapterPath, const std::string& address);
std::string hexHandle(const char* prefix, uint16_t handle);
// Reads an a{sv} argument; returns the "offset" option (0 when absent).
bool readOffsetOption(sd_bus_message* m, uint16_t& offset);

struct Simulator::Amplifier {
    explicit Amplifier(const AmplifierSpec& s, uint32_t seed) : plan(s), sent(s.sentDataCapacity) {
        encoder = std::make_unique<AmplifierEncoder>(plan, seed);
        advertisingEnabled = plan.advertising;
        battery = plan.battery.level;
        rate = plan.rate;
    }
    bool advertises() const {
        return advertisingEnabled && !advertisingStopped && !unreachable && link == nullptr;
    }
    const std::string& name() const { return *plan.name; }

    AmplifierSpec plan;  // the encoder refers to it: an Amplifier never moves
    std::unique_ptr<AmplifierEncoder> encoder;
    bool advertisingEnabled = true;
    bool advertisingStopped = false;
    bool unreachable = false;  // out of range: silent, connects run into their timeout
    Device* link = nullptr;
    uint8_t battery = 0;
    double rate = 1.0;
    std::map<std::string, uint64_t> counters;
    SentRing sent;
    uint64_t generated = 0;
    uint64_t lastDataUs = 0;  // when the last data notification was due (free-running counter)
    int32_t connectFailures = 0;
    Timer drainTimer;
    Timer advertisingTimer;
    Timer reachableTimer;
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
    std::set<std::string> clients;  // of StartNotify
    bool notifying = false;
    bool canAcquire = false;  // offers AcquireNotify (NotifyAcquired is present)
    NotifySocket acquired;    // open while a client holds AcquireNotify's socket
    std::string acquiredBy;
    // Values flow, to the bus or to the acquired socket.
    bool sending() const { return notifying || acquired.isOpen(); }
    Timer timer;
    // Reads answered late (timing.readDelayMs), each on its own timer.
    struct DelayedRead {
        CallPtr call;
        Timer timer;
    };
    std::list<DelayedRead> delayedReads;
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
    uint16_t mtu = 247;  // ATT MTU of the link, negotiated at connect
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

}  // namespace tavosim
