#include "LinkedPeripherals.h"

namespace Tavo::BLE {

LinkedPeripherals& LinkedPeripherals::Instance() {
    static auto* instance = new LinkedPeripherals();
    return *instance;
}

void LinkedPeripherals::Remember(const std::string& serialNumber,
                                 const SimpleBLE::Peripheral& peripheral) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : linked_) {
        if (entry.first == serialNumber) {
            entry.second = peripheral;
            return;
        }
    }
    linked_.emplace_back(serialNumber, peripheral);
}

std::vector<SimpleBLE::Peripheral> LinkedPeripherals::Find(const std::string& serialNumber) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : linked_) {
        if (entry.first == serialNumber) {
            return {entry.second};
        }
    }
    return {};
}

}  // namespace Tavo::BLE
