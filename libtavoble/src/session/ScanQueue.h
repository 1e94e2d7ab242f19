#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Tavo::BLE {

// The scans of one amplifier waiting for its delivery thread: a ring of
// preallocated floats, so queueing and taking a scan allocate nothing.
//
// When the ring is full the oldest scan gives way to the new one and is
// delivered as a filler instead, as a lost notification is: a copy of the last
// scan taken, with the dropped scan's sample number and data-valid 0.0. The
// application thus sees the loss where it happened and the sample numbers run
// on without a gap. Not thread-safe: the owner serialises the calls.
class ScanQueue {
  public:
    // counterColumn is the column of the running sample number, -1 without a
    // counter channel; the data-valid flag is the last column.
    ScanQueue(uint16_t valuesPerScan, uint32_t capacity, int counterColumn);

    // Scans the ring holds for an amplifier at samplingRate: a few seconds of
    // data, at least a minimum, and never more floats than a fixed ceiling
    // (the rate and width come from the radio).
    static uint32_t CapacityFor(uint32_t samplingRate, uint16_t valuesPerScan);

    // Copies one scan of ValuesPerScan() floats in; Pop() sees it after the
    // next Commit(), so the scans of one notification are taken together.
    void Push(const float* scan);
    void Commit() {
        size_ += staged_;
        staged_ = 0;
    }
    // Copies the next scan (a filler for a dropped one first) into `scan`;
    // false when there is none.
    bool Pop(float* scan);
    // Forgets what is waiting (fillers included); the last scan taken stays
    // the pattern of later fillers.
    void Clear();

    // Nothing to Pop() (staged scans do not count).
    bool Empty() const { return size_ == 0 && fillers_ == 0; }
    uint16_t ValuesPerScan() const { return width_; }
    uint32_t Capacity() const { return capacity_; }
    // Scans that gave way to newer ones, since construction.
    uint64_t Dropped() const { return dropped_; }

  private:
    uint16_t width_;
    uint32_t capacity_;
    int counterColumn_;
    std::vector<float> ring_;  // capacity_ × width_
    std::vector<float> last_;  // the scan taken last
    uint32_t head_ = 0;        // slot of the oldest scan
    uint32_t size_ = 0;        // committed scans from head_ on
    uint32_t staged_ = 0;      // pushed after them, not yet committed
    // Dropped scans not yet delivered as fillers; they come before the ring's
    // scans and carry consecutive sample numbers from firstFillerNumber_.
    uint64_t fillers_ = 0;
    double firstFillerNumber_ = 0.0;
    uint64_t dropped_ = 0;
};

}  // namespace Tavo::BLE
