// The faults of an amplifier: configuration records, connects, notifications.

#include <cstdlib>
#include <set>

#include "ScenarioJson.h"

namespace tavosim::scenario {
namespace {

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

// Values that replace fields of the amplifier's configuration record.
void configurationOverride(const json& c, AmplifierSpec& a, const std::string& fw) {
    static const char* fields[8] = {"samplingRate",
                                    "numberOfChannels",
                                    "reserved4",
                                    "reserved6",
                                    "payloadSize",
                                    "channelConfigurationCount",
                                    "payloadConfigurationCount",
                                    "filterConfigurationCount"};
    checkKeys(
        c, fw + ".configuration",
        {fields[0], fields[1], fields[2], fields[3], fields[4], fields[5], fields[6], fields[7]});
    for (size_t i = 0; i < 8; ++i) {
        if (c.contains(fields[i])) {
            a.configurationOverride[i] =
                integer<uint16_t>(c[fields[i]], fw + ".configuration." + fields[i], 0, 65535);
        }
    }
}

void connectFault(const json& c, ConnectFault& connect, const std::string& cw) {
    checkKeys(c, cw, {"fail", "errorName", "errorText", "attempts"});
    const std::string kind = c.contains("fail") ? string(c["fail"], cw + ".fail") : "error";
    if (kind == "error") {
        connect.kind = ConnectFault::Kind::Error;
    } else if (kind == "unresolved") {
        connect.kind = ConnectFault::Kind::Unresolved;
    } else if (kind == "timeout") {
        connect.kind = ConnectFault::Kind::Timeout;
    } else if (kind == "noreply") {
        connect.kind = ConnectFault::Kind::NoReply;
    } else if (kind == "none") {
        connect.kind = ConnectFault::Kind::None;
    } else {
        fail(cw + ".fail",
             "must be \"error\", \"unresolved\", \"timeout\", \"noreply\" or \"none\"");
    }
    if (c.contains("errorName"))
        connect.errorName = string(c["errorName"], cw + ".errorName");
    if (c.contains("errorText"))
        connect.errorText = string(c["errorText"], cw + ".errorText");
    if (c.contains("attempts"))
        connect.attempts = integer<int32_t>(c["attempts"], cw + ".attempts", -1, 1e6);
}

}  // namespace

void faults(const json& f, AmplifierSpec& a, const std::string& fw) {
    checkKeys(f, fw,
              {"configuration", "configurationBytes", "channelRecords", "payloadRecords",
               "filterRecords", "omitServices", "omitCharacteristics", "connect", "dropEvery",
               "truncateEvery", "truncateTo", "disconnectAfterMs", "advertisingStopsAfterMs"});
    if (f.contains("configuration")) {
        configurationOverride(f["configuration"], a, fw);
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
        auto& target = std::string(key) == "omitServices" ? a.omitServices : a.omitCharacteristics;
        for (const auto& u : f[key]) {
            target.insert(fullUuid(string(u, fw + "." + key)));
        }
    }
    if (f.contains("connect")) {
        connectFault(f["connect"], a.connect, fw + ".connect");
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

}  // namespace tavosim::scenario
