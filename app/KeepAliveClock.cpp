#include "app/KeepAliveClock.h"

#include <algorithm>

namespace tervan {

void KeepAliveClock::sleepFor(Duration pause) {
    if (!keepAlive_) {
        inner_.sleepFor(pause);
        return;
    }
    keepAliveIfDue();
    while (pause > kSlice) {
        inner_.sleepFor(kSlice);
        pause -= kSlice;
        keepAliveNow();
    }
    inner_.sleepFor(pause);
}

int KeepAliveClock::wait(Duration limit, const PlatformWait& platformWait) {
    if (!keepAlive_) {
        return inner_.wait(limit, platformWait);
    }
    keepAliveIfDue();
    const TimePoint deadline = inner_.now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<Duration>(deadline - inner_.now());
        const int result = inner_.wait(std::clamp(left, Duration::zero(), kSlice), platformWait);
        if (result != 0 || left <= kSlice) {
            return result;
        }
        keepAliveNow();
    }
}

void KeepAliveClock::keepAliveIfDue() {
    if (std::chrono::steady_clock::now() - lastKeepAlive_ >= kSlice) {
        keepAliveNow();
    }
}

void KeepAliveClock::keepAliveNow() {
    lastKeepAlive_ = std::chrono::steady_clock::now();
    keepAlive_();
}

}  // namespace tervan
