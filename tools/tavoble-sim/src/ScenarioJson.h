// Reading a JSON scenario: field readers that name the offending key in their
// errors, and the parsers of the scenario's sections.
#pragma once

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "Scenario.h"

namespace tavosim::scenario {

using nlohmann::json;

// Field readers.
Bytes text(const std::string& s);
[[noreturn]] void fail(const std::string& where, const std::string& what);
// Unknown keys are errors: a misspelt fault would otherwise test nothing.
void checkKeys(const json& j, const std::string& where, std::initializer_list<const char*> allowed);
double number(const json& j, const std::string& where);
template <typename T>
T integer(const json& j, const std::string& where, double lo, double hi) {
    const double v = number(j, where);
    if (v != std::floor(v) || v < lo || v > hi) {
        fail(where, "must be an integer from " + std::to_string(static_cast<long long>(lo)) +
                        " to " + std::to_string(static_cast<long long>(hi)));
    }
    return static_cast<T>(v);
}
bool boolean(const json& j, const std::string& where);
std::string string(const json& j, const std::string& where);
// Raw bytes: "text" (UTF-8), [1, 2, 3], {"hex": "0102"} or {"repeat": "ab", "count": 150}.
Bytes bytes(const json& j, const std::string& where);
// "aa:bb:cc:dd:ee:ff" -> "AA:BB:CC:DD:EE:FF"; anything else fails.
std::string normalisedAddress(const std::string& a, const std::string& where);

// Section parsers.
std::vector<ChannelSpec> defaultChannels(uint16_t count);
// A channel count (default channels) or an array of channels.
std::vector<ChannelSpec> channels(const json& j, const std::string& where);
// The "faults" of one amplifier, into a.
void faults(const json& f, AmplifierSpec& a, const std::string& where);
AmplifierSpec amplifier(const json& j, const std::string& where);

}  // namespace tavosim::scenario
