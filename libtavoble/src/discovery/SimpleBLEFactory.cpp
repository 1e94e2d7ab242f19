#include "SimpleBLEFactory.h"

#include "SimpleBLEAdapter.h"
#include "SimpleBLEDevice.h"

namespace Tavo::BLE {

IAdapter* SimpleBLEFactory::GetAdapter() {
    return SimpleBLEAdapter::GetInstance();
}

IDevice* SimpleBLEFactory::CreateDevice(const std::string& serialNumber) {
    return new SimpleBLEDevice(serialNumber);
}

void SimpleBLEFactory::EndCreations() noexcept {
    SimpleBLEDevice::EndOpens();
}

BLEFactory& GetFactory() {
    // Never destroyed: threads still inside the library at exit use it.
    static SimpleBLEFactory* factory = new SimpleBLEFactory;
    return *factory;
}

}  // namespace Tavo::BLE
