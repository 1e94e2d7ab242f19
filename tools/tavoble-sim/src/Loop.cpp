#include "Loop.h"

#include <time.h>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace tavosim {

uint64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t nowUs() {
    return nowNs() / 1000U;
}

Timer::~Timer() {
    sd_event_source_disable_unref(source_);
}

void Timer::start(uint64_t delayUs, std::function<void()> fn) {
    startAt(nowUs() + delayUs, std::move(fn));
}

void Timer::startAt(uint64_t atUs, std::function<void()> fn) {
    fn_ = std::make_shared<std::function<void()>>(std::move(fn));
    if (atUs == 0) {
        atUs = 1;  // 0 would mean "disabled" to some sd-event versions
    }
    if (source_ == nullptr) {
        // Accuracy 1 us: sd-event would otherwise coalesce wake-ups by up to 250 ms.
        int r =
            sd_event_add_time(loop_, &source_, CLOCK_MONOTONIC, atUs, 1, &Timer::dispatch, this);
        if (r < 0) {
            throw std::runtime_error("sd_event_add_time failed: " + std::to_string(r));
        }
        return;
    }
    sd_event_source_set_time(source_, atUs);
    sd_event_source_set_enabled(source_, SD_EVENT_ONESHOT);
}

void Timer::cancel() {
    if (source_ != nullptr) {
        sd_event_source_set_enabled(source_, SD_EVENT_OFF);
    }
    fn_.reset();
}

bool Timer::active() const {
    int enabled = SD_EVENT_OFF;
    if (source_ == nullptr || sd_event_source_get_enabled(source_, &enabled) < 0) {
        return false;
    }
    return enabled != SD_EVENT_OFF;
}

int Timer::dispatch(sd_event_source* /*source*/, uint64_t /*usec*/, void* userdata) {
    auto* self = static_cast<Timer*>(userdata);
    std::shared_ptr<std::function<void()>> fn = self->fn_;
    // The callback may destroy this timer; only the local copy is touched from here on.
    if (fn && *fn) {
        try {
            (*fn)();
        } catch (const std::exception& e) {
            // An exception must not unwind through sd-event's C frames.
            std::fprintf(stderr, "tavoble-sim: timer callback failed: %s\n", e.what());
        }
    }
    return 0;
}

}  // namespace tavosim
