#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "GattProfile.h"

using namespace Tavo::BLE;

namespace {

// Shaped like SimpleBLE's classes: uuid() and characteristics() are not const.
struct FakeCharacteristic {
    std::string id;
    int tag;
    std::string uuid() { return id; }
};

struct FakeService {
    std::string id;
    std::vector<FakeCharacteristic> chars;
    int tag = 0;
    std::string uuid() { return id; }
    std::vector<FakeCharacteristic> characteristics() { return chars; }
};

struct FakePeripheral {
    std::vector<FakeService> reported;
    int servicesCalls = 0;
    std::string readService, readCharacteristic;
    std::vector<FakeService> services() {
        ++servicesCalls;
        return reported;
    }
    std::string read(const std::string& service, const std::string& characteristic) {
        readService = service;
        readCharacteristic = characteristic;
        return "value";
    }
};

constexpr char BatteryFull[] = "0000180f-0000-1000-8000-00805f9b34fb";
constexpr char DeviceInfoFull[] = "0000180a-0000-1000-8000-00805f9b34fb";
constexpr char LevelFull[] = "00002a19-0000-1000-8000-00805f9b34fb";

void ExpectSessionError(const std::function<void()>& f, const std::string& text) {
    try {
        f();
        ADD_FAILURE() << "no exception, expected " << text;
    } catch (const ApiException& e) {
        EXPECT_EQ(e.ErrorCode(), ErrorCode::Session);
        EXPECT_EQ(std::string(e.what()), text);
    }
}

}  // namespace

TEST(GattProfileTest, NormalisationExpandsOnlyFourCharacterLiteralsAndUppercases) {
    struct Case {
        const char* literal;
        std::string normalised;
    } cases[] = {
        {"180F", "0000180F-0000-1000-8000-00805F9B34FB"},
        {"2a19", "00002A19-0000-1000-8000-00805F9B34FB"},
        {Gatt::AmplifierService, "B5211405-449F-4BA0-A651-B887924B81E8"},
        {"b521140a-449f-4ba0-a651-b887924b81e8", "B521140A-449F-4BA0-A651-B887924B81E8"},
        {"180", "180"},
        {"180FF", "180FF"},
        {"", ""},
        {nullptr, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NormaliseUuid(c.literal), c.normalised) << (c.literal ? c.literal : "(null)");
    }
}

TEST(GattProfileTest, MatchingIsWholeStringAndReportedUuidsAreNeverExpanded) {
    EXPECT_TRUE(UuidMatches("180A", DeviceInfoFull));
    EXPECT_TRUE(UuidMatches("180a", "0000180A-0000-1000-8000-00805F9B34FB"));
    EXPECT_TRUE(UuidMatches(DeviceInfoFull, "0000180A-0000-1000-8000-00805F9B34FB"));
    EXPECT_TRUE(UuidMatches(Gatt::DataCharacteristic, "b5211406-449f-4ba0-a651-b887924b81e8"));
    // A short reported UUID is only upper-cased, so it matches no literal.
    EXPECT_FALSE(UuidMatches("180A", "180A"));
    EXPECT_FALSE(UuidMatches("180A", "0000180A-0000-1000-8000-00805F9B34F"));
    EXPECT_FALSE(UuidMatches("180A", std::string(DeviceInfoFull) + " "));
    EXPECT_FALSE(UuidMatches("180", "0000180A-0000-1000-8000-00805F9B34FB"));
    EXPECT_FALSE(UuidMatches("180A ", "0000180A-0000-1000-8000-00805F9B34FB"));
}

TEST(GattProfileTest, FindServiceReturnsTheFirstMatchOrNamesTheLiteral) {
    const std::vector<FakeService> services = {
        {"00001800-0000-1000-8000-00805f9b34fb", {}, 1},
        {BatteryFull, {}, 2},
        {"0000180F-0000-1000-8000-00805F9B34FB", {}, 3},
        {"b5211405-449f-4ba0-a651-b887924b81e8", {}, 4},
    };
    EXPECT_EQ(FindService(services, Gatt::BatteryService).tag, 2);
    EXPECT_EQ(FindService(services, "180f").tag, 2);
    EXPECT_EQ(FindService(services, Gatt::AmplifierService).tag, 4);
    ExpectSessionError([&] { FindService(services, "180A"); }, "'180A' service not found.");
    ExpectSessionError([&] { FindService(services, "180FF"); }, "'180FF' service not found.");
    ExpectSessionError([&] { FindService(std::vector<FakeService>{}, "180f"); },
                       "'180f' service not found.");
}

TEST(GattProfileTest, FindCharacteristicReturnsTheFirstMatchOrNamesLiteralAndReportedService) {
    const FakeService battery{BatteryFull,
                              {{"00002A18-0000-1000-8000-00805F9B34FB", 1},
                               {LevelFull, 2},
                               {"00002A19-0000-1000-8000-00805F9B34FB", 3}}};
    EXPECT_EQ(FindCharacteristic(battery, "2A19").tag, 2);
    EXPECT_EQ(FindCharacteristic(battery, "2a19").tag, 2);
    // The literal as passed, the service as the BLE layer spells it.
    ExpectSessionError(
        [&] { FindCharacteristic(battery, "2A1A"); },
        "Could not find characteristic '2A1A' in service '0000180f-0000-1000-8000-00805f9b34fb'.");
    ExpectSessionError(
        [&] {
            FindCharacteristic(FakeService{"X", {}}, "2a19");
        },
        "Could not find characteristic '2a19' in service 'X'.");
}

TEST(GattProfileTest, ReadCharacteristicAsksForServicesAfreshAndReadsByReportedUuids) {
    FakePeripheral peripheral;
    peripheral.reported = {{DeviceInfoFull, {{"00002a25-0000-1000-8000-00805f9b34fb", 1}}}};
    EXPECT_EQ(ReadCharacteristic(peripheral, Gatt::DeviceInformationService,
                                 Gatt::SerialNumberCharacteristic),
              "value");
    EXPECT_EQ(peripheral.servicesCalls, 1);
    EXPECT_EQ(peripheral.readService, DeviceInfoFull);
    EXPECT_EQ(peripheral.readCharacteristic, "00002a25-0000-1000-8000-00805f9b34fb");

    ExpectSessionError(
        [&] { ReadCharacteristic(peripheral, "180A", "2A24"); },
        "Could not find characteristic '2A24' in service '0000180a-0000-1000-8000-00805f9b34fb'.");
    EXPECT_EQ(peripheral.servicesCalls, 2);
}
