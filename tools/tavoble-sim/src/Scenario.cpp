// A scenario: its adapters, amplifiers and timing, and the defaults.

#include "Scenario.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "ScenarioJson.h"

namespace tavosim {

using namespace scenario;

namespace {

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

Timing timingSection(const json& t) {
    Timing timing;
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
    get("discoveringDelayMs", timing.discoveringDelayMs);
    get("appearMinMs", timing.appearMinMs);
    get("appearMaxMs", timing.appearMaxMs);
    get("rssiIntervalMs", timing.rssiIntervalMs);
    get("deviceTimeoutMs", timing.deviceTimeoutMs);
    get("connectDelayMs", timing.connectDelayMs);
    get("servicesDelayMs", timing.servicesDelayMs);
    get("resolveDelayMs", timing.resolveDelayMs);
    get("connectTimeoutMs", timing.connectTimeoutMs);
    get("recordIntervalMs", timing.recordIntervalMs);
    get("readDelayMs", timing.readDelayMs);
    timing.appearMaxMs = std::max(timing.appearMaxMs, timing.appearMinMs);
    return timing;
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
        s.timing = timingSection(j["timing"]);
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
