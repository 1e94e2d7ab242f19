// The worker side of the fault matrix (see FaultWorker.h).

#include "FaultWorker.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "ErrorText.h"
#include "tavoble.h"

using namespace std::chrono_literals;

namespace robustness {
namespace {

std::mutex scansMutex;
std::map<TAVOBLE_HANDLE, std::vector<std::vector<float>>> scansByHandle;

void RecordScan(TAVOBLE_HANDLE handle, float* sample, uint32_t count) {
    std::lock_guard<std::mutex> lock(scansMutex);
    scansByHandle[handle].emplace_back(sample, sample + count);
}

bool CollectionTimedOut(const std::string& text) {
    return text.rfind("Could not read ", 0) == 0;
}

// A call to the Bluetooth service that got no reply within its 5 s: the
// simulator starved of CPU, not a fault of the row's amplifier.
bool ServiceTimedOut(const std::string& text) {
    return text.find("org.freedesktop.DBus.Error.NoReply") != std::string::npos;
}

// An open is tried once more when the Bluetooth service did not answer in
// time (no row expects that), and one that should succeed also when its
// configuration records did not all arrive within the amplifier's 500 ms: on
// a machine loaded by sanitizers and parallel tests either can happen to any
// open.
Json OpenOnce(const std::string& name, TAVOBLE_HANDLE& handle, bool shouldOpen) {
    Json result;
    for (int attempt = 0; attempt < 2; ++attempt) {
        handle = 0;
        const int32_t code = TAVOBLE_OpenDevice(name.c_str(), &handle);
        result["code"] = code;
        result["text"] = code == 0 ? "" : LastErrorTextNow();
        const std::string text = result["text"];
        const bool transient = (shouldOpen && code == 3 && CollectionTimedOut(text)) ||
                               (code != 0 && ServiceTimedOut(text));
        if (!transient) {
            break;
        }
        result["triedAgainAfter"] = result["text"];
    }
    return result;
}

bool Wants(const Row& row, const char* key) {
    for (const Json& alternative : row.expect) {
        if (alternative.contains(key)) {
            return true;
        }
    }
    return false;
}

// The stream kind of the row's first outcome that has one.
std::string StreamOf(const Row& row) {
    for (const Json& alternative : row.expect) {
        if (alternative.contains("stream")) {
            return alternative["stream"].get<std::string>();
        }
    }
    return "";
}

// Opens the row's amplifier and reads what it reports; sets `handle` when it
// stays open to stream.
Json RunRow(const Row& row, TAVOBLE_HANDLE& handle, std::vector<TAVOBLE_HANDLE>& opened) {
    bool opens = false;
    bool reopens = false;
    for (const Json& alternative : row.expect) {
        opens = opens || alternative["code"] == 0;
        reopens = reopens || (alternative.contains("retry") && alternative["retry"]["code"] == 0);
    }
    Json observed = OpenOnce(row.name, handle, opens);
    if (observed["code"] != 0 && Wants(row, "retry")) {
        observed["retry"] = OpenOnce(row.name, handle, reopens);
    }
    if (handle == 0) {
        return observed;
    }
    opened.push_back(handle);
    TAVOBLE_DEVICE_INFORMATION info{};
    observed["infoCode"] = TAVOBLE_GetDeviceInformation(handle, &info);
    Json& fields = observed["info"];
    fields["modelNumber"] = Hex(info.modelNumber, sizeof info.modelNumber);
    fields["serialNumber"] = Hex(info.serialNumber, sizeof info.serialNumber);
    fields["firmwareRevision"] = Hex(info.firmwareRevision, sizeof info.firmwareRevision);
    fields["hardwareRevision"] = Hex(info.hardwareRevision, sizeof info.hardwareRevision);
    fields["manufacturerName"] = Hex(info.manufacturerName, sizeof info.manufacturerName);
    fields["numberOfAcquiredChannels"] = info.numberOfAcquiredChannels;
    fields["samplingRate"] = info.samplingRate;
    if (Wants(row, "secondOpen")) {
        TAVOBLE_HANDLE second = 0;
        observed["secondOpen"] = OpenOnce(row.name, second, true);
        observed["secondOpen"]["sameHandle"] = second == handle;
        if (second != 0 && second != handle) {
            opened.push_back(second);
        }
    }
    if (!Wants(row, "stream") && !Wants(row, "retry")) {
        handle = 0;  // nothing to stream
    } else if (StreamOf(row) == "stops") {
        // At once, before the amplifier drops the link. The others stream
        // together at the end: every worker receives every notification of
        // the bus, as BlueZ clients do.
        observed["startCode"] = TAVOBLE_RegisterDataAvailableCallback(handle, &RecordScan);
    }
    return observed;
}

}  // namespace

std::string Hex(const char* text, std::size_t size) {
    std::string out;
    char digits[3];
    for (std::size_t i = 0; i < size && text[i] != '\0'; ++i) {
        std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(text[i]));
        out += digits;
    }
    return out;
}

int RunWorker(const std::vector<const Row*>& rows, bool sideBySide, const std::string& report,
              int readyFd, int goFd) {
    std::vector<Json> observed(rows.size());
    std::vector<TAVOBLE_HANDLE> handles(rows.size(), 0);
    std::vector<std::vector<TAVOBLE_HANDLE>> opened(rows.size());
    if (sideBySide) {
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            threads.emplace_back([&, i] { observed[i] = RunRow(*rows[i], handles[i], opened[i]); });
        }
        for (auto& t : threads) {
            t.join();
        }
    } else {
        for (std::size_t i = 0; i < rows.size(); ++i) {
            observed[i] = RunRow(*rows[i], handles[i], opened[i]);
        }
    }

    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (handles[i] != 0 && !observed[i].contains("startCode")) {
            observed[i]["startCode"] =
                TAVOBLE_RegisterDataAvailableCallback(handles[i], &RecordScan);
        }
    }
    // Every stream runs at least 1.5 s, and until those that should have
    // scans have enough.
    const bool streaming =
        std::any_of(handles.begin(), handles.end(), [](TAVOBLE_HANDLE h) { return h != 0; });
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(streaming ? 1500ms : 0ms);
    while (std::chrono::steady_clock::now() - start < 5s) {
        bool enough = true;
        {
            std::lock_guard<std::mutex> lock(scansMutex);
            for (std::size_t i = 0; i < rows.size(); ++i) {
                enough = enough && (handles[i] == 0 || StreamOf(*rows[i]) == "none" ||
                                    scansByHandle[handles[i]].size() >= 60);
            }
        }
        if (enough) {
            break;
        }
        std::this_thread::sleep_for(100ms);
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (handles[i] != 0) {
            observed[i]["stopCode"] = TAVOBLE_RegisterDataAvailableCallback(handles[i], nullptr);
        }
    }
    std::this_thread::sleep_for(200ms);

    Json out = Json::array();
    {
        std::lock_guard<std::mutex> lock(scansMutex);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            Json& o = observed[i];
            o["row"] = rows[i]->index;
            o["streamed"] = handles[i] != 0;
            if (handles[i] != 0) {
                // Bit patterns, so that NaN and -0 survive the trip.
                Json scans = Json::array();
                for (const auto& scan : scansByHandle[handles[i]]) {
                    Json bits = Json::array();
                    for (float v : scan) {
                        uint32_t b;
                        std::memcpy(&b, &v, sizeof b);
                        bits.push_back(b);
                    }
                    scans.push_back(std::move(bits));
                }
                o["scans"] = std::move(scans);
            }
            out.push_back(o);
        }
    }
    std::ofstream(report) << out.dump();
    char byte = 'r';
    if (write(readyFd, &byte, 1) != 1 || read(goFd, &byte, 1) != 1) {
        return 90;
    }
    int failures = 0;
    for (auto& list : opened) {
        for (TAVOBLE_HANDLE h : list) {
            failures += TAVOBLE_CloseDevice(&h) != 0 ? 1 : 0;
        }
    }
    return failures;
}

}  // namespace robustness
