// The amplifier's encoding, checked byte by byte against the record formats,
// and the scenario parser's handling of faults and mistakes.
#include <gtest/gtest.h>

#include <cstring>

#include "Encoder.h"
#include "Scenario.h"

using tavosim::AmplifierEncoder;
using tavosim::AmplifierSpec;
using tavosim::Bytes;

namespace {

uint16_t u16(const Bytes& b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

float f32(const Bytes& b, size_t at) {
    uint32_t u = 0;
    for (int i = 3; i >= 0; --i) {
        u = (u << 8) | b[at + static_cast<size_t>(i)];
    }
    float f = 0;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

int32_t sample(const Bytes& b, size_t index) {
    const uint32_t raw = (static_cast<uint32_t>(b[3 * index]) << 16) |
                         (static_cast<uint32_t>(b[3 * index + 1]) << 8) | b[3 * index + 2];
    return (raw & 0x800000U) != 0 ? static_cast<int32_t>(raw | 0xFF000000U)
                                  : static_cast<int32_t>(raw);
}

}  // namespace

TEST(Encoder, DefaultAmplifierConfigurationAndRecords) {
    const AmplifierSpec plan = tavosim::defaultAmplifier();
    AmplifierEncoder enc(plan, 1);
    const Bytes config = enc.configuration();
    ASSERT_EQ(config.size(), 16U);
    EXPECT_EQ(u16(config, 0), 250);  // samplingRate
    EXPECT_EQ(u16(config, 2), 8);    // numberOfChannels
    EXPECT_EQ(u16(config, 8), 48);   // payloadSize
    EXPECT_EQ(u16(config, 10), 8);   // channelConfigurationCount
    EXPECT_EQ(u16(config, 12), 16);  // payloadConfigurationCount
    EXPECT_EQ(u16(config, 14), 3);   // filterConfigurationCount

    const auto channels = enc.channelRecords();
    ASSERT_EQ(channels.size(), 8U);
    for (size_t i = 0; i < channels.size(); ++i) {
        ASSERT_EQ(channels[i].size(), 8U);
        EXPECT_EQ(u16(channels[i], 0), i + 1);
        EXPECT_EQ(channels[i][2], i == 7 ? 5 : 1);
    }
    EXPECT_FLOAT_EQ(f32(channels[7], 4), 1.0F);
    EXPECT_GT(f32(channels[0], 4), 0.0F);

    const auto payload = enc.payloadRecords();
    ASSERT_EQ(payload.size(), 16U);
    for (size_t i = 0; i < payload.size(); ++i) {
        ASSERT_EQ(payload[i].size(), 4U);
        EXPECT_EQ(u16(payload[i], 0), i % 8 + 1);  // channel
        EXPECT_EQ(u16(payload[i], 2), i / 8);      // frame
    }
    const auto filters = enc.filterRecords();
    ASSERT_EQ(filters.size(), 3U);
    for (size_t i = 0; i < filters.size(); ++i) {
        EXPECT_EQ(filters[i].size(), 16U);
        EXPECT_EQ(u16(filters[i], 0), i + 1);
    }
}

TEST(Encoder, DataCarriesBigEndian24BitSamplesAndACounterPerPacket) {
    AmplifierSpec plan = tavosim::defaultAmplifier();
    plan.channels[0].wave = {tavosim::Waveform::Kind::Raw, 0, 0, 0, 0, 0, -8388608};
    plan.channels[1].wave = {tavosim::Waveform::Kind::Raw, 0, 0, 0, 0, 0, 8388607};
    plan.channels[2].wave = {tavosim::Waveform::Kind::Raw, 0, 0, 0, 0, 0, -1};
    AmplifierEncoder enc(plan, 1);
    Bytes p;
    for (uint32_t packet = 1; packet <= 3; ++packet) {
        EXPECT_EQ(enc.nextPayload(p), packet);
        ASSERT_EQ(p.size(), 48U);
        EXPECT_EQ(sample(p, 7), static_cast<int32_t>(packet));   // frame 0 counter
        EXPECT_EQ(sample(p, 15), static_cast<int32_t>(packet));  // frame 1 counter
    }
    EXPECT_EQ((Bytes{p[0], p[1], p[2]}), (Bytes{0x80, 0x00, 0x00}));
    EXPECT_EQ((Bytes{p[3], p[4], p[5]}), (Bytes{0x7F, 0xFF, 0xFF}));
    EXPECT_EQ((Bytes{p[6], p[7], p[8]}), (Bytes{0xFF, 0xFF, 0xFF}));
}

TEST(Encoder, SineChannelsStayWithinTheirAmplitude) {
    const AmplifierSpec plan = tavosim::defaultAmplifier();
    AmplifierEncoder enc(plan, 7);
    Bytes p;
    double peak = 0;
    for (int i = 0; i < 200; ++i) {
        enc.nextPayload(p);
        const double uv = sample(p, 0) * static_cast<double>(plan.channels[0].scale);
        peak = std::max(peak, std::abs(uv));
        EXPECT_LE(std::abs(uv),
                  plan.channels[0].wave.amplitude + plan.channels[0].wave.noise + 0.1);
    }
    EXPECT_GT(peak, plan.channels[0].wave.amplitude * 0.8);  // it does swing
}

TEST(Encoder, CounterStartRestartAndTruncatedRecords) {
    AmplifierSpec plan = tavosim::parseAmplifier(R"({
        "name": "UX-0009.00.01", "counter": {"start": 100, "restartEvery": 3},
        "faults": {"channelRecords": {"omit": [1], "duplicate": [0], "extra": 2, "truncate": {"3": 5}},
                   "configuration": {"numberOfChannels": 7}, "payloadRecords": {"records": [[1, 0, 0, 0]]}}})");
    AmplifierEncoder enc(plan, 1);
    Bytes p;
    std::vector<uint32_t> counters;
    for (int i = 0; i < 7; ++i) {
        counters.push_back(enc.nextPayload(p));
    }
    EXPECT_EQ(counters, (std::vector<uint32_t>{100, 101, 102, 100, 101, 102, 100}));

    const auto records = enc.channelRecords();
    std::vector<uint16_t> numbers;
    for (const auto& r : records) {
        numbers.push_back(u16(r, 0));
    }
    // 1 twice, 2 omitted, 3..8, then extra channels 9 and 10.
    EXPECT_EQ(numbers, (std::vector<uint16_t>{1, 1, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(records[3].size(), 5U);  // record index 3 (channel 4) cut short
    EXPECT_EQ(u16(enc.configuration(), 2), 7);
    EXPECT_EQ(u16(enc.configuration(), 10), 8);
    EXPECT_EQ(enc.payloadRecords(), (std::vector<Bytes>{{1, 0, 0, 0}}));
}

TEST(Scenario, RawDeviceInformationBytes) {
    const AmplifierSpec plan = tavosim::parseAmplifier(R"({"name": "UX-0001.00.02",
        "deviceInformation": {"modelNumber": {"repeat": "A", "count": 300},
                              "manufacturerName": {"hex": "ff fe 00 41"}, "hardwareRevision": [195, 40]}})");
    EXPECT_EQ(plan.modelNumber, Bytes(300, 'A'));
    EXPECT_EQ(plan.manufacturerName, (Bytes{0xFF, 0xFE, 0x00, 0x41}));
    EXPECT_EQ(plan.hardwareRevision, (Bytes{195, 40}));
    EXPECT_EQ(plan.serialNumber,
              (Bytes{'U', 'X', '-', '0', '0', '0', '1', '.', '0', '0', '.', '0', '2'}));
}

TEST(Scenario, MistakesAreReportedWithTheirKey) {
    const struct {
        const char* json;
        const char* mentions;
    } cases[] = {
        {R"({"amplifiers": [{"name": "A", "fautls": {}}]})", "fautls"},
        {R"({"amplifiers": [{"name": "A", "faults": {"dropEvry": 3}}]})", "dropEvry"},
        {R"({"amplifiers": [{"name": "A", "samplingRate": 0}]})", "samplingRate"},
        {R"({"amplifiers": [{"name": "A", "address": "nonsense"}]})", "address"},
        {R"({"amplifiers": [{"name": "A"}, {"name": "A"}]})", "two amplifiers"},
        {R"({"timing": {"rssiIntervalMs": -1}})", "rssiIntervalMs"},
        {R"({"amplifiers": [{"name": "A", "deviceInformation": {"modelNumber": {"hex": "abc"}}}]})",
         "hex"},
        {R"({"amplifiers": [{"name": "A", "channels": [{"waveform": "triangle"}]}]})", "triangle"},
        {R"({"amplifiers": [)", "JSON"},
    };
    for (const auto& c : cases) {
        try {
            tavosim::parseScenario(c.json);
            ADD_FAILURE() << "accepted: " << c.json;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.mentions), std::string::npos) << e.what();
        }
    }
}

TEST(Scenario, DefaultsAndAdapters) {
    const auto s =
        tavosim::parseScenario(R"({"adapters": [{}, {"powered": false}], "amplifiers": []})");
    ASSERT_EQ(s.adapters.size(), 2U);
    EXPECT_EQ(s.adapters[0].id, "hci0");
    EXPECT_EQ(s.adapters[1].id, "hci1");
    EXPECT_NE(s.adapters[0].address, s.adapters[1].address);
    EXPECT_FALSE(s.adapters[1].powered);
    EXPECT_TRUE(s.amplifiers.empty());
    EXPECT_EQ(tavosim::fullUuid("180A"), "0000180a-0000-1000-8000-00805f9b34fb");
    EXPECT_EQ(tavosim::addressFor("UX-0001.00.01"), tavosim::addressFor("UX-0001.00.01"));
    EXPECT_NE(tavosim::addressFor("UX-0001.00.01"), tavosim::addressFor("UX-0001.00.02"));
}

TEST(Scenario, ShippedExamplesLoad) {
    for (const char* name :
         {"default", "lab", "waveforms", "bad-configuration", "bad-records", "flaky-link",
          "hostile-strings", "battery-service", "adapters", "no-adapter", "benchmark",
          "serial-differs", "same-name-impostor", "unicode-and-escapes", "long-recording"}) {
        const std::string file = std::string(TAVOBLE_SIM_SCENARIO_DIR) + "/" + name + ".json";
        EXPECT_NO_THROW(tavosim::loadScenario(file)) << file;
    }
}
