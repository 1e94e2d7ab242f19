// The C interface: argument checks, then delegation; every failure becomes a
// result code and a last-error text in RunInFrame.
#include "tavoble.h"

#include "ApiException.h"
#include "BLEFactory.h"
#include "CallFrame.h"
#include "CallbackScope.h"
#include "DeviceRegistry.h"
#include "LastError.h"

using namespace Tavo::BLE;

namespace {
constexpr float kApiVersion = 2.0f;

IAdapter& Adapter() {
    return *GetFactory().GetAdapter();
}
}  // namespace

extern "C" {

TAVOBLE_API float TAVOBLE_GetApiVersion(void) {
    return kApiVersion;
}

TAVOBLE_API const char* TAVOBLE_GetLastErrorText(void) {
    return LastErrorText();
}

TAVOBLE_API int32_t TAVOBLE_StartScanning(void) {
    return RunInFrame([] {
        IAdapter& adapter = Adapter();
        if (!adapter.IsScanning()) {
            adapter.StartScanning();
        }
    });
}

TAVOBLE_API int32_t TAVOBLE_StopScanning(void) {
    return RunInFrame([] {
        IAdapter& adapter = Adapter();
        if (adapter.IsScanning()) {
            adapter.StopScanning();
        }
    });
}

TAVOBLE_API int32_t TAVOBLE_RegisterDeviceDiscoveredCallback(DeviceDiscoveredCallback callback) {
    return RunInFrame([callback] { Adapter().RegisterDeviceDiscoveredCallback(callback); });
}

TAVOBLE_API int32_t TAVOBLE_OpenDevice(const char* deviceName, TAVOBLE_HANDLE* hDevice) {
    return RunInFrame([deviceName, hDevice] {
        if (hDevice == nullptr) {
            // An argument check (code -1), not a handle error: nothing was
            // looked up yet. Close words the same check differently.
            throw ApiException("Handle must not be null.", ErrorCode::InvalidArgument);
        }
        if (deviceName == nullptr) {
            throw ApiException("Device name must not be null.", ErrorCode::InvalidArgument);
        }
        if (CallbackScope::Active()) {
            // The search takes up to 10 s, and the thread that delivers to
            // this callback would deliver nothing meanwhile.
            throw ApiException("A device cannot be opened from inside a callback.",
                               ErrorCode::InvalidArgument);
        }
        *hDevice = DeviceRegistry::Instance().OpenDevice(deviceName);
    });
}

TAVOBLE_API int32_t TAVOBLE_CloseDevice(TAVOBLE_HANDLE* hDevice) {
    return RunInFrame(
        [hDevice] {
            if (hDevice == nullptr) {
                // Unlike the open's text: no full stop and the handle code, as
                // applications and the Python binding have always seen it.
                throw ApiException("Handle must not be null", ErrorCode::Handle);
            }
            DeviceRegistry::Instance().CloseDevice(*hDevice);
        },
        [hDevice] {
            if (hDevice != nullptr) {
                *hDevice = 0;
            }
        });
}

TAVOBLE_API int32_t TAVOBLE_GetDeviceInformation(TAVOBLE_HANDLE hDevice,
                                                 TAVOBLE_DEVICE_INFORMATION* deviceInformation) {
    return RunInFrame([hDevice, deviceInformation] {
        if (deviceInformation == nullptr) {
            throw ApiException("Device information must not be null.", ErrorCode::InvalidArgument);
        }
        const TAVOBLE_DEVICE_INFORMATION info =
            DeviceRegistry::Instance().GetDevice(hDevice)->GetDeviceInformation();
        *deviceInformation = info;
    });
}

TAVOBLE_API int32_t TAVOBLE_RegisterDataAvailableCallback(TAVOBLE_HANDLE hDevice,
                                                          DataAvailableCallback callback) {
    return RunInFrame([hDevice, callback] {
        DeviceRegistry::Instance().GetDevice(hDevice)->RegisterDataAvailableCallback(hDevice,
                                                                                     callback);
    });
}

}  // extern "C"
