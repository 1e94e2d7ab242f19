// One-shot timers on the simulator's single sd-event loop. Everything the
// simulator does runs on that loop's thread, so no locks are needed and every
// D-Bus signal leaves from the thread that owns the connection.
#pragma once

#include <systemd/sd-event.h>

#include <cstdint>
#include <functional>
#include <memory>

namespace tavosim {

// Current CLOCK_MONOTONIC time in microseconds and nanoseconds.
uint64_t nowUs();
uint64_t nowNs();

class Timer {
  public:
    Timer() = default;
    explicit Timer(sd_event* loop) : loop_(loop) {}
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;
    ~Timer();

    void setLoop(sd_event* loop) { loop_ = loop; }
    // Runs fn once, delayUs from now (0: on the next loop iteration).
    void start(uint64_t delayUs, std::function<void()> fn);
    // Runs fn once at the absolute CLOCK_MONOTONIC time atUs.
    void startAt(uint64_t atUs, std::function<void()> fn);
    void cancel();
    bool active() const;

  private:
    static int dispatch(sd_event_source* source, uint64_t usec, void* userdata);

    sd_event* loop_ = nullptr;
    sd_event_source* source_ = nullptr;
    // Shared so that a callback that destroys its own timer stays alive until it returns.
    std::shared_ptr<std::function<void()>> fn_;
};

}  // namespace tavosim
