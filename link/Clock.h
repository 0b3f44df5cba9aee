// Time as the tool sees it. Every time-out, the connect countdown and every pause goes through
// a Clock: the programs use the real one; tests drive their own, so that a path that waits
// seconds on a real line runs in milliseconds.
#pragma once

#include <chrono>
#include <functional>

namespace tervan {

class Clock {
public:
    using Duration = std::chrono::milliseconds;
    using TimePoint = std::chrono::steady_clock::time_point;
    // A platform wait (poll, a wait on an event): blocks for at most the given time and
    // returns > 0 when what it waits for came, 0 when the time ran out, < 0 on failure.
    using PlatformWait = std::function<int(Duration)>;

    virtual ~Clock() = default;

    virtual TimePoint now() = 0;
    virtual void sleepFor(Duration pause) = 0;
    // Runs one platform wait bounded by `limit` and returns its result. The real clock lets
    // the platform block for all of `limit`; a driven clock may let it only look, and moves
    // its own time on by `limit` when nothing came.
    virtual int wait(Duration limit, const PlatformWait& platformWait) = 0;
};

// The steady clock with real waits: the one every program uses.
Clock& realClock();

}  // namespace tervan
