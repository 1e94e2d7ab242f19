#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "ApiException.h"
#include "ProtocolTestSupport.h"
#include "ScanAssembler.h"

using namespace Tavo::BLE;
using namespace Tavo::BLE::Testing;

namespace {

// Eight channels, channel 8 counts payloads, two frames: 16 samples, 48 bytes.
// Channel c carries raw value 10 c + frame at scale 0.5.
std::string EightChannelPayload(int32_t counter, size_t extraBytes = 0) {
    std::vector<int32_t> samples;
    for (int32_t frame = 0; frame < 2; ++frame) {
        for (int32_t channel = 1; channel <= 8; ++channel) {
            samples.push_back(channel == 8 ? counter : 10 * channel + frame);
        }
    }
    return PayloadBytes(samples, extraBytes);
}

struct Assembled {
    DeviceConfiguration configuration;
    std::unique_ptr<ScanAssembler> assembler;
    RecordingSink sink;

    explicit Assembled(const Layout& layout, uint32_t maxFillers = ScanAssembler::MaxFillerScans) {
        Configure(configuration, layout);
        assembler = std::make_unique<ScanAssembler>(configuration, maxFillers);
    }
    void Feed(const std::string& payload, uint8_t battery = 80) {
        assembler->OnData(payload, battery, sink);
    }
};

// (sample number, data-valid) of every scan delivered.
std::vector<std::pair<float, float>> Numbers(const RecordingSink& sink, size_t counterColumn) {
    std::vector<std::pair<float, float>> numbers;
    for (const auto& scan : sink.scans) {
        numbers.emplace_back(scan[counterColumn], scan.back());
    }
    return numbers;
}

}  // namespace

TEST(DecodePayloadTest, SamplesAreBigEndian24BitTwosComplementTimesTheirScale) {
    struct Case {
        std::string bytes;
        float expected;  // at scale 0.5
    } cases[] = {
        {std::string("\x7F\xFF\xFF", 3), 8388607.0f * 0.5f},
        {std::string("\x80\x00\x00", 3), -8388608.0f * 0.5f},
        {std::string("\xFF\xFF\xFF", 3), -0.5f},
        {std::string("\x00\x00\x01", 3), 0.5f},
        {std::string("\x00\x00\x00", 3), 0.0f},
        {std::string("\x12\x34\x56", 3), 0x123456 * 0.5f},
    };
    for (const auto& c : cases) {
        float out = 99.0f;
        const float scale = 0.5f;
        DecodePayload(c.bytes, 3, &out, 1, &scale);
        EXPECT_EQ(out, c.expected);
    }
    // Up to two bytes after the last sample are ignored.
    float out[2];
    const float scales[2] = {1.0f, -2.0f};
    DecodePayload(PayloadBytes({-3, 7}, 2), 8, out, 2, scales);
    EXPECT_EQ(out[0], -3.0f);
    EXPECT_EQ(out[1], -14.0f);
}

TEST(DecodePayloadTest, SizeMismatchesThrowTheirOwnCodes) {
    float out[16];
    const float scales[16] = {};
    try {
        DecodePayload(std::string(47, '\0'), 48, out, 16, scales);
        ADD_FAILURE();
    } catch (const ApiException& e) {
        EXPECT_EQ(e.ErrorCode(), ErrorCode::PayloadSize);
        EXPECT_STREQ(e.what(), "Invalid payload size.");
    }
    try {
        DecodePayload(std::string(51, '\0'), 51, out, 16, scales);
        ADD_FAILURE();
    } catch (const ApiException& e) {
        EXPECT_EQ(e.ErrorCode(), ErrorCode::Session);
        EXPECT_STREQ(e.what(), "Invalid buffer size.");
    }
}

TEST(ScanAssemblerTest, EachNotificationGivesOneScanPerFrame) {
    Assembled a(DenseLayout(8, 2, 8));
    a.Feed(EightChannelPayload(1), 87);
    ASSERT_EQ(a.sink.scans.size(), 2u);
    for (size_t frame = 0; frame < 2; ++frame) {
        const auto& scan = a.sink.scans[frame];
        ASSERT_EQ(scan.size(), 10u);
        for (size_t column = 0; column < 7; ++column) {
            EXPECT_EQ(scan[column],
                      (10.0f * static_cast<float>(column + 1) + static_cast<float>(frame)) * 0.5f);
        }
        EXPECT_EQ(scan[7], static_cast<float>(frame + 1));  // running sample number
        EXPECT_EQ(scan[8], 87.0f);
        EXPECT_EQ(scan[9], 1.0f);
    }
    a.Feed(EightChannelPayload(2), 255);
    ASSERT_EQ(a.sink.scans.size(), 4u);
    EXPECT_EQ(a.sink.scans[3][8], 255.0f);
}

TEST(ScanAssemblerTest, NotificationsOfTheWrongSizeAreDroppedSilently) {
    Assembled a(DenseLayout(8, 2, 8));
    a.Feed(EightChannelPayload(1));
    const auto previous = a.assembler->PreviousScans();
    for (const std::string& payload :
         {EightChannelPayload(2).substr(0, 47), EightChannelPayload(2, 1), std::string()}) {
        EXPECT_NO_THROW(a.Feed(payload));
    }
    EXPECT_EQ(a.sink.scans.size(), 2u);
    EXPECT_EQ(a.assembler->PreviousScans(), previous);
    a.Feed(EightChannelPayload(2));  // no fillers: nothing was counted as lost
    EXPECT_EQ(a.sink.scans.size(), 4u);
}

TEST(ScanAssemblerTest, APayloadCountThatDoesNotFitThePayloadSizeFailsEveryNotification) {
    Layout layout = DenseLayout(8, 2, 8);
    layout.payloadSize = 51;  // 17 samples' room for 16 records
    Assembled a(layout);
    for (int i = 0; i < 2; ++i) {
        try {
            a.Feed(EightChannelPayload(1, 3));
            ADD_FAILURE();
        } catch (const ApiException& e) {
            EXPECT_EQ(e.ErrorCode(), ErrorCode::Session);
            EXPECT_STREQ(e.what(), "Invalid buffer size.");
        }
    }
    EXPECT_NO_THROW(a.Feed(EightChannelPayload(1)));  // wrong size: dropped first
    EXPECT_TRUE(a.sink.scans.empty());
}

TEST(ScanAssemblerTest, LostSamplesAreFilledFromTheCounter) {
    struct Case {
        const char* what;
        std::vector<int32_t> counters;
        std::vector<std::pair<float, float>> scans;  // sample number, data valid
    } cases[] = {
        {"consecutive", {1, 2, 3}, {{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}}},
        {"one payload lost", {1, 3}, {{1, 1}, {2, 1}, {3, 0}, {4, 0}, {5, 1}, {6, 1}}},
        {"backwards",
         {5, 3},
         {{1, 0},
          {2, 0},
          {3, 0},
          {4, 0},
          {5, 0},
          {6, 0},
          {7, 0},
          {8, 0},
          {9, 1},
          {10, 1},
          {5, 1},
          {6, 1}}},
        {"repeated", {1, 1}, {{1, 1}, {2, 1}, {1, 1}, {2, 1}}},
        {"first counter 2", {2}, {{1, 0}, {2, 0}, {3, 1}, {4, 1}}},
    };
    for (const auto& c : cases) {
        Assembled a(DenseLayout(8, 2, 8));
        for (int32_t counter : c.counters) {
            a.Feed(EightChannelPayload(counter));
        }
        EXPECT_EQ(Numbers(a.sink, 7), c.scans) << c.what;
    }
}

TEST(ScanAssemblerTest, FillerScansAreCopiesOfTheLastScanMarkedInvalid) {
    Assembled a(DenseLayout(8, 2, 8));
    a.Feed(EightChannelPayload(1), 60);
    a.Feed(EightChannelPayload(3), 50);
    ASSERT_EQ(a.sink.scans.size(), 6u);
    for (size_t filler : {2u, 3u}) {
        auto expected = a.sink.scans[1];
        expected[7] = static_cast<float>(filler + 1);
        expected[9] = 0.0f;
        EXPECT_EQ(a.sink.scans[filler], expected);
    }
    EXPECT_EQ(a.sink.scans[4][8], 50.0f);
}

TEST(ScanAssemblerTest, PreviousScansSurviveAPauseInStreaming) {
    Assembled a(DenseLayout(8, 2, 8));
    a.Feed(EightChannelPayload(1));
    // The application removes and re-registers its callback; the amplifier's
    // counter went on meanwhile: one filler per sample number in between.
    RecordingSink later;
    a.assembler->OnData(EightChannelPayload(4), 80, later);
    std::vector<std::pair<float, float>> expected = {{3, 0}, {4, 0}, {5, 0},
                                                     {6, 0}, {7, 1}, {8, 1}};
    EXPECT_EQ(Numbers(later, 7), expected);
    // A counter that restarted at 1 gives no fillers.
    RecordingSink restarted;
    a.assembler->OnData(EightChannelPayload(1), 80, restarted);
    expected = {{1, 1}, {2, 1}};
    EXPECT_EQ(Numbers(restarted, 7), expected);
}

TEST(ScanAssemblerTest, SparseChannelsHoldTheirLastValue) {
    Layout layout;
    layout.channels = {{1, 1.0f}, {1, 1.0f}, {5, 1.0f}};
    // Channel 2 only in frame 0, counter only in frames 0 and 1 of 3.
    layout.samples = {{1, 0}, {2, 0}, {3, 0}, {1, 1}, {3, 1}, {1, 2}};
    Assembled a(layout);
    EXPECT_EQ(a.configuration.Frames(), 3);
    a.Feed(PayloadBytes({100, 200, 1, 101, 1, 102}));
    a.Feed(PayloadBytes({110, 210, 2, 111, 2, 112}));
    ASSERT_EQ(a.sink.scans.size(), 6u);
    const std::vector<std::vector<float>> expected = {
        {100, 200, 1, 80, 1}, {101, 200, 2, 80, 1}, {102, 200, 3, 80, 1},
        {110, 210, 4, 80, 1}, {111, 210, 5, 80, 1}, {112, 210, 6, 80, 1},
    };
    EXPECT_EQ(a.sink.scans, expected);
}

TEST(ScanAssemblerTest, WithoutACounterChannelNoFillersAreMade) {
    Assembled a(DenseLayout(3, 2, 0));
    EXPECT_EQ(a.assembler->CounterColumn(), -1);
    a.Feed(PayloadBytes({9000, 1, 2, 9001, 1, 2}));
    a.Feed(PayloadBytes({5, 1, 2, 6000000, 1, 2}));
    ASSERT_EQ(a.sink.scans.size(), 4u);
    for (const auto& scan : a.sink.scans) {
        EXPECT_EQ(scan.back(), 1.0f);
    }
}

TEST(ScanAssemblerTest, TheHighestCounterColumnDetectsGaps) {
    Layout layout;
    layout.channels = {{5, 1.0f}, {5, 1.0f}};
    layout.samples = {{1, 0}, {2, 0}};
    Assembled a(layout);
    EXPECT_EQ(a.assembler->CounterColumn(), 1);
    a.Feed(PayloadBytes({50, 1}));
    a.Feed(PayloadBytes({1, 3}));  // column 0 is converted but not compared
    EXPECT_EQ(Numbers(a.sink, 1), (std::vector<std::pair<float, float>>{{1, 1}, {2, 0}, {3, 1}}));
    EXPECT_EQ(a.sink.scans[2][0], 1.0f);
}

TEST(ScanAssemblerTest, HostileCountersCannotRunAwayWithTheNotificationThread) {
    struct Case {
        float scale;
        int32_t counter;
        size_t scans;
    } cases[] = {
        {1.0f, 8388607, 7 + 1},  // huge jump: capped at 7 fillers
        {std::numeric_limits<float>::infinity(), 2, 7 + 1},
        {std::numeric_limits<float>::quiet_NaN(), 2, 1},
        {-1.0f, 5, 1},
    };
    for (const auto& c : cases) {
        Layout layout;
        layout.channels = {{5, c.scale}};
        layout.samples = {{1, 0}};
        Assembled a(layout, 7);
        a.Feed(PayloadBytes({c.counter}));
        EXPECT_EQ(a.sink.scans.size(), c.scans) << c.counter << " at scale " << c.scale;
    }
}

// Overnight recordings pass 2^24 sample numbers, where float32 stops being
// exact, and the 24-bit counter itself rolls over after 2^23 payloads. The
// fillers must still match the lost scans one for one.
TEST(ScanAssemblerTest, FillersStayExactPastFloatPrecisionAndCounterRollover) {
    struct Case {
        const char* what;
        std::vector<int32_t> counters;
        size_t fillers;  // after the first notification
    } cases[] = {
        // 4 (c - 1) + 1 passes 2^24 at c = 4194305; 563 payloads lost after it.
        {"past 2^24", {4194300, 4194301, 4194310, 4194311 + 563, 4194312 + 563}, 4 * 8 + 4 * 563},
        // 0x7FFFFF is followed by 0x800000, read as -2^23.
        {"rollover, nothing lost", {8388606, 8388607, -8388608, -8388607}, 0},
        {"rollover, 10 lost", {8388605, -8388608 + 8, -8388608 + 9}, 4 * 10},
        {"restart after a pause", {8388000, 1, 2}, 0},
    };
    Layout layout;
    layout.channels = {{5, 1.0f}};
    layout.samples = {{1, 0}, {1, 1}, {1, 2}, {1, 3}};
    for (const auto& c : cases) {
        Assembled a(layout, 5000);
        a.Feed(PayloadBytes({c.counters[0], c.counters[0], c.counters[0], c.counters[0]}));
        a.sink.scans.clear();
        for (size_t i = 1; i < c.counters.size(); ++i) {
            const int32_t n = c.counters[i];
            a.Feed(PayloadBytes({n, n, n, n}));
        }
        size_t fillers = 0;
        float previous = -1.0f;
        for (const auto& scan : a.sink.scans) {
            fillers += scan.back() == 0.0f ? 1u : 0u;
            if (std::string(c.what) != "restart after a pause") {
                EXPECT_GE(scan[0], previous) << c.what;  // never jumps back
            }
            previous = scan[0];
        }
        EXPECT_EQ(fillers, c.fillers) << c.what;
        EXPECT_EQ(a.sink.scans.size() - fillers, 4 * (c.counters.size() - 1)) << c.what;
    }
}

// A reconnect brings a new description of the same scans: four frames per
// notification instead of two, and another scale. The numbers go on from the
// last scan; a lost notification is four filler scans, repeating that scan.
TEST(ScanAssemblerTest, ANewDescriptionContinuesTheNumbersAndFillers) {
    Assembled before(DenseLayout(8, 2, 8));
    before.Feed(EightChannelPayload(7));  // fillers 1 to 12, then 13 and 14
    Layout wider = DenseLayout(8, 4, 8);
    wider.channels[0].scale = 2.0f;
    Assembled after(wider);
    after.assembler->ContinueFrom(*before.assembler);
    std::vector<int32_t> samples;
    for (int32_t frame = 0; frame < 4; ++frame) {
        for (int32_t channel = 1; channel <= 8; ++channel) {
            samples.push_back(channel == 8 ? 9 : 100 + frame);
        }
    }
    after.Feed(PayloadBytes(samples));  // counter 8 lost
    const std::vector<std::pair<float, float>> expected = {{15, 0}, {16, 0}, {17, 0}, {18, 0},
                                                           {19, 1}, {20, 1}, {21, 1}, {22, 1}};
    EXPECT_EQ(Numbers(after.sink, 7), expected);
    EXPECT_EQ(after.sink.scans[0][0], before.sink.scans.back()[0])
        << "a filler repeats the last scan";
    EXPECT_EQ(after.sink.scans[4][0], 200.0f) << "decoded with the new scale";
    EXPECT_EQ(after.sink.scans[7][0], 206.0f);
}
