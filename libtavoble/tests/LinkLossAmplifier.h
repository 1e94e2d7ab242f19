#pragma once

// The amplifier the link-loss tests drop links of.

#include <cstdio>
#include <string>

#include "SentPayload.h"

namespace e2e {

// 250 Hz, two scans per notification, the fourth channel a packet counter.
// The device objects time out quickly so an amplifier can be replaced.
inline const char* const kLinkLossAmplifier = R"({"name": "UX-0001.00.01", "samplingRate": 250,
    "scansPerNotification": 2,
    "channels": [{"number": 1, "type": 1, "scale": 0.5, "waveform": "sawtooth"},
                 {"number": 2, "type": 1, "scale": 0.25, "waveform": "square"},
                 {"number": 3, "type": 3, "scale": 2.0},
                 {"number": 4, "type": 5, "scale": 1.0}],
    "payloadLayout": [[1, 0], [2, 0], [3, 0], [4, 0], [1, 1], [2, 1], [3, 1], [4, 1]]%s})";
constexpr int kCounter = 3;  // column of the sample number in a received scan
constexpr int kValid = 5;    // column of the data-valid flag

// The scenario with `extra` (", \"key\": value" pairs) merged into the
// amplifier and `timing` (the same) into the scenario's timing.
inline std::string LinkLossScenario(const std::string& extra = "", const std::string& timing = "") {
    char text[2048];
    std::snprintf(text, sizeof text, kLinkLossAmplifier, extra.c_str());
    return R"({"timing": {"deviceTimeoutMs": 300)" + timing + R"(}, "amplifiers": [)" + text + "]}";
}

}  // namespace e2e
