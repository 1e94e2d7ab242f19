#include "SimpleBLEAdapter.h"

#include <cxxabi.h>

#include <cstring>
#include <string>

#include "ApiException.h"
#include "NameSlot.h"

namespace Tavo::BLE {
namespace {

// An amplifier that has not advertised for longer than this is dropped.
constexpr double kSilenceLimitMs = 10000.0;
// How often the list is swept without an advertisement to trigger it.
constexpr auto kSweepPeriod = std::chrono::milliseconds(500);

std::atomic<SimpleBLEAdapter*> builtInstance{nullptr};

}  // namespace

SimpleBLEAdapter::SimpleBLEAdapter(SimpleBLE::Adapter adapter)
    : adapter_(std::move(adapter)),
      delivery_([this] { return callback_.load(); }, [this] { SweepSilent(); }, kSweepPeriod) {}

SimpleBLEAdapter* SimpleBLEAdapter::Build() {
    if (!SimpleBLE::Adapter::bluetooth_enabled()) {
        throw ApiException("Bluetooth adapter not enabled.", ErrorCode::Adapter);
    }
    std::vector<SimpleBLE::Adapter> adapters = SimpleBLE::Adapter::get_adapters();
    if (adapters.empty()) {
        throw ApiException("No Bluetooth adapter found.", ErrorCode::Adapter);
    }
    if (adapters.size() > 1) {
        throw ApiException("Multiple Bluetooth adapters found.", ErrorCode::Adapter);
    }
    // Never destroyed: the scan thread may report until the process ends, and
    // the library is never unloaded (it is linked with -z nodelete).
    auto* adapter = new SimpleBLEAdapter(adapters.front());
    builtInstance = adapter;
    return adapter;
}

SimpleBLEAdapter* SimpleBLEAdapter::GetInstance() {
    // If Build() throws, the static stays uninitialised and the next call retries.
    static SimpleBLEAdapter* instance = Build();
    return instance;
}

bool SimpleBLEAdapter::IsRecognisedName(const std::string& name) {
    return !name.empty() && name.find('U') == 0 && name.find('-') == 2 && name.find('.') == 7;
}

namespace {
// BlueZ's answers for a discovery of this client that already runs, or that
// has already ended: the state asked for is reached.
bool AlreadyScanning(const std::exception& e) {
    return std::strstr(e.what(), "InProgress") != nullptr;
}
bool AlreadyStopped(const std::exception& e) {
    return std::strstr(e.what(), "No discovery started") != nullptr;
}
}  // namespace

void SimpleBLEAdapter::ThrowIfBluetoothOff() {
    if (SimpleBLE::Adapter::bluetooth_enabled()) {
        return;
    }
    // Switched off since the adapter was built: nothing would scan, so say so
    // as a fresh process would. BlueZ ended any discovery.
    {
        std::lock_guard<std::mutex> lock(scanMutex_);
        EndApplicationScanLocked();
        if (!driving_) {
            active_ = false;
        }
    }
    throw ApiException("Bluetooth adapter not enabled.", ErrorCode::Adapter);
}

void SimpleBLEAdapter::StartScanning() {
    ThrowIfBluetoothOff();
    CurrentAdapter();
    {
        std::lock_guard<std::mutex> lock(scanMutex_);
        if (!applicationScan_) {
            // A new scan of the application's: a list of its own, reported
            // from now on. A start during its scan changes nothing.
            applicationScan_ = true;
            ClearListLocked();
            delivery_.SetReporting(true);
        }
    }
    Drive();
}

void SimpleBLEAdapter::StopScanning() {
    {
        std::lock_guard<std::mutex> lock(scanMutex_);
        EndApplicationScanLocked();
    }
    // No list reaches the callback once this returns.
    delivery_.WaitIdle();
    Drive();
}

void SimpleBLEAdapter::EndApplicationScanLocked() {
    applicationScan_ = false;
    delivery_.SetReporting(false);
}

void SimpleBLEAdapter::ClearListLocked() {
    std::lock_guard<std::mutex> lock(mutex_);
    peripherals_.clear();
    names_.clear();
    lastSeen_.clear();
}

SimpleBLE::Adapter SimpleBLEAdapter::CurrentAdapter() {
    // The stack is asked without a lock held: its answers may need the
    // thread that runs the callbacks, which may be waiting for one of ours.
    SimpleBLE::Adapter inUse;
    {
        std::lock_guard<std::mutex> lock(adapterMutex_);
        inUse = adapter_;
    }
    const std::vector<SimpleBLE::Adapter> adapters = SimpleBLE::Adapter::get_adapters();
    const std::string current = inUse.identifier();
    for (SimpleBLE::Adapter candidate : adapters) {
        if (candidate.identifier() == current) {
            // The stack ends a discovery by itself when Bluetooth restarts or
            // the bus connection is lost: the next start must start again.
            CheckStackScan(inUse);
            return inUse;
        }
    }
    if (adapters.size() != 1) {
        return inUse;  // none or several: the calls report it as before
    }
    {
        std::lock_guard<std::mutex> lock(adapterMutex_);
        if (adapter_.identifier() == current) {
            adapter_ = adapters.front();
        }
        inUse = adapter_;
    }
    // The old adapter took its discovery with it.
    std::lock_guard<std::mutex> scanLock(scanMutex_);
    if (!driving_) {
        active_ = false;
    }
    return inUse;
}

void SimpleBLEAdapter::CheckStackScan(const SimpleBLE::Adapter& inUse) {
    uint64_t discovery = 0;
    {
        std::lock_guard<std::mutex> lock(scanMutex_);
        discovery = discovery_;
    }
    bool stackScanning = false;
    bool gone = false;
    try {
        stackScanning = SimpleBLE::Adapter(inUse).scan_is_active();
    } catch (...) {
        gone = true;  // the adapter or the service is gone
    }
    std::lock_guard<std::mutex> lock(scanMutex_);
    if (driving_ || discovery != discovery_ || !active_) {
        return;  // a start or stop of ours decides, or the answer is out of date
    }
    if (stackScanning) {
        stackReported_ = true;
    } else if (stackReported_ || gone) {
        active_ = false;
    }
}

bool SimpleBLEAdapter::IsScanning() {
    // A scan the Bluetooth stack ended (adapter switched off) is not running,
    // whatever the application asked for: the next start starts it again.
    // The stack is asked without a lock held, as in CurrentAdapter().
    const bool enabled = SimpleBLE::Adapter::bluetooth_enabled();
    SimpleBLE::Adapter inUse;
    {
        std::lock_guard<std::mutex> lock(adapterMutex_);
        inUse = adapter_;
    }
    CheckStackScan(inUse);
    std::lock_guard<std::mutex> lock(scanMutex_);
    if (!enabled && !driving_) {
        active_ = false;
    }
    if (applicationScan_ && !active_ && !driving_) {
        // The stack ended the application's scan: it is over, reports
        // included, and the next start starts a new one.
        EndApplicationScanLocked();
    }
    return applicationScan_;
}

void SimpleBLEAdapter::Drive() {
    std::unique_lock<std::mutex> lock(scanMutex_);
    if (driving_) {
        return;  // the thread whose start or stop is under way goes on to this state
    }
    driving_ = true;
    while (active_ != WantedLocked()) {
        const bool start = WantedLocked();
        if (start) {
            ++discovery_;
        }
        lock.unlock();
        bool reported = false;
        try {
            if (start) {
                reported = StartDiscovery();
            } else {
                StopDiscovery();
            }
        } catch (...) {
            lock.lock();
            // A failed start is not the application's scan; the searches
            // fail with it and end theirs themselves.
            active_ = false;
            EndApplicationScanLocked();
            driving_ = false;
            throw;
        }
        lock.lock();
        active_ = start;
        stackReported_ = reported;
    }
    driving_ = false;
}

SimpleBLEAdapter::Search::Search(SimpleBLEAdapter& adapter, bool endsApplicationScan)
    : adapter_(adapter), endsApplicationScan_(endsApplicationScan) {
    std::lock_guard<std::mutex> lock(adapter_.scanMutex_);
    if (!adapter_.WantedLocked()) {
        // Nobody scans: what the list holds is from an earlier discovery,
        // whose device objects the stack may have dropped since.
        adapter_.ClearListLocked();
    }
    ++adapter_.searches_;
}

void SimpleBLEAdapter::Search::KeepScanning() {
    SimpleBLE::Adapter inUse;
    {
        std::lock_guard<std::mutex> lock(adapter_.adapterMutex_);
        inUse = adapter_.adapter_;
    }
    adapter_.CheckStackScan(inUse);
    {
        std::lock_guard<std::mutex> lock(adapter_.scanMutex_);
        if (adapter_.active_ || adapter_.driving_) {
            return;
        }
    }
    adapter_.ThrowIfBluetoothOff();
    adapter_.CurrentAdapter();
    adapter_.Drive();
}

SimpleBLEAdapter::Search::~Search() {
    {
        std::lock_guard<std::mutex> lock(adapter_.scanMutex_);
        --adapter_.searches_;
        if (endsApplicationScan_) {
            adapter_.EndApplicationScanLocked();
        }
    }
    try {
        if (endsApplicationScan_) {
            adapter_.delivery_.WaitIdle();
        }
        adapter_.Drive();
    } catch (...) {
        // A stop the stack refused: the next start or stop tries again.
    }
}

bool SimpleBLEAdapter::StartDiscovery() {
    SimpleBLE::Adapter adapter;
    {
        std::lock_guard<std::mutex> lock(adapterMutex_);
        adapter = adapter_;
    }
    adapter.set_callback_on_scan_found(&SimpleBLEAdapter::OnScanFound);
    adapter.set_callback_on_scan_updated(&SimpleBLEAdapter::OnScanFound);
    // No handler for the stack's scan-stopped notice: it comes on another
    // thread, also for a stop of our own, and may arrive after the next start
    // has finished. Whether the stack ended a discovery is asked of the stack
    // itself instead (CheckStackScan).
    try {
        adapter.scan_start();
    } catch (const std::exception& e) {
        if (!AlreadyScanning(e)) {
            adapter.set_callback_on_scan_found({});
            adapter.set_callback_on_scan_updated({});
            throw;
        }
    }
    // The sweep timer runs from the first scan on.
    delivery_.Start();
    try {
        return adapter.scan_is_active();
    } catch (...) {
        return false;
    }
}

void SimpleBLEAdapter::StopDiscovery() {
    SimpleBLE::Adapter adapter;
    {
        std::lock_guard<std::mutex> lock(adapterMutex_);
        adapter = adapter_;
    }
    adapter.set_callback_on_scan_found({});
    adapter.set_callback_on_scan_updated({});
    try {
        adapter.scan_stop();
    } catch (const std::exception& e) {
        if (!AlreadyStopped(e)) {
            throw;
        }
    }
}

void SimpleBLEAdapter::RegisterDeviceDiscoveredCallback(DeviceDiscoveredCallback callback) {
    callback_ = callback;
}

std::vector<SimpleBLE::Peripheral> SimpleBLEAdapter::GetPeripherals() {
    std::lock_guard<std::mutex> lock(mutex_);
    return peripherals_;
}

std::vector<SimpleBLE::Peripheral> SimpleBLEAdapter::GetConnectedPeripherals() {
    return CurrentAdapter().get_connected_peripherals();
}

// A forced unwind has no exception object: the sanitizer must not check
// the reference its handler binds.
__attribute__((no_sanitize("null"))) void SimpleBLEAdapter::OnScanFound(
    SimpleBLE::Peripheral peripheral) {
    SimpleBLEAdapter* adapter = builtInstance.load();
    if (adapter == nullptr) {
        return;
    }
    try {
        adapter->OnAdvertisement(peripheral);
    } catch (abi::__forced_unwind&) {
        throw;  // the thread is being ended (e.g. by an interpreter shutting down)
    } catch (...) {
        // A failed report (a peripheral gone meanwhile, no memory) leaves the
        // list as it was; scanning goes on.
    }
}

bool SimpleBLEAdapter::SweepLocked(std::chrono::steady_clock::time_point now) {
    bool removed = false;
    for (std::size_t i = names_.size(); i-- > 0;) {
        const double ageMs =
            static_cast<double>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(now - lastSeen_[i]).count()) /
            1000000.0;
        if (ageMs > kSilenceLimitMs) {
            peripherals_.erase(peripherals_.begin() + static_cast<std::ptrdiff_t>(i));
            names_.erase(names_.begin() + static_cast<std::ptrdiff_t>(i));
            lastSeen_.erase(lastSeen_.begin() + static_cast<std::ptrdiff_t>(i));
            removed = true;
        }
    }
    return removed;
}

void SimpleBLEAdapter::PostListLocked() {
    // The application gets its own copy, delivered on the delivery thread.
    std::vector<char> slots(names_.size() * TAVOBLE_DEVICENAME_LENGTH_MAX, '\0');
    for (std::size_t i = 0; i < names_.size(); ++i) {
        std::memcpy(&slots[i * TAVOBLE_DEVICENAME_LENGTH_MAX], names_[i].data(),
                    NameSlotLength(names_[i]));
    }
    delivery_.Post(std::move(slots), static_cast<uint32_t>(names_.size()));
}

void SimpleBLEAdapter::SweepSilent() {
    {
        std::lock_guard<std::mutex> lock(scanMutex_);
        if (!active_ || !WantedLocked()) {
            return;  // the list stays as it is after a stop
        }
    }
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        if (SweepLocked(std::chrono::steady_clock::now())) {
            PostListLocked();
        }
    } catch (...) {
        // No memory for the names: the next sweep tries again.
    }
}

void SimpleBLEAdapter::OnAdvertisement(SimpleBLE::Peripheral& peripheral) {
    const auto now = std::chrono::steady_clock::now();
    const std::string name = peripheral.identifier();
    bool found = false;
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < names_.size(); ++i) {
        if (names_[i] == name) {
            lastSeen_[i] = now;
            found = true;
            break;
        }
    }
    bool notify = SweepLocked(now);
    if (!found && IsRecognisedName(name)) {
        peripherals_.push_back(peripheral);
        names_.push_back(name);
        lastSeen_.push_back(now);
        notify = true;
    }
    if (notify) {
        PostListLocked();
    }
}

}  // namespace Tavo::BLE
