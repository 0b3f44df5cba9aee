// The clock of the window's handlers. Connect and a download wait seconds on the target in one
// handler; this clock cuts every wait and pause into slices and lets the window keep itself
// alive between them (paint, answer the desktop), while the user's input waits until the
// handler has returned. Without a keep-alive it passes every wait through whole.
#pragma once

#include <chrono>
#include <functional>

#include "link/Clock.h"

namespace tervan {

class KeepAliveClock final : public Clock {
public:
    // The longest stretch of a wait or pause without a keep-alive.
    static constexpr Duration kSlice{50};

    explicit KeepAliveClock(Clock& inner) : inner_(inner) {}

    // Set while a window that needs it is attached; empty for none.
    void setKeepAlive(std::function<void()> keepAlive) { keepAlive_ = std::move(keepAlive); }

    TimePoint now() override { return inner_.now(); }
    void sleepFor(Duration pause) override;
    int wait(Duration limit, const PlatformWait& platformWait) override;

private:
    // Keeps the window alive if a slice of real time has passed since it last did; waits
    // that end early one after another (a download's answers) still let it run that often.
    void keepAliveIfDue();
    void keepAliveNow();

    Clock& inner_;
    std::function<void()> keepAlive_;
    std::chrono::steady_clock::time_point lastKeepAlive_{};
};

}  // namespace tervan
