#include "ScanRing.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>

namespace tavo_ble {

double monotonicSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

ScanRing::ScanRing(uint32_t width, uint32_t capacity)
    : width_(std::max<uint32_t>(width, 1)),
      capacity_(std::max<uint32_t>(capacity, 1)),
      values_(static_cast<size_t>(width_) * capacity_),
      arrivals_(capacity_),
      droppedBefore_(capacity_) {}

void ScanRing::push(const float* scan, uint32_t count, double arrival) {
    if (skipLeading_) {
        if (scan != nullptr && validColumn_ < count && scan[validColumn_] == 0.0f) {
            // Stored before the scan after it is published, so a reader that
            // got that scan sees the final count.
            skipped_.store(skipped_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
            return;
        }
        skipLeading_ = false;
    }
    const uint64_t w = written_.load(std::memory_order_relaxed);
    if (w - read_.load(std::memory_order_acquire) >= capacity_) {
        ++pendingLocal_;
        pendingDropped_.store(pendingLocal_, std::memory_order_release);
        return;
    }
    const size_t slot = static_cast<size_t>(w % capacity_);
    float* row = values_.data() + slot * width_;
    const uint32_t n = scan != nullptr ? std::min(count, width_) : 0;
    if (n != 0) {
        std::memcpy(row, scan, n * sizeof(float));
    }
    std::fill(row + n, row + width_, std::numeric_limits<float>::quiet_NaN());
    arrivals_[slot] = arrival;
    droppedBefore_[slot] = static_cast<uint32_t>(
        std::min<uint64_t>(pendingLocal_, std::numeric_limits<uint32_t>::max()));
    pendingLocal_ = 0;
    pendingDropped_.store(0, std::memory_order_release);
    // seq_cst: ordered against the load of waiting_ below (and the reader's
    // store of waiting_ before its check), so a sleeping reader is always woken.
    written_.store(w + 1, std::memory_order_seq_cst);
    if (waiting_.load(std::memory_order_seq_cst)) {
        std::lock_guard<std::mutex> lock(mutex_);
        cv_.notify_one();
    }
}

uint64_t ScanRing::available() const {
    return written_.load(std::memory_order_acquire) - read_.load(std::memory_order_relaxed);
}

uint32_t ScanRing::read(float* out, double* arrivals, uint32_t* droppedBefore, uint32_t max) {
    const uint64_t r = read_.load(std::memory_order_relaxed);
    const uint64_t n = std::min<uint64_t>(written_.load(std::memory_order_acquire) - r, max);
    for (uint64_t i = 0; i < n; ++i) {
        const size_t slot = static_cast<size_t>((r + i) % capacity_);
        std::memcpy(out + i * width_, values_.data() + slot * width_, width_ * sizeof(float));
        arrivals[i] = arrivals_[slot];
        droppedBefore[i] = droppedBefore_[slot];
    }
    read_.store(r + n, std::memory_order_release);
    return static_cast<uint32_t>(n);
}

uint64_t ScanRing::wait(double timeout, double minGap) {
    using Clock = std::chrono::steady_clock;
    auto after = [](double seconds) {
        return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(std::max(seconds, 0.0)));
    };
    const double start = monotonicSeconds();
    const auto deadline = after(timeout);
    std::unique_lock<std::mutex> lock(mutex_);
    const double gapLeft = lastReturn_ + minGap - start;
    if (gapLeft > 0) {
        cv_.wait_until(lock, std::min(after(gapLeft), deadline),
                       [this] { return woken_.load(std::memory_order_acquire); });
    }
    waiting_.store(true, std::memory_order_seq_cst);
    cv_.wait_until(lock, deadline, [this] {
        return woken_.load(std::memory_order_acquire) ||
               written_.load(std::memory_order_seq_cst) != read_.load(std::memory_order_relaxed);
    });
    waiting_.store(false, std::memory_order_relaxed);
    woken_.store(false, std::memory_order_relaxed);
    lastReturn_ = monotonicSeconds();
    return available();
}

void ScanRing::wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_.store(true, std::memory_order_release);
    cv_.notify_all();
}

}  // namespace tavo_ble
