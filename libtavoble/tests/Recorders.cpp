#include "Recorders.h"

#include <cstring>
#include <utility>

namespace e2e {

// Never destroyed: an amplifier may still deliver while the process exits.
ScanRecorder& ScanRecorder::Instance() {
    static ScanRecorder* recorder = new ScanRecorder;
    return *recorder;
}

void ScanRecorder::Callback(TAVOBLE_HANDLE handle, float* sample, uint32_t count) {
    ScanRecorder& r = Instance();
    std::lock_guard<std::mutex> lock(r.mutex_);
    r.scans_.push_back(Scan{handle, std::vector<float>(sample, sample + count)});
    r.changed_.notify_all();
}

std::vector<Scan> ScanRecorder::Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(scans_, {});
}

std::size_t ScanRecorder::Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return scans_.size();
}

bool ScanRecorder::WaitForCount(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return scans_.size() >= count; });
}

DiscoveryRecorder& DiscoveryRecorder::Instance() {
    static DiscoveryRecorder* recorder = new DiscoveryRecorder;
    return *recorder;
}

void DiscoveryRecorder::Callback(char (*names)[TAVOBLE_DEVICENAME_LENGTH_MAX], uint32_t count) {
    std::vector<std::string> batch;
    for (uint32_t i = 0; i < count; ++i) {
        // Every slot must be terminated inside its 15 bytes.
        batch.emplace_back(names[i], strnlen(names[i], TAVOBLE_DEVICENAME_LENGTH_MAX));
        if (batch.back().size() == TAVOBLE_DEVICENAME_LENGTH_MAX) {
            batch.back() = "<unterminated>";
        }
    }
    DiscoveryRecorder& r = Instance();
    std::lock_guard<std::mutex> lock(r.mutex_);
    r.nullLists_ += names == nullptr ? 1 : 0;
    r.batches_.push_back(std::move(batch));
    r.changed_.notify_all();
}

std::vector<std::vector<std::string>> DiscoveryRecorder::Batches() {
    std::lock_guard<std::mutex> lock(mutex_);
    return batches_;
}

bool DiscoveryRecorder::WaitFor(
    const std::function<bool(const std::vector<std::vector<std::string>>&)>& ready,
    std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return ready(batches_); });
}

int DiscoveryRecorder::NullLists() {
    std::lock_guard<std::mutex> lock(mutex_);
    return nullLists_;
}

void DiscoveryRecorder::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    batches_.clear();
}

std::string LastError() {
    return TAVOBLE_GetLastErrorText();
}

}  // namespace e2e
