#include "Scenario.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tavosim {

using nlohmann::json;

namespace {

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

[[noreturn]] void fail(const std::string& where, const std::string& what) {
    throw std::runtime_error("scenario: " + where + ": " + what);
}

// Unknown keys are errors: a misspelt fault would otherwise test nothing.
void checkKeys(const json& j, const std::string& where,
               std::initializer_list<const char*> allowed) {
    if (!j.is_object()) {
        fail(where, "must be an object");
    }
    for (const auto& item : j.items()) {
        bool ok = false;
        for (const char* a : allowed) {
            ok = ok || item.key() == a;
        }
        if (!ok) {
            fail(where, "unknown key \"" + item.key() + "\"");
        }
    }
}

double number(const json& j, const std::string& where) {
    if (!j.is_number()) {
        fail(where, "must be a number");
    }
    return j.get<double>();
}

template <typename T>
T integer(const json& j, const std::string& where, double lo, double hi) {
    const double v = number(j, where);
    if (v != std::floor(v) || v < lo || v > hi) {
        fail(where, "must be an integer from " + std::to_string(static_cast<long long>(lo)) +
                        " to " + std::to_string(static_cast<long long>(hi)));
    }
    return static_cast<T>(v);
}

bool boolean(const json& j, const std::string& where) {
    if (!j.is_boolean()) {
        fail(where, "must be true or false");
    }
    return j.get<bool>();
}

std::string string(const json& j, const std::string& where) {
    if (!j.is_string()) {
        fail(where, "must be a string");
    }
    return j.get<std::string>();
}

Bytes hexBytes(const std::string& hex, const std::string& where) {
    Bytes out;
    int hi = -1;
    for (char c : hex) {
        if (c == ' ' || c == ':' || c == '-') {
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            fail(where, "not a hex digit: " + std::string(1, c));
        }
        const int v = std::isdigit(static_cast<unsigned char>(c))
                          ? c - '0'
                          : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<uint8_t>(hi * 16 + v));
            hi = -1;
        }
    }
    if (hi >= 0) {
        fail(where, "odd number of hex digits");
    }
    return out;
}

// Raw bytes: "text" (UTF-8), [1, 2, 3], {"hex": "0102"} or {"repeat": "ab", "count": 150}.
Bytes bytes(const json& j, const std::string& where) {
    if (j.is_string()) {
        return text(j.get<std::string>());
    }
    if (j.is_array()) {
        Bytes out;
        for (size_t i = 0; i < j.size(); ++i) {
            out.push_back(integer<uint8_t>(j[i], where + "[" + std::to_string(i) + "]", 0, 255));
        }
        return out;
    }
    checkKeys(j, where, {"hex", "repeat", "count"});
    if (j.contains("hex")) {
        return hexBytes(string(j["hex"], where + ".hex"), where + ".hex");
    }
    if (j.contains("repeat")) {
        const Bytes unit = bytes(j["repeat"], where + ".repeat");
        const auto count =
            j.contains("count") ? integer<uint32_t>(j["count"], where + ".count", 0, 1e6) : 1U;
        Bytes out;
        for (uint32_t i = 0; i < count; ++i) {
            out.insert(out.end(), unit.begin(), unit.end());
        }
        return out;
    }
    fail(where, "needs \"hex\" or \"repeat\"");
}

std::set<uint32_t> indexSet(const json& j, const std::string& where) {
    if (!j.is_array()) {
        fail(where, "must be an array of record indices");
    }
    std::set<uint32_t> out;
    for (size_t i = 0; i < j.size(); ++i) {
        out.insert(integer<uint32_t>(j[i], where, 0, 65535));
    }
    return out;
}

RecordFaults recordFaults(const json& j, const std::string& where) {
    checkKeys(j, where,
              {"omit", "duplicate", "extra", "truncate", "delayMs", "intervalMs", "records"});
    RecordFaults f;
    if (j.contains("omit")) {
        f.omit = indexSet(j["omit"], where + ".omit");
    }
    if (j.contains("duplicate")) {
        f.duplicate = indexSet(j["duplicate"], where + ".duplicate");
    }
    if (j.contains("extra")) {
        f.extra = integer<uint32_t>(j["extra"], where + ".extra", 0, 1000);
    }
    if (j.contains("delayMs")) {
        f.delayMs = number(j["delayMs"], where + ".delayMs");
    }
    if (j.contains("intervalMs")) {
        f.intervalMs = number(j["intervalMs"], where + ".intervalMs");
    }
    if (j.contains("records")) {
        if (!j["records"].is_array()) {
            fail(where + ".records", "must be an array");
        }
        std::vector<Bytes> records;
        for (const auto& r : j["records"]) {
            records.push_back(bytes(r, where + ".records"));
        }
        f.records = std::move(records);
    }
    return f;
}

// "truncate": {"3": 5} maps record index 3 to 5 bytes; parsed apart because
// checkKeys cannot list numeric keys.
void recordTruncations(const json& j, RecordFaults& f, const std::string& where) {
    if (!j.contains("truncate")) {
        return;
    }
    for (const auto& item : j["truncate"].items()) {
        char* end = nullptr;
        const unsigned long idx = std::strtoul(item.key().c_str(), &end, 10);
        if (end == item.key().c_str() || *end != '\0') {
            fail(where + ".truncate", "keys are record indices, got \"" + item.key() + "\"");
        }
        f.truncate[static_cast<uint32_t>(idx)] =
            integer<uint32_t>(item.value(), where + ".truncate", 0, 65535);
    }
}

RecordFaults parseRecordFaults(const json& j, const std::string& where) {
    json copy = j;
    json trunc;
    if (copy.is_object() && copy.contains("truncate")) {
        trunc = copy["truncate"];
        copy.erase("truncate");
    }
    RecordFaults f = recordFaults(copy, where);
    if (!trunc.is_null()) {
        json holder = {{"truncate", trunc}};
        recordTruncations(holder, f, where);
    }
    return f;
}

Waveform waveform(const json& j, const std::string& where) {
    Waveform w;
    auto kindOf = [&](const std::string& k) {
        static const std::map<std::string, Waveform::Kind> kinds = {
            {"sine", Waveform::Kind::Sine},
            {"square", Waveform::Kind::Square},
            {"sawtooth", Waveform::Kind::Sawtooth},
            {"constant", Waveform::Kind::Constant},
            {"noise", Waveform::Kind::Noise},
            {"counter", Waveform::Kind::Counter},
            {"raw", Waveform::Kind::Raw}};
        auto it = kinds.find(k);
        if (it == kinds.end()) {
            fail(where, "unknown waveform \"" + k + "\"");
        }
        return it->second;
    };
    if (j.is_string()) {
        w.kind = kindOf(j.get<std::string>());
        return w;
    }
    checkKeys(j, where, {"kind", "frequencyHz", "amplitude", "offset", "noise", "phase", "raw"});
    if (j.contains("kind")) {
        w.kind = kindOf(string(j["kind"], where + ".kind"));
    }
    if (j.contains("frequencyHz")) {
        w.frequencyHz = number(j["frequencyHz"], where + ".frequencyHz");
    }
    if (j.contains("amplitude")) {
        w.amplitude = number(j["amplitude"], where + ".amplitude");
    }
    if (j.contains("offset")) {
        w.offset = number(j["offset"], where + ".offset");
    }
    if (j.contains("noise")) {
        w.noise = number(j["noise"], where + ".noise");
    }
    if (j.contains("phase")) {
        w.phase = number(j["phase"], where + ".phase");
    }
    if (j.contains("raw")) {
        w.raw = integer<int32_t>(j["raw"], where + ".raw", -8388608, 8388607);
    }
    return w;
}

// Scale of a 24-bit converter spanning +-187.5 mV, in microvolts per count.
constexpr float kMicrovoltsPerCount = 0.02235174F;

std::vector<ChannelSpec> defaultChannels(uint16_t count) {
    static const double freqs[] = {10.0, 6.0, 2.5, 1.0, 17.0, 8.0, 12.0, 3.5};
    std::vector<ChannelSpec> out;
    for (uint16_t i = 0; i < count; ++i) {
        ChannelSpec c;
        c.number = static_cast<uint16_t>(i + 1);
        if (i + 1 == count) {
            c.type = 5;  // the packet counter
            c.scale = 1.0F;
            c.wave.kind = Waveform::Kind::Counter;
        } else {
            c.type = 1;
            c.scale = kMicrovoltsPerCount;
            c.wave.kind = Waveform::Kind::Sine;
            c.wave.frequencyHz = freqs[i % 8];
            c.wave.amplitude = 20.0 + 15.0 * (i % 5);
            c.wave.noise = 2.0;
            c.wave.phase = 0.7 * i;
        }
        out.push_back(c);
    }
    return out;
}

std::vector<ChannelSpec> channels(const json& j, const std::string& where) {
    if (j.is_number()) {
        return defaultChannels(integer<uint16_t>(j, where, 1, 255));
    }
    if (!j.is_array()) {
        fail(where, "must be a count or an array of channels");
    }
    std::vector<ChannelSpec> out;
    for (size_t i = 0; i < j.size(); ++i) {
        const std::string w = where + "[" + std::to_string(i) + "]";
        const json& c = j[i];
        checkKeys(c, w, {"number", "type", "scale", "waveform", "reserved"});
        ChannelSpec ch;
        ch.number = c.contains("number") ? integer<uint16_t>(c["number"], w + ".number", 0, 65535)
                                         : static_cast<uint16_t>(i + 1);
        ch.type = c.contains("type") ? integer<uint8_t>(c["type"], w + ".type", 0, 255) : 1;
        ch.reserved =
            c.contains("reserved") ? integer<uint8_t>(c["reserved"], w + ".reserved", 0, 255) : 0;
        ch.scale = c.contains("scale") ? static_cast<float>(number(c["scale"], w + ".scale"))
                                       : (ch.type == 5 ? 1.0F : kMicrovoltsPerCount);
        if (c.contains("waveform")) {
            ch.wave = waveform(c["waveform"], w + ".waveform");
        } else if (ch.type == 5) {
            ch.wave.kind = Waveform::Kind::Counter;
        }
        out.push_back(ch);
    }
    return out;
}

std::string normalisedAddress(const std::string& a, const std::string& where) {
    std::string up;
    for (char c : a) {
        up += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (up.size() != 17) {
        fail(where, "address must look like AA:BB:CC:DD:EE:FF");
    }
    for (size_t i = 0; i < up.size(); ++i) {
        const bool colon = i % 3 == 2;
        if (colon ? up[i] != ':' : !std::isxdigit(static_cast<unsigned char>(up[i]))) {
            fail(where, "address must look like AA:BB:CC:DD:EE:FF");
        }
    }
    return up;
}

AmplifierSpec amplifier(const json& j, const std::string& where) {
    checkKeys(j, where,
              {"name", "address", "addressType", "advertising", "rssi", "manufacturerData",
               "advertisedUuids", "deviceInformation", "samplingRate", "scansPerNotification",
               "channels", "payloadLayout", "filterRecords", "payloadPadding", "battery", "rate",
               "counter", "faults", "sentDataCapacity"});
    AmplifierSpec a = defaultAmplifier();
    if (j.contains("name")) {
        if (j["name"].is_null()) {
            a.name.reset();
        } else {
            a.name = string(j["name"], where + ".name");
        }
    }
    const std::string w = where + "(" + a.name.value_or("unnamed") + ")";
    if (a.name) {
        const Bytes n = text(*a.name);
        a.serialNumber = n;
    }
    if (j.contains("address")) {
        a.address = normalisedAddress(string(j["address"], w + ".address"), w + ".address");
    } else {
        a.address = addressFor(a.name.value_or("unnamed"));
    }
    if (j.contains("addressType")) {
        a.addressType = string(j["addressType"], w + ".addressType");
        if (a.addressType != "public" && a.addressType != "random") {
            fail(w + ".addressType", "must be \"public\" or \"random\"");
        }
    }
    if (j.contains("advertising")) {
        a.advertising = boolean(j["advertising"], w + ".advertising");
    }
    if (j.contains("rssi")) {
        a.rssi = integer<int16_t>(j["rssi"], w + ".rssi", -127, 20);
    }
    if (j.contains("manufacturerData")) {
        for (const auto& item : j["manufacturerData"].items()) {
            char* end = nullptr;
            const unsigned long id = std::strtoul(item.key().c_str(), &end, 0);
            if (end == item.key().c_str() || *end != '\0' || id > 0xFFFF) {
                fail(w + ".manufacturerData", "keys are company ids (0..65535)");
            }
            a.manufacturerData[static_cast<uint16_t>(id)] =
                bytes(item.value(), w + ".manufacturerData");
        }
    }
    if (j.contains("advertisedUuids")) {
        for (const auto& u : j["advertisedUuids"]) {
            a.advertisedUuids.push_back(fullUuid(string(u, w + ".advertisedUuids")));
        }
    }
    if (j.contains("deviceInformation")) {
        const json& d = j["deviceInformation"];
        const std::string dw = w + ".deviceInformation";
        checkKeys(d, dw,
                  {"modelNumber", "serialNumber", "firmwareRevision", "hardwareRevision",
                   "manufacturerName"});
        if (d.contains("modelNumber"))
            a.modelNumber = bytes(d["modelNumber"], dw + ".modelNumber");
        if (d.contains("serialNumber"))
            a.serialNumber = bytes(d["serialNumber"], dw + ".serialNumber");
        if (d.contains("firmwareRevision"))
            a.firmwareRevision = bytes(d["firmwareRevision"], dw + ".firmwareRevision");
        if (d.contains("hardwareRevision"))
            a.hardwareRevision = bytes(d["hardwareRevision"], dw + ".hardwareRevision");
        if (d.contains("manufacturerName"))
            a.manufacturerName = bytes(d["manufacturerName"], dw + ".manufacturerName");
    }
    if (j.contains("samplingRate")) {
        a.samplingRate = integer<uint16_t>(j["samplingRate"], w + ".samplingRate", 1, 65535);
    }
    if (j.contains("scansPerNotification")) {
        a.scansPerNotification =
            integer<uint16_t>(j["scansPerNotification"], w + ".scansPerNotification", 1, 1000);
    }
    if (j.contains("channels")) {
        a.channels = channels(j["channels"], w + ".channels");
    }
    if (j.contains("payloadLayout")) {
        const json& l = j["payloadLayout"];
        if (!l.is_array()) {
            fail(w + ".payloadLayout", "must be an array of [channel, frame] pairs");
        }
        for (const auto& p : l) {
            if (!p.is_array() || p.size() != 2) {
                fail(w + ".payloadLayout", "must be an array of [channel, frame] pairs");
            }
            a.payloadLayout.emplace_back(integer<uint16_t>(p[0], w + ".payloadLayout", 0, 65535),
                                         integer<uint16_t>(p[1], w + ".payloadLayout", 0, 65535));
        }
    }
    if (j.contains("filterRecords")) {
        a.filterRecords = integer<uint16_t>(j["filterRecords"], w + ".filterRecords", 0, 1000);
    }
    if (j.contains("payloadPadding")) {
        a.payloadPadding = integer<uint32_t>(j["payloadPadding"], w + ".payloadPadding", 0, 500);
    }
    if (j.contains("battery")) {
        const json& b = j["battery"];
        const std::string bw = w + ".battery";
        checkKeys(b, bw, {"level", "drainIntervalMs", "gattService", "battery1DelayMs"});
        if (b.contains("level"))
            a.battery.level = integer<uint8_t>(b["level"], bw + ".level", 0, 255);
        if (b.contains("drainIntervalMs"))
            a.battery.drainIntervalMs = number(b["drainIntervalMs"], bw + ".drainIntervalMs");
        if (b.contains("gattService"))
            a.battery.gattService = boolean(b["gattService"], bw + ".gattService");
        if (b.contains("battery1DelayMs"))
            a.battery.battery1DelayMs = number(b["battery1DelayMs"], bw + ".battery1DelayMs");
    }
    if (j.contains("rate")) {
        a.rate = number(j["rate"], w + ".rate");
        if (a.rate < 0) {
            fail(w + ".rate", "must not be negative");
        }
    }
    if (j.contains("counter")) {
        const json& c = j["counter"];
        const std::string cw = w + ".counter";
        checkKeys(c, cw, {"start", "restartEvery", "restartOnSubscribe", "freeRunning"});
        if (c.contains("start"))
            a.counterStart = integer<uint32_t>(c["start"], cw + ".start", 0, 8388607);
        if (c.contains("restartEvery"))
            a.counterRestartEvery =
                integer<uint32_t>(c["restartEvery"], cw + ".restartEvery", 0, 1e9);
        if (c.contains("restartOnSubscribe"))
            a.counterRestartOnSubscribe =
                boolean(c["restartOnSubscribe"], cw + ".restartOnSubscribe");
        if (c.contains("freeRunning"))
            a.counterFreeRunning = boolean(c["freeRunning"], cw + ".freeRunning");
    }
    if (j.contains("sentDataCapacity")) {
        a.sentDataCapacity =
            integer<uint32_t>(j["sentDataCapacity"], w + ".sentDataCapacity", 1, 1e8);
    }
    if (j.contains("faults")) {
        const json& f = j["faults"];
        const std::string fw = w + ".faults";
        checkKeys(f, fw,
                  {"configuration", "configurationBytes", "channelRecords", "payloadRecords",
                   "filterRecords", "omitServices", "omitCharacteristics", "connect", "dropEvery",
                   "truncateEvery", "truncateTo", "disconnectAfterMs", "advertisingStopsAfterMs"});
        if (f.contains("configuration")) {
            static const char* fields[8] = {"samplingRate",
                                            "numberOfChannels",
                                            "reserved4",
                                            "reserved6",
                                            "payloadSize",
                                            "channelConfigurationCount",
                                            "payloadConfigurationCount",
                                            "filterConfigurationCount"};
            const json& c = f["configuration"];
            checkKeys(c, fw + ".configuration",
                      {fields[0], fields[1], fields[2], fields[3], fields[4], fields[5], fields[6],
                       fields[7]});
            for (size_t i = 0; i < 8; ++i) {
                if (c.contains(fields[i])) {
                    a.configurationOverride[i] = integer<uint16_t>(
                        c[fields[i]], fw + ".configuration." + fields[i], 0, 65535);
                }
            }
        }
        if (f.contains("configurationBytes")) {
            a.configurationBytes = bytes(f["configurationBytes"], fw + ".configurationBytes");
        }
        if (f.contains("channelRecords"))
            a.channelFaults = parseRecordFaults(f["channelRecords"], fw + ".channelRecords");
        if (f.contains("payloadRecords"))
            a.payloadFaults = parseRecordFaults(f["payloadRecords"], fw + ".payloadRecords");
        if (f.contains("filterRecords"))
            a.filterFaults = parseRecordFaults(f["filterRecords"], fw + ".filterRecords");
        for (const char* key : {"omitServices", "omitCharacteristics"}) {
            if (!f.contains(key)) {
                continue;
            }
            auto& target =
                std::string(key) == "omitServices" ? a.omitServices : a.omitCharacteristics;
            for (const auto& u : f[key]) {
                target.insert(fullUuid(string(u, fw + "." + key)));
            }
        }
        if (f.contains("connect")) {
            const json& c = f["connect"];
            const std::string cw = fw + ".connect";
            checkKeys(c, cw, {"fail", "errorName", "errorText", "attempts"});
            const std::string kind = c.contains("fail") ? string(c["fail"], cw + ".fail") : "error";
            if (kind == "error") {
                a.connect.kind = ConnectFault::Kind::Error;
            } else if (kind == "unresolved") {
                a.connect.kind = ConnectFault::Kind::Unresolved;
            } else if (kind == "timeout") {
                a.connect.kind = ConnectFault::Kind::Timeout;
            } else if (kind == "noreply") {
                a.connect.kind = ConnectFault::Kind::NoReply;
            } else if (kind == "none") {
                a.connect.kind = ConnectFault::Kind::None;
            } else {
                fail(cw + ".fail",
                     "must be \"error\", \"unresolved\", \"timeout\", \"noreply\" or \"none\"");
            }
            if (c.contains("errorName"))
                a.connect.errorName = string(c["errorName"], cw + ".errorName");
            if (c.contains("errorText"))
                a.connect.errorText = string(c["errorText"], cw + ".errorText");
            if (c.contains("attempts"))
                a.connect.attempts = integer<int32_t>(c["attempts"], cw + ".attempts", -1, 1e6);
        }
        if (f.contains("dropEvery"))
            a.dropEvery = integer<uint32_t>(f["dropEvery"], fw + ".dropEvery", 0, 1e9);
        if (f.contains("truncateEvery"))
            a.truncateEvery = integer<uint32_t>(f["truncateEvery"], fw + ".truncateEvery", 0, 1e9);
        if (f.contains("truncateTo"))
            a.truncateTo = integer<uint32_t>(f["truncateTo"], fw + ".truncateTo", 0, 65535);
        if (f.contains("disconnectAfterMs"))
            a.disconnectAfterMs = number(f["disconnectAfterMs"], fw + ".disconnectAfterMs");
        if (f.contains("advertisingStopsAfterMs"))
            a.advertisingStopsAfterMs =
                number(f["advertisingStopsAfterMs"], fw + ".advertisingStopsAfterMs");
    }
    if (a.channels.empty()) {
        fail(w + ".channels", "an amplifier needs at least one channel");
    }
    return a;
}

AdapterSpec adapter(const json& j, size_t index, const std::string& where) {
    checkKeys(j, where, {"id", "address", "name", "powered"});
    AdapterSpec a;
    a.id = j.contains("id") ? string(j["id"], where + ".id") : "hci" + std::to_string(index);
    a.address =
        j.contains("address")
            ? normalisedAddress(string(j["address"], where + ".address"), where + ".address")
            : "00:1A:7D:DA:71:" + std::string(index < 10 ? "1" : "") + std::to_string(index + 3);
    if (j.contains("name"))
        a.name = string(j["name"], where + ".name");
    if (j.contains("powered"))
        a.powered = boolean(j["powered"], where + ".powered");
    for (char c : a.id) {
        if (!std::isalnum(static_cast<unsigned char>(c))) {
            fail(where + ".id", "must be letters and digits, like hci0");
        }
    }
    return a;
}

}  // namespace

std::string fullUuid(const std::string& uuid) {
    std::string low;
    for (char c : uuid) {
        low += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (low.size() == 4) {
        return "0000" + low + "-0000-1000-8000-00805f9b34fb";
    }
    if (low.size() == 8) {
        return low + "-0000-1000-8000-00805f9b34fb";
    }
    return low;
}

std::string addressFor(const std::string& name) {
    // FNV-1a: a stable, well-spread address per name; top bits 11 = static random.
    uint64_t h = 1469598103934665603ULL;
    for (char c : name) {
        h ^= static_cast<uint8_t>(c);
        h *= 1099511628211ULL;
    }
    char buf[18];
    std::snprintf(buf, sizeof buf, "%02X:%02X:%02X:%02X:%02X:%02X",
                  static_cast<unsigned>(((h >> 40) & 0xFF) | 0xC0),
                  static_cast<unsigned>((h >> 32) & 0xFF), static_cast<unsigned>((h >> 24) & 0xFF),
                  static_cast<unsigned>((h >> 16) & 0xFF), static_cast<unsigned>((h >> 8) & 0xFF),
                  static_cast<unsigned>(h & 0xFF));
    return buf;
}

AmplifierSpec defaultAmplifier() {
    AmplifierSpec a;
    a.address = addressFor(*a.name);
    a.modelNumber = text("UX8 Wireless Amplifier");
    a.serialNumber = text(*a.name);
    a.firmwareRevision = text("2.4.1");
    a.hardwareRevision = text("C");
    a.manufacturerName = text("Tavo Instruments");
    a.channels = defaultChannels(8);
    return a;
}

Scenario defaultScenario() {
    Scenario s;
    s.adapters.push_back(AdapterSpec{});
    s.amplifiers.push_back(defaultAmplifier());
    return s;
}

Scenario parseScenario(const std::string& jsonText) {
    json j;
    try {
        j = json::parse(jsonText);
    } catch (const json::exception& e) {
        throw std::runtime_error(std::string("scenario: not valid JSON: ") + e.what());
    }
    checkKeys(j, "scenario", {"adapters", "amplifiers", "timing", "seed", "description"});
    Scenario s;
    if (j.contains("adapters")) {
        if (!j["adapters"].is_array()) {
            fail("adapters", "must be an array");
        }
        for (size_t i = 0; i < j["adapters"].size(); ++i) {
            s.adapters.push_back(
                adapter(j["adapters"][i], i, "adapters[" + std::to_string(i) + "]"));
        }
    } else {
        s.adapters.push_back(AdapterSpec{});
    }
    if (j.contains("amplifiers")) {
        if (!j["amplifiers"].is_array()) {
            fail("amplifiers", "must be an array");
        }
        for (size_t i = 0; i < j["amplifiers"].size(); ++i) {
            s.amplifiers.push_back(
                amplifier(j["amplifiers"][i], "amplifiers[" + std::to_string(i) + "]"));
        }
    } else {
        s.amplifiers.push_back(defaultAmplifier());
    }
    if (j.contains("timing")) {
        const json& t = j["timing"];
        checkKeys(t, "timing",
                  {"discoveringDelayMs", "appearMinMs", "appearMaxMs", "rssiIntervalMs",
                   "deviceTimeoutMs", "connectDelayMs", "servicesDelayMs", "resolveDelayMs",
                   "connectTimeoutMs", "recordIntervalMs", "readDelayMs"});
        auto get = [&](const char* key, double& target) {
            if (t.contains(key)) {
                target = number(t[key], std::string("timing.") + key);
                if (target < 0) {
                    fail(std::string("timing.") + key, "must not be negative");
                }
            }
        };
        get("discoveringDelayMs", s.timing.discoveringDelayMs);
        get("appearMinMs", s.timing.appearMinMs);
        get("appearMaxMs", s.timing.appearMaxMs);
        get("rssiIntervalMs", s.timing.rssiIntervalMs);
        get("deviceTimeoutMs", s.timing.deviceTimeoutMs);
        get("connectDelayMs", s.timing.connectDelayMs);
        get("servicesDelayMs", s.timing.servicesDelayMs);
        get("resolveDelayMs", s.timing.resolveDelayMs);
        get("connectTimeoutMs", s.timing.connectTimeoutMs);
        get("recordIntervalMs", s.timing.recordIntervalMs);
        get("readDelayMs", s.timing.readDelayMs);
        s.timing.appearMaxMs = std::max(s.timing.appearMaxMs, s.timing.appearMinMs);
    }
    if (j.contains("seed")) {
        s.seed = integer<uint32_t>(j["seed"], "seed", 0, 4294967295.0);
    }
    // Peers may share a name (an impostor), never an address.
    std::set<std::string> addresses;
    for (const auto& a : s.amplifiers) {
        if (a.name && !addresses.insert(a.address).second) {
            fail("amplifiers",
                 "two amplifiers have the address " + a.address + " (named \"" + *a.name + "\")");
        }
    }
    return s;
}

Scenario loadScenario(const std::string& file) {
    std::ifstream in(file);
    if (!in) {
        throw std::runtime_error("cannot read scenario file " + file);
    }
    std::stringstream ss;
    ss << in.rdbuf();
    return parseScenario(ss.str());
}

AmplifierSpec parseAmplifier(const std::string& jsonText) {
    json j;
    try {
        j = json::parse(jsonText);
    } catch (const json::exception& e) {
        throw std::runtime_error(std::string("amplifier: not valid JSON: ") + e.what());
    }
    return amplifier(j, "amplifier");
}

}  // namespace tavosim
