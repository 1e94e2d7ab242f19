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
      droppedBefore_(capacity_),
      repeats_(capacity_) {}

bool ScanRing::continuesRun(const float* scan, uint32_t count) const {
    if (!runOpen_ || count != runCount_ || runNext_ == std::numeric_limits<uint32_t>::max()) {
        return false;
    }
    const uint64_t w = written_.load(std::memory_order_relaxed);
    const float* first = values_.data() + static_cast<size_t>(w % capacity_) * width_;
    const uint32_t n = std::min(count, width_);
    for (uint32_t c = 0; c < n; ++c) {
        const bool counter = counterColumn_ >= 0 && static_cast<int64_t>(c) == counterColumn_;
        if (counter ? scan[c] != static_cast<float>(static_cast<double>(first[c]) + runNext_ + 1.0)
                    : std::memcmp(&scan[c], &first[c], sizeof(float)) != 0) {
            return false;
        }
    }
    return true;
}

void ScanRing::closeRun() {
    if (!runOpen_) {
        return;
    }
    runOpen_ = false;
    const uint64_t w = written_.load(std::memory_order_relaxed);
    repeats_[static_cast<size_t>(w % capacity_)] = runNext_;
    written_.store(w + 1, std::memory_order_seq_cst);
    if (waiting_.load(std::memory_order_seq_cst)) {
        std::lock_guard<std::mutex> lock(mutex_);
        cv_.notify_one();
    }
}

void ScanRing::push(const float* scan, uint32_t count, double arrival) {
    if (skipLeading_) {
        if (isFiller(scan, count)) {
            // Stored before the scan after it is published, so a reader that
            // got that scan sees the final count.
            skipped_.store(skipped_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
            return;
        }
        skipLeading_ = false;
    }
    const bool filler = compact_ && isFiller(scan, count);
    if (filler && continuesRun(scan, count)) {
        ++runNext_;
        return;
    }
    closeRun();
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
    repeats_[slot] = 0;
    if (filler) {
        // Handed out when the run ends: the scans after it may still join.
        runOpen_ = true;
        runCount_ = count;
        runNext_ = 0;
        return;
    }
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
    uint64_t r = read_.load(std::memory_order_relaxed);
    const uint64_t written = written_.load(std::memory_order_acquire);
    uint32_t n = 0;
    while (n < max && r != written) {
        // A slot of a run stands for 1 + repeats scans; a run longer than
        // `max` goes out over several reads, its slot kept until the last.
        const size_t slot = static_cast<size_t>(r % capacity_);
        const float* row = values_.data() + slot * width_;
        float* into = out + static_cast<size_t>(n) * width_;
        std::memcpy(into, row, width_ * sizeof(float));
        if (emitted_ != 0 && counterColumn_ >= 0 && counterColumn_ < static_cast<int64_t>(width_)) {
            const size_t c = static_cast<size_t>(counterColumn_);
            into[c] = static_cast<float>(static_cast<double>(row[c]) + emitted_);
        }
        arrivals[n] = arrivals_[slot];
        droppedBefore[n] = emitted_ == 0 ? droppedBefore_[slot] : 0;
        ++n;
        if (emitted_++ == repeats_[slot]) {
            emitted_ = 0;
            ++r;
        }
    }
    read_.store(r, std::memory_order_release);
    return n;
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
