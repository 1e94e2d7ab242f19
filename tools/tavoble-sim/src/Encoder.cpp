#include "Encoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tavosim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int32_t kRawMax = 8388607;
constexpr int32_t kRawMin = -8388608;

void putU16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v & 0xFF));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void putF32(Bytes& b, float f) {
    uint32_t u = 0;
    std::memcpy(&u, &f, sizeof u);
    for (int i = 0; i < 4; ++i) {
        b.push_back(static_cast<uint8_t>((u >> (8 * i)) & 0xFF));
    }
}

// Applies omissions, duplicates, truncations and extra records to a stream.
std::vector<Bytes> applyFaults(const std::vector<Bytes>& base, const RecordFaults& f,
                               const std::function<Bytes(uint32_t)>& extra) {
    if (f.records) {
        return *f.records;
    }
    std::vector<Bytes> out;
    auto push = [&](uint32_t index, Bytes rec) {
        if (f.omit.count(index) != 0) {
            return;
        }
        auto t = f.truncate.find(index);
        if (t != f.truncate.end() && t->second < rec.size()) {
            rec.resize(t->second);
        }
        out.push_back(rec);
        if (f.duplicate.count(index) != 0) {
            out.push_back(rec);
        }
    };
    uint32_t i = 0;
    for (const auto& rec : base) {
        push(i++, rec);
    }
    for (uint32_t k = 0; k < f.extra; ++k) {
        push(i++, extra(k));
    }
    return out;
}

}  // namespace

AmplifierEncoder::AmplifierEncoder(const AmplifierSpec& plan, uint32_t seed)
    : plan_(plan), counter_(plan.counterStart), rng_(seed) {
    for (size_t i = 0; i < plan_.channels.size(); ++i) {
        channelIndex_.emplace(plan_.channels[i].number, i);
    }
    if (!plan_.payloadLayout.empty()) {
        layout_ = plan_.payloadLayout;
    } else {
        for (uint16_t f = 0; f < plan_.scansPerNotification; ++f) {
            for (const auto& ch : plan_.channels) {
                layout_.emplace_back(ch.number, f);
            }
        }
    }
}

std::array<uint16_t, 8> AmplifierEncoder::trueConfiguration() const {
    const auto n = static_cast<uint16_t>(plan_.channels.size());
    return {plan_.samplingRate,
            n,
            24,  // converter resolution in bits
            plan_.scansPerNotification,
            static_cast<uint16_t>(payloadSize()),
            n,
            static_cast<uint16_t>(layout_.size()),
            plan_.filterRecords};
}

Bytes AmplifierEncoder::configuration() const {
    if (plan_.configurationBytes) {
        return *plan_.configurationBytes;
    }
    auto fields = trueConfiguration();
    Bytes out;
    for (size_t i = 0; i < fields.size(); ++i) {
        putU16(out, plan_.configurationOverride[i].value_or(fields[i]));
    }
    return out;
}

std::vector<Bytes> AmplifierEncoder::channelRecords() const {
    std::vector<Bytes> base;
    auto record = [](uint16_t number, uint8_t type, uint8_t reserved, float scale) {
        Bytes r;
        putU16(r, number);
        r.push_back(type);
        r.push_back(reserved);
        putF32(r, scale);
        return r;
    };
    uint16_t highest = 0;
    for (const auto& ch : plan_.channels) {
        base.push_back(record(ch.number, ch.type, ch.reserved, ch.scale));
        highest = std::max(highest, ch.number);
    }
    return applyFaults(base, plan_.channelFaults, [&](uint32_t k) {
        return record(static_cast<uint16_t>(highest + 1 + k), 1, 0, 1.0F);
    });
}

std::vector<Bytes> AmplifierEncoder::payloadRecords() const {
    std::vector<Bytes> base;
    auto record = [](uint16_t channel, uint16_t frame) {
        Bytes r;
        putU16(r, channel);
        putU16(r, frame);
        return r;
    };
    for (const auto& [channel, frame] : layout_) {
        base.push_back(record(channel, frame));
    }
    const uint16_t first = plan_.channels.front().number;
    return applyFaults(base, plan_.payloadFaults, [&](uint32_t k) {
        return record(first,
                      static_cast<uint16_t>(k % std::max<uint16_t>(1, plan_.scansPerNotification)));
    });
}

std::vector<Bytes> AmplifierEncoder::filterRecords() const {
    // key, kind (1 high-pass, 2 low-pass, 3 notch), order, two cut-off
    // frequencies in Hz, the channel mask and a reserved word.
    struct Filter {
        uint8_t kind, order;
        float low, high;
    };
    static const Filter table[] = {{1, 2, 0.1F, 0.0F},   {2, 4, 100.0F, 0.0F}, {3, 2, 49.0F, 51.0F},
                                   {3, 2, 59.0F, 61.0F}, {2, 8, 40.0F, 0.0F},  {1, 1, 0.5F, 0.0F}};
    auto record = [](uint16_t key, const Filter& f) {
        Bytes r;
        putU16(r, key);
        r.push_back(f.kind);
        r.push_back(f.order);
        putF32(r, f.low);
        putF32(r, f.high);
        putU16(r, 0xFFFF);
        putU16(r, 0);
        return r;
    };
    std::vector<Bytes> base;
    for (uint16_t i = 0; i < plan_.filterRecords; ++i) {
        base.push_back(record(static_cast<uint16_t>(i + 1), table[i % 6]));
    }
    return applyFaults(base, plan_.filterFaults, [&](uint32_t k) {
        return record(static_cast<uint16_t>(plan_.filterRecords + 1 + k), table[k % 6]);
    });
}

void AmplifierEncoder::putSample24(uint8_t* p, int32_t raw) {
    const auto u = static_cast<uint32_t>(raw) & 0xFFFFFFU;
    p[0] = static_cast<uint8_t>(u >> 16);
    p[1] = static_cast<uint8_t>((u >> 8) & 0xFF);
    p[2] = static_cast<uint8_t>(u & 0xFF);
}

int32_t AmplifierEncoder::sample(const ChannelSpec& ch, uint64_t sampleIndex) {
    const Waveform& w = ch.wave;
    if (w.kind == Waveform::Kind::Counter) {
        return static_cast<int32_t>(counter_);
    }
    if (w.kind == Waveform::Kind::Raw) {
        return w.raw;
    }
    const double t = static_cast<double>(sampleIndex) / plan_.samplingRate;
    const double arg = 2.0 * kPi * w.frequencyHz * t + w.phase;
    double v = w.offset;
    switch (w.kind) {
        case Waveform::Kind::Sine:
            v += w.amplitude * std::sin(arg);
            break;
        case Waveform::Kind::Square:
            v += std::sin(arg) >= 0 ? w.amplitude : -w.amplitude;
            break;
        case Waveform::Kind::Sawtooth: {
            const double x = w.frequencyHz * t + w.phase / (2.0 * kPi);
            v += w.amplitude * (2.0 * (x - std::floor(x)) - 1.0);
            break;
        }
        default:
            break;
    }
    if (w.noise != 0.0) {
        std::uniform_real_distribution<double> d(-w.noise, w.noise);
        v += d(rng_);
    }
    if (ch.scale == 0.0F || !std::isfinite(v / ch.scale)) {
        return 0;
    }
    const double raw = std::round(v / static_cast<double>(ch.scale));
    return static_cast<int32_t>(std::clamp(raw, double(kRawMin), double(kRawMax)));
}

uint32_t AmplifierEncoder::nextPayload(Bytes& out) {
    out.assign(payloadSize(), 0);
    for (size_t i = 0; i < layout_.size(); ++i) {
        const auto [channel, frame] = layout_[i];
        auto it = channelIndex_.find(channel);
        const int32_t raw = it == channelIndex_.end()
                                ? 0
                                : sample(plan_.channels[it->second], sampleIndex_ + frame);
        putSample24(&out[3 * i], raw);
    }
    const uint32_t carried = counter_;
    sampleIndex_ += plan_.scansPerNotification;
    ++sinceRestart_;
    if (plan_.counterRestartEvery != 0 && sinceRestart_ >= plan_.counterRestartEvery) {
        restartCounter();
    } else {
        counter_ = counter_ >= static_cast<uint32_t>(kRawMax) ? 0 : counter_ + 1;
    }
    return carried;
}

void AmplifierEncoder::skip(uint64_t notifications) {
    sampleIndex_ += notifications * plan_.scansPerNotification;
    const uint64_t every = plan_.counterRestartEvery;
    uint64_t steps = notifications;
    if (every != 0 && sinceRestart_ + steps >= every) {
        steps = (sinceRestart_ + steps) % every;
        restartCounter();
    }
    sinceRestart_ = static_cast<uint32_t>(sinceRestart_ + steps);
    const uint64_t period = static_cast<uint64_t>(kRawMax) + 1;
    counter_ = static_cast<uint32_t>((counter_ + steps % period) % period);
}

void AmplifierEncoder::restartCounter() {
    counter_ = plan_.counterStart;
    sinceRestart_ = 0;
}

}  // namespace tavosim
