#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace Tavo::BLE {

// The scans of one amplifier waiting for its delivery thread: a ring of
// preallocated floats, so queueing and taking a scan allocate nothing.
//
// When the ring is full the oldest scan gives way to the new one and is
// delivered as a filler instead, as a lost notification is: a copy of the last
// scan taken, under the dropped scan's own sample number, with data-valid 0.0.
// The numbers of dropped scans are kept as runs of consecutive numbers, so
// every filler carries exactly the number of the scan it replaces, whatever
// the counter did (a restart, a jump), and memory stays bounded however long
// nothing is taken. Not thread-safe: the owner serialises the calls.
class ScanQueue {
  public:
    // counterColumn is the column of the running sample number, -1 without a
    // counter channel; the data-valid flag is the last column.
    ScanQueue(uint16_t valuesPerScan, uint32_t capacity, int counterColumn);

    // Scans the ring holds for an amplifier at samplingRate that sends
    // scansPerNotification in each notification: 4 s of data, never less
    // than two notifications (nor a minimum), and for the seconds part never
    // more floats than a fixed ceiling (the rate and width come from the radio).
    static uint32_t CapacityFor(uint32_t samplingRate, uint16_t valuesPerScan,
                                uint32_t scansPerNotification);

    // Copies one scan of ValuesPerScan() floats in; Pop() sees it after the
    // next Commit(), so the scans of one notification are taken together.
    void Push(const float* scan);
    void Commit() {
        size_ += staged_;
        staged_ = 0;
    }
    // The next scan (a filler for a dropped one first) in the queue's own
    // output row, valid until the next Pop(); null when there is none. Only
    // one thread takes scans, so that row may be used without the owner's
    // lock; what the taker writes into it changes no later scan.
    float* Pop();
    // Forgets what is waiting (fillers included); the last scan taken stays
    // the pattern of later fillers.
    void Clear();
    // Nobody takes the scans waiting now (staged ones too): each is delivered
    // later as a filler under its own number, as a dropped scan is, so the
    // sample numbers the amplifier sent stay complete across a stop and start.
    void Abandon();
    // A scan that comes while nobody takes scans: it too becomes a filler.
    void Skip(const float* scan) { AddRun(scan); }

    // Nothing to Pop() (staged scans do not count).
    bool Empty() const { return size_ == 0 && runs_.empty(); }
    uint16_t ValuesPerScan() const { return width_; }
    uint32_t Capacity() const { return capacity_; }
    // Scans that gave way to newer ones, since construction.
    uint64_t Dropped() const { return dropped_; }

  private:
    // Dropped scans numbered first, first + 1, ... (as the float the scan
    // carried); without a counter only `count` matters.
    struct Run {
        double first;
        uint64_t count;
    };

    void Drop(const float* oldest);
    void AddRun(const float* scan);

    uint16_t width_;
    uint32_t capacity_;
    int counterColumn_;
    std::vector<float> ring_;  // capacity_ × width_
    std::vector<float> out_;   // the scan Pop() hands out
    std::vector<float> last_;  // the last real scan taken: what fillers repeat
    uint32_t head_ = 0;        // slot of the oldest scan
    uint32_t size_ = 0;        // committed scans from head_ on
    uint32_t staged_ = 0;      // pushed after them, not yet committed
    // Dropped scans not yet delivered as fillers; they come before the ring's
    // scans. At most one run per slot (256 at least): beyond, further drops
    // extend the last run.
    std::deque<Run> runs_;
    uint64_t dropped_ = 0;
};

}  // namespace Tavo::BLE
