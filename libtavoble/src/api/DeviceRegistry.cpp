#include "DeviceRegistry.h"

#include <pthread.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "ApiException.h"
#include "BLEFactory.h"
#include "CallbackScope.h"

namespace Tavo::BLE {

namespace {
// The search's failure when no amplifier advertises the name.
constexpr const char* kNotFoundText = "Could not find device with the specified serial number.";

// How long closing everything waits for calls still running on other threads.
constexpr std::chrono::seconds kCloseAllPatience{2};

void CloseAllAtExit() {
    // An open under way may be connecting an amplifier, which the Bluetooth
    // service keeps connected after this process is gone: it gives up (a
    // search at its next pass, a read at once, dropping its link; a connect
    // under way is waited for), and CloseAll waits for it.
    GetFactory().EndCreations();
    DeviceRegistry::Instance().CloseAll();
}
}  // namespace

DeviceRegistry::Lease::Lease(Lease&& other) noexcept
    : registry_(std::exchange(other.registry_, nullptr)),
      handle_(other.handle_),
      device_(other.device_) {}

DeviceRegistry::Lease::~Lease() {
    if (registry_ != nullptr) {
        registry_->EndLease(handle_);
    }
}

DeviceRegistry::DeviceRegistry(BLEFactory& factory, bool closeAtExit)
    : factory_(factory), closeAtExit_(closeAtExit) {}

DeviceRegistry::~DeviceRegistry() {
    CloseAll();
}

DeviceRegistry& DeviceRegistry::Instance() {
    // Never destroyed: at exit other threads may still be inside the library,
    // and the exit hook has closed what could be closed.
    static DeviceRegistry* registry = [] {
        auto* made = new DeviceRegistry(GetFactory(), true);
        pthread_atfork(&BeforeFork, &AfterForkInParent, &AfterForkInChild);
        return made;
    }();
    return *registry;
}

// The table's lock is taken across fork() (it is never held for long), so the
// child gets a table no thread was changing.
void DeviceRegistry::BeforeFork() noexcept {
    Instance().mutex_.lock();
}

void DeviceRegistry::AfterForkInParent() noexcept {
    Instance().mutex_.unlock();
}

// A forked child has only the thread that forked: the parent's devices, their
// link keepers and notification threads, and their links in the Bluetooth
// service stay the parent's. The child forgets them without destroying them
// (destroying would wait for threads it does not have, and would end the
// parent's links and subscriptions): their handles name nothing in the child,
// and its exit leaves them alone.
void DeviceRegistry::AfterForkInChild() noexcept {
    DeviceRegistry& registry = Instance();
    for (auto& [handle, entry] : registry.devices_) {
        static_cast<void>(entry.owner.release());
    }
    registry.devices_.clear();
    registry.opening_.clear();
    registry.mutex_.unlock();
}

void DeviceRegistry::CloseAll() noexcept {
    // At exit nothing stops the other threads: a device in use is destroyed
    // when its last lease ends, and one that another thread is closing is
    // left to that thread (it holds the entry). The waits are bounded, so exit
    // never hangs on a call that does not return; whatever is still in use
    // then is left alone rather than freed under its user.
    const auto deadline = std::chrono::steady_clock::now() + kCloseAllPatience;
    std::unique_lock<std::mutex> lock(mutex_);
    // Opens under way first (within the same bound): what they open is
    // closed with the rest, as nothing would disconnect it once the process
    // is gone.
    changed_.wait_until(lock, deadline, [this] { return opening_.empty(); });
    for (;;) {
        auto it = devices_.begin();
        while (it != devices_.end() && it->second.closing) {
            ++it;
        }
        if (it == devices_.end()) {
            changed_.wait_until(lock, deadline, [this] { return devices_.empty(); });
            return;
        }
        // Claimed by this thread: no other erases it while it waits.
        Entry& entry = it->second;
        entry.closing = true;
        if (changed_.wait_until(lock, deadline, [&entry] { return entry.leases == 0; })) {
            Destroy(lock, it->first);
        } else {
            entry.destroyOnLastLease = true;
        }
    }
}

bool DeviceRegistry::FindOpen(const std::string& name, TAVOBLE_HANDLE& handle) const {
    // The serial number from Device Information and the advertised name
    // normally agree; when they do not, either names the same link.
    for (const auto& [key, entry] : devices_) {
        if (!entry.closing && (entry.serialNumber == name || entry.foundBy == name)) {
            handle = key;
            return true;
        }
    }
    return false;
}

void DeviceRegistry::RegisterExitHook() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!closeAtExit_ || exitHookRegistered_) {
            return;
        }
    }
    try {
        // Built first, so that the Bluetooth stack's statics it makes are
        // destroyed after the hook has closed the devices. An adapter that
        // cannot be built fails the open's search the same way.
        factory_.GetAdapter();
    } catch (...) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!exitHookRegistered_) {
        exitHookRegistered_ = std::atexit(CloseAllAtExit) == 0;
    }
}

TAVOBLE_HANDLE DeviceRegistry::OpenDevice(const char* name) {
    const std::string wanted(name);
    // Before the connect: a process that exits while it connects must still
    // close the amplifier it connected (see CloseAll).
    RegisterExitHook();
    std::unique_lock<std::mutex> lock(mutex_);
    TAVOBLE_HANDLE handle = 0;
    // A second open of a name whose connect is under way waits for it, so one
    // amplifier is never connected twice. When that search found nothing, a
    // search of its own would only find nothing again, 10 s later.
    while (!FindOpen(wanted, handle)) {
        auto attempt = opening_.find(wanted);
        if (attempt == opening_.end()) {
            break;
        }
        const std::shared_ptr<Attempt> awaited = attempt->second;
        changed_.wait(lock, [&awaited] { return awaited->done; });
        if (awaited->notFound) {
            std::rethrow_exception(awaited->notFound);
        }
    }
    if (handle != 0) {
        return handle;
    }
    auto attempt = std::make_shared<Attempt>();
    opening_.emplace(wanted, attempt);
    // The number is used up before the connect, also when the connect fails.
    handle = ++lastHandle_;
    lock.unlock();

    const auto finish = [this, &lock, &wanted, &attempt](std::exception_ptr notFound) {
        lock.lock();
        attempt->done = true;
        attempt->notFound = std::move(notFound);
        opening_.erase(wanted);
        changed_.notify_all();
    };
    std::unique_ptr<IDevice> device;
    std::string serialNumber;
    try {
        device.reset(factory_.CreateDevice(wanted));
        const TAVOBLE_DEVICE_INFORMATION info = device->GetDeviceInformation();
        serialNumber.assign(info.serialNumber,
                            strnlen(info.serialNumber, sizeof info.serialNumber));
    } catch (const ApiException& e) {
        device.reset();
        const bool absent =
            e.ErrorCode() == ErrorCode::Session && std::strcmp(e.what(), kNotFoundText) == 0;
        finish(absent ? std::current_exception() : nullptr);
        throw;
    } catch (...) {
        device.reset();
        finish(nullptr);
        throw;
    }

    finish(nullptr);
    try {
        Entry& entry = devices_[handle];
        entry.device = device.get();
        entry.serialNumber = std::move(serialNumber);
        entry.foundBy = wanted;
        entry.owner = std::move(device);
    } catch (...) {
        devices_.erase(handle);
        lock.unlock();
        device.reset();
        throw;
    }
    return handle;
}

void DeviceRegistry::CloseDevice(TAVOBLE_HANDLE handle) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = devices_.find(handle);
    if (it == devices_.end() || it->second.closing) {
        throw ApiException("Couldn't get device handle.", ErrorCode::Handle);
    }
    // Setting `closing` claims the entry: only this call (or, below, the last
    // lease holder) erases it, so the reference stays valid while it waits.
    Entry& entry = it->second;
    entry.closing = true;
    if (entry.leases > 0 && CallbackScope::Active()) {
        // Waiting here could wait for a thread that waits for this callback to
        // return; the last lease holder destroys the device instead. Its
        // delivery stops now, as after any close.
        entry.destroyOnLastLease = true;
        ++entry.leases;
        IDevice* device = entry.device;
        lock.unlock();
        try {
            device->RegisterDataAvailableCallback(handle, nullptr);
        } catch (...) {
        }
        EndLease(handle);
        return;
    }
    changed_.wait(lock, [&entry] { return entry.leases == 0; });
    Destroy(lock, handle);
}

void DeviceRegistry::Destroy(std::unique_lock<std::mutex>& lock, TAVOBLE_HANDLE handle) noexcept {
    auto it = devices_.find(handle);
    std::unique_ptr<IDevice> owner = std::move(it->second.owner);
    // The entry stays while the device is destroyed: a scan delivered
    // meanwhile still finds its handle.
    lock.unlock();
    owner.reset();
    lock.lock();
    devices_.erase(handle);
    changed_.notify_all();
}

DeviceRegistry::Lease DeviceRegistry::GetDevice(TAVOBLE_HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(handle);
    if (it == devices_.end() || it->second.closing) {
        throw ApiException("Couldn't get device from handle.", ErrorCode::Handle);
    }
    ++it->second.leases;
    return Lease(this, handle, it->second.device);
}

void DeviceRegistry::EndLease(TAVOBLE_HANDLE handle) noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = devices_.find(handle);
    if (it == devices_.end()) {
        return;
    }
    Entry& entry = it->second;
    if (--entry.leases == 0 && entry.destroyOnLastLease) {
        entry.destroyOnLastLease = false;
        Destroy(lock, handle);
        return;
    }
    changed_.notify_all();
}

}  // namespace Tavo::BLE
