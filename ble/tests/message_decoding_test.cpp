// Decoding of BlueZ's property dictionaries, on messages built in this process
// (a private bus provides the connection sd-bus needs to create a message).

#include <gtest/gtest.h>

#include <sdbus-c++/sdbus-c++.h>

#include "MessageDecoding.h"
#include "SimHarness.h"

namespace {

using SimpleBLE::detail::Interfaces;
using SimpleBLE::detail::Objects;
using SimpleBLE::detail::Properties;
using SimpleBLE::detail::Value;

class MessageDecoding : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(sim_.start("", false), "");
        conn_ = sdbus::createSystemBusConnection();
        proxy_ = sdbus::createProxy(*conn_, conn_->getUniqueName(), "/");
    }

    // A message holding what `write` appended, ready to be read from the start.
    sdbus::MethodCall message(const std::function<void(sdbus::Message&)>& write) {
        sdbus::MethodCall call = proxy_->createMethodCall("org.tavoble.Test", "M");
        write(call);
        call.seal();
        call.rewind(true);
        return call;
    }

    bletest::SimHarness sim_;
    std::unique_ptr<sdbus::IConnection> conn_;
    std::unique_ptr<sdbus::IProxy> proxy_;
};

TEST_F(MessageDecoding, ReadsTheTypesBlueZUsesAndSkipsTheRest) {
    sdbus::MethodCall msg = message([](sdbus::Message& m) {
        std::map<std::string, sdbus::Variant> props;
        props["Connected"] = sdbus::Variant(true);
        props["Percentage"] = sdbus::Variant(uint8_t{87});
        props["RSSI"] = sdbus::Variant(int16_t{-61});
        props["Appearance"] = sdbus::Variant(uint16_t{0x0340});
        props["TxPower"] = sdbus::Variant(int32_t{-4});
        props["Class"] = sdbus::Variant(uint32_t{7});
        props["Name"] = sdbus::Variant(std::string("UX-0001.00.01"));
        props["Adapter"] = sdbus::Variant(sdbus::ObjectPath("/org/bluez/hci0"));
        props["Flags"] = sdbus::Variant(std::vector<std::string>{"read", "notify"});
        props["Value"] = sdbus::Variant(std::vector<uint8_t>{1, 2, 3});
        // Types the central has no use for, nested ones among them.
        props["ManufacturerData"] = sdbus::Variant(
            std::map<uint16_t, sdbus::Variant>{{0x0101, sdbus::Variant(std::vector<uint8_t>{9})}});
        props["Pair"] = sdbus::Variant(sdbus::Struct<int32_t, std::string>(5, "x"));
        props["Doubles"] = sdbus::Variant(std::vector<double>{1.5, 2.5});
        props["ZLast"] = sdbus::Variant(std::string("after the skipped ones"));
        m << props;
        m << std::string("trailing");
    });

    Properties p = SimpleBLE::detail::readProperties(msg);
    EXPECT_EQ(std::get<bool>(p.at("Connected")), true);
    EXPECT_EQ(std::get<uint8_t>(p.at("Percentage")), 87);
    EXPECT_EQ(std::get<int16_t>(p.at("RSSI")), -61);
    EXPECT_EQ(std::get<uint16_t>(p.at("Appearance")), 0x0340);
    EXPECT_EQ(std::get<int32_t>(p.at("TxPower")), -4);
    EXPECT_EQ(std::get<uint32_t>(p.at("Class")), 7u);
    EXPECT_EQ(std::get<std::string>(p.at("Name")), "UX-0001.00.01");
    EXPECT_EQ(std::get<std::string>(p.at("Adapter")), "/org/bluez/hci0");
    EXPECT_EQ(std::get<std::vector<std::string>>(p.at("Flags")),
              (std::vector<std::string>{"read", "notify"}));
    EXPECT_EQ(std::get<std::vector<uint8_t>>(p.at("Value")), (std::vector<uint8_t>{1, 2, 3}));
    for (const char* skipped : {"ManufacturerData", "Pair", "Doubles"}) {
        EXPECT_TRUE(std::holds_alternative<std::monostate>(p.at(skipped))) << skipped;
    }
    EXPECT_EQ(std::get<std::string>(p.at("ZLast")), "after the skipped ones");
    // The reader leaves the message just after the dictionary.
    std::string trailing;
    msg >> trailing;
    EXPECT_EQ(trailing, "trailing");
}

TEST_F(MessageDecoding, ReadsAManagedObjectsReplyWithEmptyLevels) {
    using Props = std::map<std::string, sdbus::Variant>;
    using Ifaces = std::map<std::string, Props>;
    sdbus::MethodCall msg = message([](sdbus::Message& m) {
        std::map<sdbus::ObjectPath, Ifaces> objects;
        objects[sdbus::ObjectPath("/org/bluez")] = Ifaces{};
        objects[sdbus::ObjectPath("/org/bluez/hci0")] =
            Ifaces{{"org.bluez.Adapter1", Props{{"Powered", sdbus::Variant(true)}}},
                   {"org.freedesktop.DBus.Introspectable", Props{}}};
        m << objects;
    });

    Objects o = SimpleBLE::detail::readObjects(msg);
    ASSERT_EQ(o.size(), 2u);
    EXPECT_TRUE(o.at("/org/bluez").empty());
    const Interfaces& adapter = o.at("/org/bluez/hci0");
    EXPECT_TRUE(adapter.at("org.freedesktop.DBus.Introspectable").empty());
    EXPECT_EQ(std::get<bool>(adapter.at("org.bluez.Adapter1").at("Powered")), true);
}

}  // namespace

// A characteristic's PropertiesChanged: the value's bytes whole, whatever
// comes around it; a Value of another type is no notification.
TEST_F(MessageDecoding, ReadsANotificationValueWholeAndOnlyAsBytes) {
    std::vector<uint8_t> large(512);
    for (size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<uint8_t>(i * 7);
    }
    auto changed = [&](const sdbus::Variant& value, const char* interface) {
        return message([&](sdbus::Message& m) {
            std::map<std::string, sdbus::Variant> props;
            props["Notifying"] = sdbus::Variant(true);
            props["Value"] = value;
            m << interface << props << std::vector<std::string>{};
        });
    };
    std::vector<uint8_t> bytes{9};
    sdbus::MethodCall whole = changed(sdbus::Variant(large), "org.bluez.GattCharacteristic1");
    ASSERT_TRUE(SimpleBLE::detail::readNotification(whole, bytes));
    EXPECT_EQ(bytes, large);
    sdbus::MethodCall empty =
        changed(sdbus::Variant(std::vector<uint8_t>{}), "org.bluez.GattCharacteristic1");
    ASSERT_TRUE(SimpleBLE::detail::readNotification(empty, bytes));
    EXPECT_TRUE(bytes.empty());
    sdbus::MethodCall text =
        changed(sdbus::Variant(std::string("abc")), "org.bluez.GattCharacteristic1");
    EXPECT_FALSE(SimpleBLE::detail::readNotification(text, bytes));
    sdbus::MethodCall other = changed(sdbus::Variant(large), "org.bluez.Device1");
    EXPECT_FALSE(SimpleBLE::detail::readNotification(other, bytes));
}
