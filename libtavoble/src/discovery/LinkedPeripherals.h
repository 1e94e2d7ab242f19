#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <simpleble/SimpleBLE.h>

namespace Tavo::BLE {

// The peripheral each amplifier was last linked through, by serial number,
// for the life of the process. SimpleBLE 1.1 on BlueZ stops following a
// device whose Battery1 interface BlueZ removed at a disconnect: no scan
// reports it again in that process, yet connecting the peripheral it handed
// out before still works (the connect brings its objects back).
class LinkedPeripherals {
  public:
    // Never destroyed: the peripherals belong to the Bluetooth stack, which
    // may be torn down first at exit.
    static LinkedPeripherals& Instance();

    void Remember(const std::string& serialNumber, const SimpleBLE::Peripheral& peripheral);
    // The peripheral last linked under that serial number, if any (0 or 1).
    std::vector<SimpleBLE::Peripheral> Find(const std::string& serialNumber);

  private:
    std::mutex mutex_;
    std::vector<std::pair<std::string, SimpleBLE::Peripheral>> linked_;
};

}  // namespace Tavo::BLE
