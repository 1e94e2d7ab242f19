#include "ScanQueue.h"

#include <algorithm>
#include <cstring>

namespace Tavo::BLE {
namespace {
constexpr uint32_t kSecondsQueued = 4;
constexpr uint32_t kMinimumScans = 256;
// 16 MiB of floats per device at most, whatever the amplifier claims.
constexpr uint64_t kMaximumFloats = uint64_t{1} << 22;
}  // namespace

uint32_t ScanQueue::CapacityFor(uint32_t samplingRate, uint16_t valuesPerScan) {
    const uint64_t wanted =
        std::max<uint64_t>(uint64_t{samplingRate} * kSecondsQueued, kMinimumScans);
    const uint64_t ceiling =
        std::max<uint64_t>(kMaximumFloats / std::max<uint16_t>(valuesPerScan, 1), 2);
    return static_cast<uint32_t>(std::min(wanted, ceiling));
}

ScanQueue::ScanQueue(uint16_t valuesPerScan, uint32_t capacity, int counterColumn)
    : width_(valuesPerScan),
      capacity_(std::max<uint32_t>(capacity, 1)),
      counterColumn_(counterColumn >= 0 && counterColumn < valuesPerScan ? counterColumn : -1),
      ring_(static_cast<std::size_t>(capacity_) * width_, 0.0f),
      last_(width_, 0.0f) {}

void ScanQueue::Push(const float* scan) {
    if (width_ == 0) {
        return;
    }
    if (size_ + staged_ == capacity_) {
        // The oldest scan becomes a filler; its number is what the filler shows.
        if (fillers_ == 0 && counterColumn_ >= 0) {
            firstFillerNumber_ =
                static_cast<double>(ring_[static_cast<std::size_t>(head_) * width_ +
                                          static_cast<std::size_t>(counterColumn_)]);
        }
        ++fillers_;
        ++dropped_;
        head_ = head_ + 1 == capacity_ ? 0 : head_ + 1;
        if (size_ > 0) {
            --size_;
        } else {
            --staged_;
        }
    }
    uint32_t tail = head_ + size_ + staged_;
    if (tail >= capacity_) {
        tail -= capacity_;
    }
    std::memcpy(ring_.data() + static_cast<std::size_t>(tail) * width_, scan,
                width_ * sizeof(float));
    ++staged_;
}

bool ScanQueue::Pop(float* scan) {
    if (fillers_ > 0) {
        std::memcpy(scan, last_.data(), width_ * sizeof(float));
        if (counterColumn_ >= 0) {
            scan[counterColumn_] = static_cast<float>(firstFillerNumber_);
            firstFillerNumber_ += 1.0;
        }
        scan[width_ - 1u] = 0.0f;
        --fillers_;
        // A filler repeats the last real scan, not the filler before it.
        return true;
    }
    if (size_ == 0) {
        return false;
    }
    const float* slot = ring_.data() + static_cast<std::size_t>(head_) * width_;
    std::memcpy(scan, slot, width_ * sizeof(float));
    std::memcpy(last_.data(), slot, width_ * sizeof(float));
    head_ = head_ + 1 == capacity_ ? 0 : head_ + 1;
    --size_;
    return true;
}

void ScanQueue::Clear() {
    head_ = 0;
    size_ = 0;
    staged_ = 0;
    fillers_ = 0;
}

}  // namespace Tavo::BLE
