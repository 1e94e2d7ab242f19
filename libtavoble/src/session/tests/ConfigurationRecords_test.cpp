#include <gtest/gtest.h>

#include <string>

#include "ConfigurationRecords.h"
#include "ProtocolTestSupport.h"

using namespace Tavo::BLE;
using namespace Tavo::BLE::Testing;

TEST(ConfigurationRecordsTest, FieldsAreReadLittleEndianAtTheirOffsets) {
    const std::string amplifier("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F\x10",
                                16);
    const auto a = ParseAmplifierConfiguration(amplifier);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->samplingRate, 0x0201);
    EXPECT_EQ(a->numberOfChannels, 0x0403);
    EXPECT_EQ(a->reserved1, 0x0605);
    EXPECT_EQ(a->reserved2, 0x0807);
    EXPECT_EQ(a->payloadSize, 0x0A09);
    EXPECT_EQ(a->channelConfigurationCount, 0x0C0B);
    EXPECT_EQ(a->payloadConfigurationCount, 0x0E0D);
    EXPECT_EQ(a->filterConfigurationCount, 0x100F);

    // 0x3F800000 is 1.0f; bytes after the record are ignored.
    const auto c =
        ParseChannelConfiguration(std::string("\x08\x01\x05\xFF\x00\x00\x80\x3F\x99", 9));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->channelNumber, 0x0108);
    EXPECT_EQ(c->channelType, 5);
    EXPECT_EQ(c->reserved, 0xFF);
    EXPECT_EQ(c->scaleFactor, 1.0f);
    EXPECT_EQ(ParseChannelConfiguration(ChannelBytes(3, 1, -0.0234375f))->scaleFactor, -0.0234375f);

    const auto p = ParsePayloadConfiguration(std::string("\xFF\xFF\x01\x80", 4));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->channelNumber, 0xFFFF);
    EXPECT_EQ(p->frameIndex, 0x8001);

    const auto f = ParseFilterConfiguration(FilterBytes(0xBEEF, 0x42));
    ASSERT_TRUE(f);
    EXPECT_EQ(f->key, 0xBEEF);
    for (uint8_t byte : f->data) {
        EXPECT_EQ(byte, 0x42);
    }
}

TEST(ConfigurationRecordsTest, ValuesShorterThanTheirRecordGiveNone) {
    const std::string bytes(16, '\x01');
    for (size_t size = 0; size < 16; ++size) {
        const std::string value = bytes.substr(0, size);
        EXPECT_FALSE(ParseAmplifierConfiguration(value)) << size;
        EXPECT_EQ(ParseFilterConfiguration(value).has_value(), false) << size;
        EXPECT_EQ(ParseChannelConfiguration(value).has_value(), size >= 8) << size;
        EXPECT_EQ(ParsePayloadConfiguration(value).has_value(), size >= 4) << size;
    }
    EXPECT_FALSE(ParseAmplifierConfiguration(nullptr, 16));
}
