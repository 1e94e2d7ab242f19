// A bounded single-producer/single-consumer ring of scans, each with its
// arrival time: the library's delivery thread appends, one Python thread
// takes chunks. Neither side takes a lock to move data; the reader sleeps on
// a condition variable that the writer signals only while someone waits.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace tavo_ble {

class ScanRing {
  public:
    ScanRing(uint32_t width, uint32_t capacity);
    ScanRing(const ScanRing&) = delete;
    ScanRing& operator=(const ScanRing&) = delete;

    uint32_t width() const { return width_; }
    uint32_t capacity() const { return capacity_; }

    // Producer: one scan of `count` values (cut or padded with NaN to the width).
    // A full ring drops the scan and counts it against the next one written.
    void push(const float* scan, uint32_t count, double arrival);

    // Before the first push: fillers (0.0 in column `validColumn`) that come
    // before the first measured scan are counted instead of written. An
    // amplifier that counted long before the stream sends one filler per
    // sample it counted, millions at once, which would fill the ring ahead of
    // the measured scans behind them.
    void skipLeadingFillers(uint32_t validColumn) {
        skipLeading_ = true;
        validColumn_ = validColumn;
    }
    // Consumer: leading fillers counted so far; final once a scan was read.
    uint64_t skipped() const { return skipped_.load(std::memory_order_acquire); }

    // Before the first push: a run of fillers (0.0 in column `validColumn`,
    // each the one before it with the sample number in `counterColumn` one
    // higher, or the same without a counter: counterColumn < 0) takes one
    // slot, and read() hands it out filler by filler. After an outage the
    // library puts in a filler for every sample counted meanwhile, in one
    // burst; held one slot each they would fill the ring and drop the
    // measured scans right behind them. A run is handed out once the scan
    // after it came, or after endRun().
    void compactFillerRuns(uint32_t validColumn, int64_t counterColumn) {
        compact_ = true;
        validColumn_ = validColumn;
        counterColumn_ = counterColumn;
    }
    // Once no push comes any more (the ring's route is gone): hands out the
    // run still open.
    void endRun() { closeRun(); }

    // Consumer: copies up to `max` scans into out (max * width floats), their
    // arrivals and, for each, how many scans were dropped just before it.
    // Returns how many it copied.
    uint32_t read(float* out, double* arrivals, uint32_t* droppedBefore, uint32_t max);
    // Scans dropped since the last one written (not yet attached to a scan).
    uint64_t pendingDropped() const { return pendingDropped_.load(std::memory_order_acquire); }
    uint64_t available() const;

    // Consumer: waits until a scan is available, `timeout` seconds pass or
    // wake() is called; first lets `minGap` seconds pass since the previous
    // return, so that a fast stream is read in chunks. Returns available().
    uint64_t wait(double timeout, double minGap);
    // Makes a waiting (or the next) wait() return at once.
    void wake();

  private:
    bool isFiller(const float* scan, uint32_t count) const {
        return scan != nullptr && validColumn_ < count && scan[validColumn_] == 0.0f;
    }
    // Producer: true when `scan` is the next filler of the open run.
    bool continuesRun(const float* scan, uint32_t count) const;
    void closeRun();

    const uint32_t width_;
    const uint32_t capacity_;
    std::vector<float> values_;
    std::vector<double> arrivals_;
    std::vector<uint32_t> droppedBefore_;
    alignas(64) std::atomic<uint64_t> written_{0};
    uint64_t pendingLocal_ = 0;  // producer only
    std::atomic<uint64_t> pendingDropped_{0};
    bool skipLeading_ = false;  // set before the first push, then producer only
    bool compact_ = false;      // set before the first push
    uint32_t validColumn_ = 0;
    int64_t counterColumn_ = -1;
    std::vector<uint32_t> repeats_;  // fillers after a slot's own, in its run
    // Producer: the run being gathered in slot written_, not yet handed out.
    bool runOpen_ = false;
    uint32_t runCount_ = 0;  // values of the run's scans
    uint32_t runNext_ = 0;   // fillers after the first one so far
    uint32_t emitted_ = 0;   // consumer: scans of the slot at read_ handed out
    std::atomic<uint64_t> skipped_{0};
    alignas(64) std::atomic<uint64_t> read_{0};
    std::atomic<bool> waiting_{false};
    std::atomic<bool> woken_{false};
    std::mutex mutex_;
    std::condition_variable cv_;
    double lastReturn_ = 0;  // consumer only, CLOCK_MONOTONIC seconds
};

// CLOCK_MONOTONIC in seconds: the clock of Python's time.monotonic().
double monotonicSeconds();

}  // namespace tavo_ble
