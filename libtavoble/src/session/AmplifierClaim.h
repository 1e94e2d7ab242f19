#pragma once

#include <memory>
#include <string>

namespace Tavo::BLE {

// One program at a time uses an amplifier on this machine. The Bluetooth
// service keeps a link up for whoever asked last, so without this a second
// program would take over the link a running one streams on, and its close
// would end that stream.
//
// A claim is an abstract Unix socket named after the Bluetooth service's bus
// and the amplifier's address, held open while the program has the amplifier
// open. The kernel releases it when the program ends, however it ends (killed,
// crashed), so an amplifier whose owner died is free again at once. Programs
// on another bus (another Bluetooth service) never meet. Elsewhere than on
// Linux every claim succeeds.
class AmplifierClaim {
  public:
    // Claims the amplifier at `address` for this process. When another running
    // process holds it, throws ApiException (code 3) "The amplifier is in use
    // by another program (process N)." (without the number where the kernel
    // does not tell it). A claim this process still holds (a device being
    // closed) is waited for a short time.
    static std::unique_ptr<AmplifierClaim> Take(const std::string& address);
    ~AmplifierClaim();
    AmplifierClaim(const AmplifierClaim&) = delete;
    AmplifierClaim& operator=(const AmplifierClaim&) = delete;

    const std::string& Address() const { return address_; }

  private:
    AmplifierClaim(std::string address, int fd) : address_(std::move(address)), fd_(fd) {}

    std::string address_;
    int fd_;
};

}  // namespace Tavo::BLE
