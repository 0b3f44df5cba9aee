// A clock the test drives: its time moves only by sleeps, by time-outs that run out and by
// advance(). A platform wait is only allowed to look (or to block for a short real slice, for
// a peer that answers at once), so a time-out of seconds passes in microseconds.
#pragma once

#include <atomic>
#include <chrono>

#include "link/Clock.h"

namespace tervan::testing {

class DrivenClock final : public Clock {
public:
    explicit DrivenClock(Duration realSlice = Duration::zero()) : realSlice_(realSlice) {}

    TimePoint now() override { return TimePoint(std::chrono::milliseconds(elapsedMs_.load())); }
    void sleepFor(Duration pause) override {
        sleeps_.fetch_add(1);
        advance(pause);
    }
    int wait(Duration limit, const PlatformWait& platformWait) override {
        waits_.fetch_add(1);
        const int result = platformWait(std::min(limit, realSlice_));
        if (result == 0) {
            advance(limit);
        }
        return result;
    }

    void advance(Duration step) { elapsedMs_.fetch_add(step.count()); }
    // Driven time since the clock was made.
    Duration elapsed() const { return Duration(elapsedMs_.load()); }
    int sleeps() const { return sleeps_.load(); }
    int waits() const { return waits_.load(); }

private:
    const Duration realSlice_;
    std::atomic<long long> elapsedMs_{0};
    std::atomic<int> sleeps_{0};
    std::atomic<int> waits_{0};
};

}  // namespace tervan::testing
