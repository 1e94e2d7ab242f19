// What a simulation plays: adapters, amplifiers and their faults, read from a
// JSON scenario file (format in README.md) or built from the defaults.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Dbus.h"

namespace tavosim {

struct Waveform {
    enum class Kind { Sine, Square, Sawtooth, Constant, Noise, Counter, Raw };
    Kind kind = Kind::Sine;
    double frequencyHz = 10.0;
    double amplitude = 50.0;  // in the channel's unit (microvolts for signal channels)
    double offset = 0.0;
    double noise = 0.0;  // peak amplitude of uniform noise added to every sample
    double phase = 0.0;  // radians
    int32_t raw = 0;     // Kind::Raw: this raw 24-bit value in every sample
};

struct ChannelSpec {
    uint16_t number = 1;
    uint8_t type = 1;
    uint8_t reserved = 0;
    float scale = 1.0F;
    Waveform wave;
};

// Faults of one configuration record stream (channel, payload or filter).
struct RecordFaults {
    std::set<uint32_t> omit;                // record indices (0-based, in sending order) not sent
    std::set<uint32_t> duplicate;           // record indices sent twice
    uint32_t extra = 0;                     // records sent beyond the announced count
    std::map<uint32_t, uint32_t> truncate;  // record index -> bytes actually sent
    double delayMs = 0.0;                   // from Notifying to the first record
    std::optional<double> intervalMs;       // between records; default from the timing
    std::optional<std::vector<Bytes>> records;  // replaces the generated stream
};

struct ConnectFault {
    enum class Kind { None, Error, Unresolved, Timeout, NoReply };
    Kind kind = Kind::None;
    std::string errorName = "org.bluez.Error.Failed";
    std::string errorText = "le-connection-abort-by-local";
    int32_t attempts = -1;  // how many connects fail; -1: all of them
};

struct BatterySpec {
    uint8_t level = 87;
    double drainIntervalMs = 60000.0;  // one percent less after each interval; 0: constant
    bool gattService = false;          // serve 180F/2A19 instead of org.bluez.Battery1
    double battery1DelayMs = -1.0;     // Battery1 after ServicesResolved; <0: before it
};

struct AmplifierSpec {
    std::optional<std::string> name = std::string("UX-0001.00.01");
    std::string address;  // empty: derived from the name
    std::string addressType = "random";
    bool advertising = true;
    int16_t rssi = -55;
    ManufacturerData manufacturerData;
    std::vector<std::string> advertisedUuids;

    Bytes modelNumber, serialNumber, firmwareRevision, hardwareRevision, manufacturerName;

    uint16_t samplingRate = 250;
    uint16_t scansPerNotification = 2;
    std::vector<ChannelSpec> channels;
    std::vector<std::pair<uint16_t, uint16_t>> payloadLayout;  // (channel, frame); default all
    uint16_t filterRecords = 3;
    uint32_t payloadPadding = 0;  // bytes after the samples
    BatterySpec battery;
    double rate = 1.0;  // multiplier of the notification rate; 0: as fast as possible

    uint32_t counterStart = 1;
    uint32_t counterRestartEvery = 0;  // restart at counterStart after this many packets
    bool counterRestartOnSubscribe = false;
    bool counterFreeRunning = false;  // keeps counting in real time while unsubscribed

    // Faults
    std::array<std::optional<uint16_t>, 8> configurationOverride;
    std::optional<Bytes> configurationBytes;
    RecordFaults channelFaults, payloadFaults, filterFaults;
    std::set<std::string> omitServices;         // full lower-case UUIDs
    std::set<std::string> omitCharacteristics;  // full lower-case UUIDs
    ConnectFault connect;
    uint32_t dropEvery = 0;
    uint32_t truncateEvery = 0;
    std::optional<uint32_t> truncateTo;  // default: one byte short
    std::optional<double> disconnectAfterMs;
    std::optional<double> advertisingStopsAfterMs;

    uint32_t sentDataCapacity = 262144;
};

struct AdapterSpec {
    std::string id = "hci0";
    std::string address = "00:1A:7D:DA:71:13";
    std::string name = "tavoble-sim";
    bool powered = true;
};

struct Timing {
    double discoveringDelayMs = 20.0;
    double appearMinMs = 100.0;
    double appearMaxMs = 200.0;
    double rssiIntervalMs = 100.0;
    double deviceTimeoutMs = 30000.0;
    double connectDelayMs = 40.0;
    double servicesDelayMs = 20.0;
    double resolveDelayMs = 10.0;
    double connectTimeoutMs = 2000.0;
    double recordIntervalMs = 1.0;
    double readDelayMs = 0.0;
};

struct Scenario {
    std::vector<AdapterSpec> adapters;
    std::vector<AmplifierSpec> amplifiers;
    Timing timing;
    uint32_t seed = 1;
    // BlueZ before 5.46 had no AcquireNotify: false plays it (no NotifyAcquired property,
    // AcquireNotify answers NotSupported).
    bool acquireNotify = true;
};

// The default amplifier "UX-0001.00.01" and the default scenario (hci0 + it).
AmplifierSpec defaultAmplifier();
Scenario defaultScenario();

// Parsing; throws std::runtime_error naming the offending key.
Scenario parseScenario(const std::string& jsonText);
Scenario loadScenario(const std::string& file);
AmplifierSpec parseAmplifier(const std::string& jsonText);

// "180a" or "0000180A-..." -> "0000180a-0000-1000-8000-00805f9b34fb".
std::string fullUuid(const std::string& uuid);
// Device address derived from a name, stable across runs.
std::string addressFor(const std::string& name);

}  // namespace tavosim
