#pragma once

#include <condition_variable>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "IDevice.h"
#include "tavoble.h"

namespace Tavo::BLE {

class BLEFactory;

// The process-wide table from handles to the open devices it owns.
//
// The table is guarded by one mutex that is never held while a device is
// created, used or destroyed, so no call waits for a slow device call of
// another thread. Callers use a device through a Lease;
// closing waits for leases to end, so no call runs on a device being freed.
class DeviceRegistry {
  public:
    // Keeps a device from being destroyed while an exported function uses it.
    class Lease {
      public:
        Lease(Lease&& other) noexcept;
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        Lease& operator=(Lease&&) = delete;
        ~Lease();
        IDevice* operator->() const noexcept { return device_; }
        IDevice& operator*() const noexcept { return *device_; }

      private:
        friend class DeviceRegistry;
        Lease(DeviceRegistry* registry, TAVOBLE_HANDLE handle, IDevice* device) noexcept
            : registry_(registry), handle_(handle), device_(device) {}
        DeviceRegistry* registry_;
        TAVOBLE_HANDLE handle_;
        IDevice* device_;
    };

    // With closeAtExit, devices still open when the process exits are closed.
    explicit DeviceRegistry(BLEFactory& factory, bool closeAtExit = false);
    // Closes the devices still open, so their peers are disconnected.
    ~DeviceRegistry();
    DeviceRegistry(const DeviceRegistry&) = delete;
    DeviceRegistry& operator=(const DeviceRegistry&) = delete;

    static DeviceRegistry& Instance();

    TAVOBLE_HANDLE OpenDevice(const char* name);
    void CloseDevice(TAVOBLE_HANDLE handle);
    Lease GetDevice(TAVOBLE_HANDLE handle);
    // Destroys every device still entered, waiting a bounded time for calls
    // still running on other threads (see the definition).
    void CloseAll() noexcept;

  private:
    // fork(): the table is locked across it, and the child forgets the
    // parent's devices, whose threads it does not have (see the definition).
    static void BeforeFork() noexcept;
    static void AfterForkInParent() noexcept;
    static void AfterForkInChild() noexcept;

    struct Entry {
        std::unique_ptr<IDevice> owner;  // empty once its destruction has begun
        IDevice* device = nullptr;       // stays set until the entry is erased
        std::string serialNumber;        // fixed at connect, cached to match opens
        std::string foundBy;             // the advertised name it was opened by
        int leases = 0;
        bool closing = false;
        bool destroyOnLastLease = false;
    };

    // Registers CloseAll to run at exit (once), after the adapter is built.
    void RegisterExitHook();
    void EndLease(TAVOBLE_HANDLE handle) noexcept;
    // Destroys the entry's device without holding the lock, then erases it.
    void Destroy(std::unique_lock<std::mutex>& lock, TAVOBLE_HANDLE handle) noexcept;
    bool FindOpen(const std::string& name, TAVOBLE_HANDLE& handle) const;

    BLEFactory& factory_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<TAVOBLE_HANDLE, Entry> devices_;
    TAVOBLE_HANDLE lastHandle_ = 0;
    // One connect in progress. Its outcome is shared with the opens of the
    // same name that wait for it.
    struct Attempt {
        bool done = false;
        std::exception_ptr notFound;  // set when the search found nothing
    };
    std::map<std::string, std::shared_ptr<Attempt>> opening_;  // by name
    const bool closeAtExit_;
    bool exitHookRegistered_ = false;
};

}  // namespace Tavo::BLE
