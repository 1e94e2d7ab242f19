// Field readers of a JSON scenario; each error names the offending key.

#include <cctype>
#include <stdexcept>

#include "ScenarioJson.h"

namespace tavosim::scenario {

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

namespace {

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

}  // namespace

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

}  // namespace tavosim::scenario
