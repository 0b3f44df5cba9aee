// Clocks for tests. DrivenClock's time moves only by sleeps, by time-outs that run out and by
// advance(): a platform wait may only look (or block for a short real slice), so a time-out of
// seconds passes in microseconds. SkippedPausesClock waits for real but skips pauses, for tests
// against a target that answers in real time.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

#include "link/Clock.h"

namespace tervan::testing {

// Keeps the length of every pause asked of a clock, in milliseconds.
class PauseLog {
public:
    void add(Clock::Duration pause) {
        std::lock_guard lock(mutex_);
        pauses_.push_back(static_cast<int>(pause.count()));
    }
    std::vector<int> pauses() const {
        std::lock_guard lock(mutex_);
        return pauses_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<int> pauses_;
};

class DrivenClock final : public Clock {
public:
    explicit DrivenClock(Duration realSlice = Duration::zero()) : realSlice_(realSlice) {}

    TimePoint now() override { return TimePoint(std::chrono::milliseconds(elapsedMs_.load())); }
    void sleepFor(Duration pause) override {
        log.add(pause);
        advance(pause);
    }
    int wait(Duration limit, const PlatformWait& platformWait) override {
        const int result = platformWait(std::min(limit, realSlice_));
        if (result == 0) {
            advance(limit);
        }
        return result;
    }

    void advance(Duration step) { elapsedMs_.fetch_add(step.count()); }
    // Driven time since the clock was made.
    Duration elapsed() const { return Duration(elapsedMs_.load()); }

    PauseLog log;

private:
    const Duration realSlice_;
    std::atomic<long long> elapsedMs_{0};
};

class SkippedPausesClock final : public Clock {
public:
    TimePoint now() override { return realClock().now(); }
    void sleepFor(Duration pause) override { log.add(pause); }
    int wait(Duration limit, const PlatformWait& platformWait) override {
        return platformWait(limit);
    }

    PauseLog log;
};

}  // namespace tervan::testing
