// SimpleBLEDevice: finding the amplifier's peripheral by its serial number.

#include "SimpleBLEDevice.h"

#include <chrono>
#include <thread>

#include "ApiException.h"
#include "LinkedPeripherals.h"
#include "SimpleBLEAdapter.h"

namespace Tavo::BLE {
namespace {

constexpr auto kSearchPass = std::chrono::milliseconds(100);
// An amplifier in range shows in the scan within a few of its advertisements;
// after this long without it, the peripheral of its last link is tried.
constexpr double kRememberAfterMs = 1000.0;

// A link the Bluetooth service keeps up (its client was killed, say) leaves
// the amplifier connected and silent: it never advertises again until the
// link ends, so the search takes such peers from the service as well.
void AddConnectedPeripherals(SimpleBLEAdapter& adapter, std::vector<SimpleBLE::Peripheral>& seen) {
    std::vector<SimpleBLE::Peripheral> connected;
    try {
        connected = adapter.GetConnectedPeripherals();
    } catch (...) {
        return;  // the advertisers alone, as a stack without the list offers
    }
    for (SimpleBLE::Peripheral& peripheral : connected) {
        const std::string address = peripheral.address();
        bool listed = false;
        for (SimpleBLE::Peripheral& known : seen) {
            listed = listed || known.address() == address;
        }
        if (!listed) {
            seen.push_back(peripheral);
        }
    }
}

}  // namespace

SimpleBLEDevice::Found SimpleBLEDevice::FindPeripheral(const std::string& serialNumber,
                                                       double limitMs, bool endsApplicationScan,
                                                       bool mayRemember) {
    SimpleBLEAdapter* adapter = SimpleBLEAdapter::GetInstance();
    const auto start = std::chrono::steady_clock::now();
    std::vector<SimpleBLE::Peripheral> seen;
    double elapsedMs = 0.0;
    bool found = false;
    std::vector<SimpleBLE::Peripheral> matches;
    std::vector<SimpleBLE::Peripheral> remembered;
    // An open ends any scan when its search is over, the application's too;
    // the link keeper's search leaves the application's scan alone.
    SimpleBLEAdapter::Search search(*adapter, endsApplicationScan);
    do {
        // Scanning before the list is read: a list left from an earlier
        // scan may name device objects the stack has dropped since.
        search.KeepScanning();
        seen = adapter->GetPeripherals();
        AddConnectedPeripherals(*adapter, seen);
        std::this_thread::sleep_for(kSearchPass);
        elapsedMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        // Every peer under that name: another device may advertise it too
        // and refuse connections, which must not hide the amplifier.
        for (SimpleBLE::Peripheral& peripheral : seen) {
            if (peripheral.identifier() == serialNumber) {
                matches.push_back(peripheral);
                found = true;
            }
        }
        if (!found && mayRemember && elapsedMs >= kRememberAfterMs && elapsedMs < limitMs) {
            remembered = LinkedPeripherals::Instance().Find(serialNumber);
        }
    } while (!found && remembered.empty() && elapsedMs < limitMs && !Closing());

    if (!found && !remembered.empty()) {
        return Found{std::move(remembered), true};
    }
    if (seen.empty() || !found || elapsedMs >= limitMs) {
        throw ApiException("Could not find device with the specified serial number.",
                           ErrorCode::Session);
    }
    std::vector<SimpleBLE::Peripheral> connectable;
    for (SimpleBLE::Peripheral& peripheral : matches) {
        if (peripheral.is_connectable()) {
            connectable.push_back(peripheral);
        }
    }
    if (connectable.empty()) {
        throw ApiException("'" + serialNumber + "' is not connectable.", ErrorCode::Session);
    }
    return Found{std::move(connectable), false};
}

}  // namespace Tavo::BLE
