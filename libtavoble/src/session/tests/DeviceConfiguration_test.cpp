#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "ApiException.h"
#include "DeviceConfiguration.h"
#include "ProtocolTestSupport.h"

using namespace Tavo::BLE;
using namespace Tavo::BLE::Testing;

namespace {

constexpr char InvalidAmplifier[] = "Invalid amplifier configuration.";
constexpr char InvalidPayload[] = "Invalid payload configuration.";
constexpr char InvalidChannel[] = "Invalid channel configuration.";

std::string ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const ApiException& e) {
        EXPECT_EQ(e.ErrorCode(), ErrorCode::Session) << e.what();
        return e.what();
    }
    return "";
}

// Payload records (channel, frame) for every channel in every frame.
std::vector<std::pair<uint16_t, uint16_t>> Dense(uint16_t channels, uint16_t frames) {
    return DenseLayout(channels, frames, 0).samples;
}

}  // namespace

TEST(DeviceConfigurationTest, AmplifierConfigurationChecksRunInOrder) {
    struct Case {
        std::string value;
        const char* error;  // "" for accepted
    } cases[] = {
        {AmplifierBytes(500, 8, 48, 8, 16, 0).substr(0, 15), InvalidAmplifier},
        {"", InvalidAmplifier},
        {AmplifierBytes(500, 8, 48, 7, 16, 0), InvalidAmplifier},
        {AmplifierBytes(500, 8, 48, 7, 0, 0), InvalidAmplifier},
        {AmplifierBytes(500, 8, 48, 8, 0, 0), InvalidPayload},
        {AmplifierBytes(500, 0, 72, 0, 24, 0), InvalidChannel},
        {AmplifierBytes(500, 0, 0, 0, 0, 0), InvalidPayload},
        {AmplifierBytes(500, 8, 48, 8, 16, 0), ""},
        {AmplifierBytes(500, 8, 48, 8, 16, 3) + "trailing bytes", ""},
    };
    for (const auto& c : cases) {
        DeviceConfiguration configuration;
        EXPECT_EQ(ErrorOf([&] { configuration.SetAmplifierConfiguration(c.value); }), c.error)
            << "value of " << c.value.size() << " bytes";
    }
    DeviceConfiguration configuration;
    configuration.SetAmplifierConfiguration(AmplifierBytes(250, 8, 49, 8, 16, 2));
    EXPECT_EQ(configuration.Amplifier().samplingRate, 250);
    EXPECT_EQ(configuration.Amplifier().payloadSize, 49);
    EXPECT_EQ(configuration.Amplifier().filterConfigurationCount, 2);
}

TEST(DeviceConfigurationTest, ChannelRecordsAreCountedNotDeduplicatedAndShortOnesIgnored) {
    DeviceConfiguration configuration;
    configuration.SetAmplifierConfiguration(AmplifierBytes(500, 8, 48, 8, 16, 0));
    configuration.OnChannelConfiguration(ChannelBytes(1, 1, 1.0f).substr(0, 7));
    for (uint16_t c = 1; c <= 7; ++c) {
        configuration.OnChannelConfiguration(ChannelBytes(c, 1, 0.5f));
    }
    EXPECT_EQ(configuration.ChannelRecordsReceived(), 7);
    EXPECT_FALSE(configuration.Received());
    configuration.OnChannelConfiguration(ChannelBytes(3, 7, 2.0f));
    EXPECT_EQ(configuration.ChannelRecordsReceived(), 8);
    EXPECT_TRUE(configuration.Received());
    const auto channels = configuration.Channels();
    EXPECT_EQ(channels.size(), 7u);
    EXPECT_EQ(channels.at(3).channelType, 7);  // the later record wins
    EXPECT_EQ(channels.at(3).scaleFactor, 2.0f);
}

TEST(DeviceConfigurationTest, PayloadListHoldsExactlyTheAnnouncedCount) {
    DeviceConfiguration configuration;
    configuration.SetAmplifierConfiguration(AmplifierBytes(500, 2, 9, 2, 3, 0));
    configuration.OnPayloadConfiguration("\x01\x00\x00");  // short: ignored
    for (uint16_t i = 0; i < 5; ++i) {
        configuration.OnPayloadConfiguration(PayloadRecordBytes(static_cast<uint16_t>(i + 1), i));
    }
    EXPECT_TRUE(configuration.Received());
    EXPECT_EQ(configuration.PayloadRecordsReceived(), 5);
    const auto payloads = configuration.Payloads();
    ASSERT_EQ(payloads.size(), 3u);
    EXPECT_EQ(payloads[2].channelNumber, 3);
    EXPECT_EQ(payloads[2].frameIndex, 2);
}

TEST(DeviceConfigurationTest, FilterRecordsAreKeptByKey) {
    DeviceConfiguration configuration;
    configuration.SetAmplifierConfiguration(AmplifierBytes(500, 1, 3, 1, 1, 2));
    configuration.OnFilterConfiguration(FilterBytes(1, 0x11).substr(0, 15));  // short: ignored
    configuration.OnFilterConfiguration(FilterBytes(1, 0x11));
    EXPECT_FALSE(configuration.Received());
    configuration.OnFilterConfiguration(FilterBytes(1, 0x22));
    EXPECT_TRUE(configuration.Received());
    EXPECT_EQ(configuration.FilterRecordsReceived(), 2);
    const auto filters = configuration.Filters();
    ASSERT_EQ(filters.size(), 1u);
    EXPECT_EQ(filters.at(1).data[0], 0x22);
}

TEST(DeviceConfigurationTest, WaitReturnsAtOnceWhenEverythingArrivedAndTimesOutOtherwise) {
    DeviceConfiguration configuration;
    configuration.SetAmplifierConfiguration(AmplifierBytes(500, 1, 3, 1, 1, 0));
    std::unique_lock<std::mutex> lock(configuration.Mutex());
    configuration.ClearReceived();
    configuration.OnChannelConfiguration(ChannelBytes(1, 5, 1.0f));
    EXPECT_TRUE(configuration.WaitReceived(lock));
    EXPECT_TRUE(lock.owns_lock());

    configuration.ClearReceived();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(configuration.WaitReceived(lock));
    EXPECT_GE(std::chrono::steady_clock::now() - start, DeviceConfiguration::CollectionTimeout);
    EXPECT_TRUE(lock.owns_lock());
}

TEST(DeviceConfigurationTest, EachObjectHasItsOwnReceivedFlag) {
    DeviceConfiguration first, second;
    first.SetAmplifierConfiguration(AmplifierBytes(500, 1, 3, 1, 1, 0));
    second.SetAmplifierConfiguration(AmplifierBytes(500, 1, 3, 1, 1, 0));
    std::unique_lock<std::mutex> lock(second.Mutex());
    second.ClearReceived();
    first.OnChannelConfiguration(ChannelBytes(1, 1, 1.0f));
    EXPECT_TRUE(first.Received());
    EXPECT_FALSE(second.WaitReceived(lock));
}

// The handlers run on the notification thread while the connect thread waits
// holding Mutex(); the connect thread then "unsubscribes" by waiting for the
// handler thread to finish, still holding Mutex(). A handler that took
// Mutex() would deadlock here.
TEST(DeviceConfigurationTest, HandlersOnAnotherThreadWakeTheWaiterWithoutItsMutex) {
    const Layout layout = DenseLayout(8, 2, 8);
    for (int round = 0; round < 20; ++round) {
        DeviceConfiguration configuration;
        configuration.SetAmplifierConfiguration(AmplifierBytes(500, 8, 48, 8, 16, 0));
        std::unique_lock<std::mutex> lock(configuration.Mutex());
        configuration.ClearReceived();
        auto handlers = std::async(std::launch::async, [&] {
            for (uint16_t c = 1; c <= 8; ++c) {
                configuration.OnChannelConfiguration(
                    ChannelBytes(c, layout.channels[c - 1].type, layout.channels[c - 1].scale));
                if (round % 2 == 0) {
                    std::this_thread::yield();
                }
            }
        });
        EXPECT_TRUE(configuration.WaitReceived(lock));
        ASSERT_EQ(handlers.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        configuration.ClearReceived();

        handlers = std::async(std::launch::async, [&] {
            for (const auto& sample : layout.samples) {
                configuration.OnPayloadConfiguration(
                    PayloadRecordBytes(sample.first, sample.second));
            }
        });
        EXPECT_TRUE(configuration.WaitReceived(lock));
        ASSERT_EQ(handlers.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        configuration.ClearReceived();

        TAVOBLE_DEVICE_INFORMATION info{};
        configuration.Derive(info);
        EXPECT_EQ(configuration.Frames(), 2);
    }
}

TEST(DeviceConfigurationTest, FrameCountsComeFromEachChannelsLastPayloadRecord) {
    struct Case {
        std::vector<std::pair<uint16_t, uint16_t>> samples;
        std::map<uint16_t, uint16_t> frameCounts;
        uint16_t frames;
    } cases[] = {
        {{{1, 0}, {2, 0}, {1, 1}, {2, 1}}, {{1, 2}, {2, 2}}, 2},
        {{{1, 0}, {2, 0}, {1, 1}}, {{1, 2}, {2, 1}}, 2},
        {{{2, 0}, {1, 0}}, {{1, 1}, {2, 1}}, 1},
    };
    for (const auto& c : cases) {
        Layout layout;
        layout.channels = {{1, 1.0f}, {5, 1.0f}};
        layout.samples = c.samples;
        DeviceConfiguration configuration;
        Configure(configuration, layout);
        EXPECT_EQ(configuration.FrameCounts(), c.frameCounts);
        EXPECT_EQ(configuration.Frames(), c.frames);
        EXPECT_EQ(configuration.ValuesPerScan(), 4);
    }
}

TEST(DeviceConfigurationTest, DeviceInformationListsChannelTypesThenBatteryAndDataValid) {
    Layout layout = DenseLayout(8, 2, 8);
    layout.samplingRate = 250;
    DeviceConfiguration configuration;
    TAVOBLE_DEVICE_INFORMATION info;
    std::memset(&info, 0xCC, sizeof info);
    Collect(configuration, layout);
    configuration.Derive(info);
    const uint8_t expected[] = {1, 1, 1, 1, 1, 1, 1, 5, 4, 9};
    for (size_t i = 0; i < TAVOBLE_NUMBER_OF_CHANNELS_MAX; ++i) {
        EXPECT_EQ(info.channelTypes[i], i < sizeof expected ? expected[i] : 0) << i;
    }
    EXPECT_EQ(info.numberOfAcquiredChannels, 10);
    EXPECT_EQ(info.samplingRate, 250);
    EXPECT_EQ(static_cast<unsigned char>(info.serialNumber[0]), 0xCC);  // not touched

    DeviceConfiguration widest;
    const auto full = Configure(widest, DenseLayout(62, 1, 62));
    EXPECT_EQ(full.channelTypes[61], 5);
    EXPECT_EQ(full.channelTypes[62], 4);
    EXPECT_EQ(full.channelTypes[63], 9);
    EXPECT_EQ(full.numberOfAcquiredChannels, 64);
}

// Every configuration that would make the decoder index outside its buffers
// is refused at connect.
TEST(DeviceConfigurationTest, UnsafeConfigurationsAreRejected) {
    using Records = std::vector<std::string>;
    auto channels = [](std::vector<uint16_t> numbers) {
        Records records;
        for (uint16_t n : numbers) {
            records.push_back(ChannelBytes(n, 1, 1.0f));
        }
        return records;
    };
    auto payloads = [](std::vector<std::pair<uint16_t, uint16_t>> samples) {
        Records records;
        for (const auto& s : samples) {
            records.push_back(PayloadRecordBytes(s.first, s.second));
        }
        return records;
    };
    std::vector<uint16_t> sixtyThree;
    for (uint16_t c = 1; c <= 63; ++c) {
        sixtyThree.push_back(c);
    }
    struct Case {
        const char* what;
        uint16_t channelCount;
        Records channelRecords;
        uint16_t payloadCount;
        Records payloadRecords;
        const char* error;
    } cases[] = {
        {"63 channels", 63, channels(sixtyThree), 63, payloads(Dense(63, 1)), InvalidChannel},
        {"numbers 2..3", 2, channels({2, 3}), 2, payloads({{2, 0}, {3, 0}}), InvalidChannel},
        {"number 0", 2, channels({0, 1}), 2, payloads({{1, 0}, {2, 0}}), InvalidChannel},
        {"a repeated number", 2, channels({1, 1}), 2, payloads(Dense(2, 1)), InvalidChannel},
        {"too few records", 2, channels({1}), 2, payloads(Dense(2, 1)), InvalidChannel},
        {"payload names channel 3", 2, channels({1, 2}), 3, payloads({{1, 0}, {2, 0}, {3, 0}}),
         InvalidPayload},
        {"payload names channel 0", 2, channels({1, 2}), 3, payloads({{1, 0}, {2, 0}, {0, 0}}),
         InvalidPayload},
        {"channel 2 never sampled", 2, channels({1, 2}), 2, payloads({{1, 0}, {1, 1}}),
         InvalidPayload},
        {"frame index not ascending", 2, channels({1, 2}), 3, payloads({{1, 1}, {1, 0}, {2, 0}}),
         InvalidPayload},
        // The hold would copy channel 2's scan 0 over its sample of scan 2.
        {"frame index falling inside the frames", 2, channels({1, 2}), 5,
         payloads({{1, 0}, {1, 1}, {1, 2}, {2, 2}, {2, 0}}), InvalidPayload},
        {"frame index 65535", 2, channels({1, 2}), 2, payloads({{1, 0}, {2, 65535}}),
         InvalidPayload},
        // No sample for a scan before a channel's last one: that cell would
        // keep whatever the previous payload left there (a counter cell its
        // sample number, numbered over again on every payload).
        {"a scan skipped inside a channel's scans", 2, channels({1, 2}), 5,
         payloads({{1, 0}, {2, 0}, {2, 1}, {1, 2}, {2, 2}}), InvalidPayload},
        {"a channel's first sample in scan 1", 2, channels({1, 2}), 3,
         payloads({{1, 0}, {1, 1}, {2, 1}}), InvalidPayload},
        {"payload stream short", 2, channels({1, 2}), 3, payloads(Dense(2, 1)), InvalidPayload},
        {"one cell described twice", 2, channels({1, 2}), 4,
         payloads({{1, 0}, {1, 0}, {2, 0}, {1, 1}}), InvalidPayload},
    };
    for (const auto& c : cases) {
        DeviceConfiguration configuration;
        configuration.SetAmplifierConfiguration(
            AmplifierBytes(500, c.channelCount, static_cast<uint16_t>(3 * c.payloadCount),
                           c.channelCount, c.payloadCount, 0));
        for (const auto& r : c.channelRecords) {
            configuration.OnChannelConfiguration(r);
        }
        for (const auto& r : c.payloadRecords) {
            configuration.OnPayloadConfiguration(r);
        }
        TAVOBLE_DEVICE_INFORMATION info{};
        info.numberOfAcquiredChannels = 77;
        EXPECT_EQ(ErrorOf([&] { configuration.Derive(info); }), c.error) << c.what;
        EXPECT_EQ(info.numberOfAcquiredChannels, 77) << c.what;
    }
}

TEST(DeviceConfigurationTest, NoCounterChannelIsAccepted) {
    DeviceConfiguration configuration;
    const auto info = Configure(configuration, DenseLayout(4, 2, 0));
    EXPECT_EQ(info.numberOfAcquiredChannels, 6);
    EXPECT_EQ(configuration.Frames(), 2);
}
