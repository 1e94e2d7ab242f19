// Placeholder backend until the SimpleBLE-based adapter and device exist.
#include "ApiException.h"
#include "BLEFactory.h"

namespace Tavo::BLE {
namespace {
class SimpleBLEFactory final : public BLEFactory {
public:
    IAdapter* GetAdapter() override {
        throw ApiException("No Bluetooth adapter found.", ErrorCode::Adapter);
    }
    IDevice* CreateDevice(const std::string&) override {
        throw ApiException("No Bluetooth adapter found.", ErrorCode::Adapter);
    }
};
}  // namespace

BLEFactory& GetFactory() {
    static SimpleBLEFactory factory;
    return factory;
}
}  // namespace Tavo::BLE
