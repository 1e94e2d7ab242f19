// The channels of an amplifier and their waveforms.

#include <map>

#include "ScenarioJson.h"

namespace tavosim::scenario {
namespace {

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

}  // namespace

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

}  // namespace tavosim::scenario
