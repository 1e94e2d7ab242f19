// One amplifier of a scenario: identity, advertisement, stream, battery, counter.

#include <cstdlib>

#include "ScenarioJson.h"

namespace tavosim::scenario {
namespace {

// Where the peer is and what it advertises.
void advertisement(const json& j, AmplifierSpec& a, const std::string& w) {
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
}

void deviceInformation(const json& d, AmplifierSpec& a, const std::string& dw) {
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

// The shape of the data stream.
void layout(const json& j, AmplifierSpec& a, const std::string& w) {
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
}

void battery(const json& b, AmplifierSpec& a, const std::string& bw) {
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

void counter(const json& c, AmplifierSpec& a, const std::string& cw) {
    checkKeys(c, cw, {"start", "restartEvery", "restartOnSubscribe", "freeRunning"});
    if (c.contains("start"))
        a.counterStart = integer<uint32_t>(c["start"], cw + ".start", 0, 8388607);
    if (c.contains("restartEvery"))
        a.counterRestartEvery = integer<uint32_t>(c["restartEvery"], cw + ".restartEvery", 0, 1e9);
    if (c.contains("restartOnSubscribe"))
        a.counterRestartOnSubscribe = boolean(c["restartOnSubscribe"], cw + ".restartOnSubscribe");
    if (c.contains("freeRunning"))
        a.counterFreeRunning = boolean(c["freeRunning"], cw + ".freeRunning");
}

}  // namespace

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
    advertisement(j, a, w);
    if (j.contains("deviceInformation")) {
        deviceInformation(j["deviceInformation"], a, w + ".deviceInformation");
    }
    layout(j, a, w);
    if (j.contains("battery")) {
        battery(j["battery"], a, w + ".battery");
    }
    if (j.contains("rate")) {
        a.rate = number(j["rate"], w + ".rate");
        if (a.rate < 0) {
            fail(w + ".rate", "must not be negative");
        }
    }
    if (j.contains("counter")) {
        counter(j["counter"], a, w + ".counter");
    }
    if (j.contains("sentDataCapacity")) {
        a.sentDataCapacity =
            integer<uint32_t>(j["sentDataCapacity"], w + ".sentDataCapacity", 1, 1e8);
    }
    if (j.contains("faults")) {
        faults(j["faults"], a, w + ".faults");
    }
    if (a.channels.empty()) {
        fail(w + ".channels", "an amplifier needs at least one channel");
    }
    return a;
}

}  // namespace tavosim::scenario
