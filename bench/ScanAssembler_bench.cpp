// Cost of one data notification on the notification thread: decode and
// assemble into scans, delivered to a sink that does nothing. Baselines from
// the same run: copying the payload, and the decode step alone.

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "ProtocolTestSupport.h"
#include "ScanAssembler.h"

using namespace Tavo::BLE;
using namespace Tavo::BLE::Testing;

namespace {

class DiscardingSink : public ScanSink {
  public:
    void DeliverScan(const float* scan, uint32_t count) override {
        benchmark::DoNotOptimize(scan);
        benchmark::DoNotOptimize(count);
    }
};

// Layouts: 8 channels in 2 frames (48-byte payload, 16 samples), and 62
// channels in 1 frame (186 bytes, the widest scan that fits channelTypes).
struct Stream {
    uint16_t channels;
    uint16_t frames;
    DeviceConfiguration configuration;
    std::string payload;
    std::vector<size_t> counterOffsets;  // where the counter's 3 bytes sit
    int32_t counter = 0;

    Stream(uint16_t channelCount, uint16_t frameCount)
        : channels(channelCount), frames(frameCount) {
        Configure(configuration, DenseLayout(channels, frames, channels));
        std::vector<int32_t> samples;
        for (uint16_t f = 0; f < frames; ++f) {
            for (uint16_t c = 1; c <= channels; ++c) {
                samples.push_back(c == channels ? 1 : (c * 1000 + f) * (c % 2 ? 1 : -1));
                if (c == channels) {
                    counterOffsets.push_back(3 * (samples.size() - 1));
                }
            }
        }
        payload = PayloadBytes(samples);
    }

    // The next payload: the amplifier's counter goes up by one, so no sample
    // is lost and no filler is made.
    void Advance() {
        ++counter;
        for (size_t offset : counterOffsets) {
            payload[offset] = static_cast<char>((counter >> 16) & 0xFF);
            payload[offset + 1] = static_cast<char>((counter >> 8) & 0xFF);
            payload[offset + 2] = static_cast<char>(counter & 0xFF);
        }
    }
};

void Report(benchmark::State& state, const Stream& stream) {
    state.counters["scans/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * stream.frames, benchmark::Counter::kIsRate);
    state.SetItemsProcessed(state.iterations());
}

void BM_CopyPayload(benchmark::State& state) {
    Stream stream(static_cast<uint16_t>(state.range(0)), static_cast<uint16_t>(state.range(1)));
    std::vector<char> copy(stream.payload.size());
    for (auto _ : state) {
        stream.Advance();
        std::memcpy(copy.data(), stream.payload.data(), copy.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    Report(state, stream);
}

void BM_DecodeOnly(benchmark::State& state) {
    Stream stream(static_cast<uint16_t>(state.range(0)), static_cast<uint16_t>(state.range(1)));
    const auto& amplifier = stream.configuration.Amplifier();
    std::vector<float> scales(amplifier.payloadConfigurationCount, 0.5f);
    std::vector<float> decoded(amplifier.payloadConfigurationCount);
    for (auto _ : state) {
        stream.Advance();
        DecodePayload(stream.payload, amplifier.payloadSize, decoded.data(),
                      amplifier.payloadConfigurationCount, scales.data());
        benchmark::DoNotOptimize(decoded.data());
        benchmark::ClobberMemory();
    }
    Report(state, stream);
}

void BM_DecodeAndAssemble(benchmark::State& state) {
    Stream stream(static_cast<uint16_t>(state.range(0)), static_cast<uint16_t>(state.range(1)));
    ScanAssembler assembler(stream.configuration);
    DiscardingSink sink;
    for (auto _ : state) {
        stream.Advance();
        assembler.OnData(stream.payload, 90, sink);
    }
    Report(state, stream);
}

}  // namespace

BENCHMARK(BM_CopyPayload)->Args({8, 2})->Args({62, 1});
BENCHMARK(BM_DecodeOnly)->Args({8, 2})->Args({62, 1});
BENCHMARK(BM_DecodeAndAssemble)->Args({8, 2})->Args({62, 1});

BENCHMARK_MAIN();
