#include "link/Clock.h"

#include <thread>

namespace tervan {
namespace {

class RealClock final : public Clock {
public:
    TimePoint now() override { return std::chrono::steady_clock::now(); }
    void sleepFor(Duration pause) override { std::this_thread::sleep_for(pause); }
    int wait(Duration limit, const PlatformWait& platformWait) override {
        return platformWait(limit);
    }
};

}  // namespace

Clock& realClock() {
    static RealClock clock;
    return clock;
}

}  // namespace tervan
