// The disconnected callback: once per link loss, whatever ended the link, on a
// central thread, and free to call back into the central.

#include <gtest/gtest.h>
#include <simpleble/SimpleBLE.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "SimHarness.h"

using namespace std::chrono_literals;
using bletest::waitFor;
using SimpleBLE::Adapter;
using SimpleBLE::Peripheral;

namespace {

const std::string kAmp = "UX-0001.00.01";

enum class Loss { PeerDrops, AdapterOff, DeviceVanishes, ServiceLeaves, BusLost };

std::string lossName(const ::testing::TestParamInfo<Loss>& loss) {
    switch (loss.param) {
        case Loss::PeerDrops:
            return "PeerDrops";
        case Loss::AdapterOff:
            return "AdapterOff";
        case Loss::DeviceVanishes:
            return "DeviceVanishes";
        case Loss::ServiceLeaves:
            return "ServiceLeaves";
        case Loss::BusLost:
            return "BusLost";
    }
    return "";
}

class DisconnectNotice : public ::testing::TestWithParam<Loss> {
  protected:
    Peripheral connectAmp() {
        auto adapters = Adapter::get_adapters();
        EXPECT_EQ(adapters.size(), 1U);
        if (adapters.empty()) {
            return Peripheral();
        }
        Adapter adapter = adapters[0];
        std::mutex mutex;
        Peripheral found;
        adapter.set_callback_on_scan_found([&](Peripheral p) {
            if (p.identifier() == kAmp) {
                std::lock_guard<std::mutex> lock(mutex);
                found = p;
            }
        });
        adapter.scan_start();
        waitFor([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return found.initialized();
        });
        adapter.set_callback_on_scan_found({});
        adapter.scan_stop();
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_TRUE(found.initialized());
        if (found.initialized()) {
            found.connect();
        }
        return found;
    }

    void loseLink(Loss loss) {
        switch (loss) {
            case Loss::PeerDrops:
                sim.disconnectPeer(kAmp);
                break;
            case Loss::AdapterOff:
                sim.setPowered("hci0", false);
                break;
            case Loss::DeviceVanishes:
                sim.removeAmplifier(kAmp);
                break;
            case Loss::ServiceLeaves:
                sim.endServe();
                break;
            case Loss::BusLost:
                sim.stopBus();
                break;
        }
    }

    bletest::SimHarness sim;
};

TEST_P(DisconnectNotice, FiresOnceOnACentralThreadThatMayCallIn) {
    if (GetParam() == Loss::ServiceLeaves) {
        ASSERT_EQ(sim.start("", false), "");
        sim.serve();
        ASSERT_TRUE(waitFor([] { return Adapter::bluetooth_enabled(); }));
    } else {
        ASSERT_EQ(sim.start(), "");
    }
    Peripheral p = connectAmp();
    ASSERT_TRUE(p.initialized());
    ASSERT_TRUE(p.is_connected());

    std::atomic<int> calls{0};
    std::atomic<bool> onCaller{false}, connectedInside{true};
    const std::thread::id caller = std::this_thread::get_id();
    p.set_callback_on_disconnected([&, p]() mutable {
        onCaller = std::this_thread::get_id() == caller;
        connectedInside = p.is_connected();  // calling in must not deadlock
        Adapter::get_adapters();
        ++calls;
    });
    loseLink(GetParam());
    ASSERT_TRUE(waitFor([&] { return calls.load() >= 1; }));
    EXPECT_FALSE(onCaller);
    EXPECT_FALSE(connectedInside);
    EXPECT_FALSE(p.is_connected());
    // Once per loss: later signals about the same device add nothing.
    Adapter::get_adapters();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(calls.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(EveryCause, DisconnectNotice,
                         ::testing::Values(Loss::PeerDrops, Loss::AdapterOff, Loss::DeviceVanishes,
                                           Loss::ServiceLeaves, Loss::BusLost),
                         lossName);

// The bus daemon goes and comes back at the same address: meanwhile nothing
// waits for a time-out, and afterwards the same handles work on a new connection.
TEST_F(DisconnectNotice, AfterTheBusRestartsTheCentralConnectsAgain) {
    ASSERT_EQ(sim.start(), "");
    Peripheral p = connectAmp();
    ASSERT_TRUE(p.is_connected());
    Adapter adapter = Adapter::get_adapters().at(0);
    sim.stopBus();
    ASSERT_TRUE(waitFor([&] { return !p.is_connected(); }));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Adapter::bluetooth_enabled());
    EXPECT_TRUE(Adapter::get_adapters().empty());
    EXPECT_THROW(adapter.scan_start(), std::exception);
    EXPECT_THROW(p.connect(), std::exception);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);

    ASSERT_EQ(sim.restartBus(), "");
    ASSERT_TRUE(waitFor([] { return Adapter::bluetooth_enabled(); }, 20s));
    // The new Bluetooth service knows the amplifier once a scan has heard it.
    adapter.scan_start();
    ASSERT_TRUE(waitFor(
        [&] {
            try {
                p.connect();
                return true;
            } catch (const std::exception&) {
                return false;
            }
        },
        20s));
    adapter.scan_stop();
    EXPECT_TRUE(sim.isConnected(kAmp));
    // A link BlueZ holds is listed, whoever made it.
    std::vector<Peripheral> connected = adapter.get_connected_peripherals();
    ASSERT_EQ(connected.size(), 1U);
    EXPECT_EQ(connected[0].address(), p.address());
    p.disconnect();
    EXPECT_TRUE(adapter.get_connected_peripherals().empty());
}

TEST(DisconnectNoticeRemoval, AnEmptyFunctionRemovesIt) {
    bletest::SimHarness sim;
    ASSERT_EQ(sim.start(), "");
    auto adapters = Adapter::get_adapters();
    ASSERT_EQ(adapters.size(), 1U);
    std::mutex mutex;
    Peripheral p;
    adapters[0].set_callback_on_scan_found([&](Peripheral found) {
        std::lock_guard<std::mutex> lock(mutex);
        if (found.identifier() == kAmp) {
            p = found;
        }
    });
    adapters[0].scan_start();
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return p.initialized();
    }));
    adapters[0].set_callback_on_scan_found({});
    adapters[0].scan_stop();
    std::lock_guard<std::mutex> lock(mutex);

    std::atomic<int> connects{0}, disconnects{0};
    p.set_callback_on_connected([&] { ++connects; });
    p.set_callback_on_disconnected([&] { ++disconnects; });
    p.connect();
    ASSERT_TRUE(waitFor([&] { return connects.load() == 1; }));
    sim.disconnectPeer(kAmp);
    ASSERT_TRUE(waitFor([&] { return disconnects.load() == 1; }));

    p.set_callback_on_connected({});
    p.set_callback_on_disconnected({});
    p.connect();
    sim.disconnectPeer(kAmp);
    ASSERT_TRUE(waitFor([&] { return !p.is_connected(); }));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(connects.load(), 1);
    EXPECT_EQ(disconnects.load(), 1);
}

}  // namespace
