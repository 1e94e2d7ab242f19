#include "ScanQueue.h"

#include <algorithm>
#include <cstring>

namespace Tavo::BLE {
namespace {
constexpr uint32_t kSecondsQueued = 4;
// A floor for slow or unstated rates, so one late wake-up of the delivery
// thread costs no scan.
constexpr uint32_t kMinimumScans = 256;
// 16 MiB of floats per device for the seconds part, whatever the amplifier claims.
constexpr uint64_t kMaximumFloats = uint64_t{1} << 22;
}  // namespace

uint32_t ScanQueue::CapacityFor(uint32_t samplingRate, uint16_t valuesPerScan,
                                uint32_t scansPerNotification) {
    const uint64_t ceiling =
        std::max<uint64_t>(kMaximumFloats / std::max<uint16_t>(valuesPerScan, 1), 2);
    const uint64_t seconds = std::min<uint64_t>(
        std::max<uint64_t>(uint64_t{samplingRate} * kSecondsQueued, kMinimumScans), ceiling);
    // Two notifications: one being taken while the next is queued. The
    // assembler already holds that much per notification, so this is no new
    // exposure to a hostile frame count.
    const uint64_t notifications = 2 * uint64_t{std::max<uint32_t>(scansPerNotification, 1)};
    return static_cast<uint32_t>(std::min<uint64_t>(std::max(seconds, notifications), UINT32_MAX));
}

ScanQueue::ScanQueue(uint16_t valuesPerScan, uint32_t capacity, int counterColumn)
    : width_(valuesPerScan),
      capacity_(std::max<uint32_t>(capacity, 1)),
      counterColumn_(counterColumn >= 0 && counterColumn < valuesPerScan ? counterColumn : -1),
      ring_(static_cast<std::size_t>(capacity_) * width_, 0.0f),
      out_(width_, 0.0f),
      last_(width_, 0.0f) {}

void ScanQueue::Drop(const float* oldest) {
    ++dropped_;
    AddRun(oldest);
}

void ScanQueue::AddRun(const float* scan) {
    if (width_ == 0) {
        return;
    }
    const double number = counterColumn_ >= 0 ? static_cast<double>(scan[counterColumn_]) : 0.0;
    if (!runs_.empty()) {
        Run& last = runs_.back();
        // Compared as the float a filler would show, so numbers beyond
        // float precision still join their run.
        const bool next = counterColumn_ < 0 ||
                          static_cast<float>(last.first + static_cast<double>(last.count)) ==
                              static_cast<float>(number);
        if (next || runs_.size() >= std::max<std::size_t>(capacity_, kMinimumScans)) {
            ++last.count;
            return;
        }
    }
    runs_.push_back({number, 1});
}

void ScanQueue::Push(const float* scan) {
    if (width_ == 0) {
        return;
    }
    if (size_ + staged_ == capacity_) {
        // The oldest scan becomes a filler; its number is what the filler shows.
        Drop(ring_.data() + static_cast<std::size_t>(head_) * width_);
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

float* ScanQueue::Pop() {
    if (!runs_.empty()) {
        Run& run = runs_.front();
        std::memcpy(out_.data(), last_.data(), width_ * sizeof(float));
        if (counterColumn_ >= 0) {
            out_[static_cast<std::size_t>(counterColumn_)] = static_cast<float>(run.first);
            run.first += 1.0;
        }
        out_[width_ - 1u] = 0.0f;
        if (--run.count == 0) {
            runs_.pop_front();
        }
        return out_.data();
    }
    if (size_ == 0) {
        return nullptr;
    }
    const float* slot = ring_.data() + static_cast<std::size_t>(head_) * width_;
    std::memcpy(out_.data(), slot, width_ * sizeof(float));
    std::memcpy(last_.data(), slot, width_ * sizeof(float));
    head_ = head_ + 1 == capacity_ ? 0 : head_ + 1;
    --size_;
    return out_.data();
}

void ScanQueue::Abandon() {
    for (uint32_t i = 0; i < size_ + staged_; ++i) {
        uint32_t slot = head_ + i;
        if (slot >= capacity_) {
            slot -= capacity_;
        }
        AddRun(ring_.data() + static_cast<std::size_t>(slot) * width_);
    }
    head_ = 0;
    size_ = 0;
    staged_ = 0;
}

void ScanQueue::Clear() {
    head_ = 0;
    size_ = 0;
    staged_ = 0;
    runs_.clear();
}

}  // namespace Tavo::BLE
