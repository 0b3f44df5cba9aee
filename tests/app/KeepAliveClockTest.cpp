// The handlers' clock: waits and pauses cut into slices with the window kept alive between
// them, ending exactly as the uncut ones would; without a keep-alive nothing is cut.
#include <gtest/gtest.h>

#include <vector>

#include "app/KeepAliveClock.h"
#include "support/DrivenClock.h"

using namespace tervan;
using std::chrono::milliseconds;
using tervan::testing::DrivenClock;

TEST(KeepAliveClockTest, WaitsAndPausesKeepTheWindowAliveAndEndAsTheyWould) {
    const struct {
        const char* what;
        bool keepAlive;
        milliseconds limit;
        int answerOnCall;  // the platform wait that sees its event come (0: none does)
        int result;
        milliseconds elapsed;
        int keptAliveAtLeast;
    } cases[] = {
        {"a wait that runs out", true, milliseconds(1000), 0, 0, milliseconds(1000), 19},
        {"a wait answered in its third slice", true, milliseconds(1000), 3, 1, milliseconds(100),
         2},
        {"a short wait", true, milliseconds(20), 0, 0, milliseconds(20), 0},
        {"a wait without a window to keep", false, milliseconds(1000), 0, 0, milliseconds(1000), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DrivenClock driven;
        KeepAliveClock clock(driven);
        int keptAlive = 0;
        if (c.keepAlive) {
            clock.setKeepAlive([&] { ++keptAlive; });
        }
        int calls = 0;
        const int result =
            clock.wait(c.limit, [&](milliseconds) { return ++calls == c.answerOnCall ? 1 : 0; });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(driven.elapsed(), c.elapsed);
        EXPECT_GE(keptAlive, c.keptAliveAtLeast);
        EXPECT_EQ(calls == 1,
                  !c.keepAlive || c.limit <= KeepAliveClock::kSlice || c.answerOnCall == 1);
    }

    // A pause of a second is twenty slices with the window kept alive between them.
    DrivenClock driven;
    KeepAliveClock clock(driven);
    int keptAlive = 0;
    clock.setKeepAlive([&] { ++keptAlive; });
    clock.sleepFor(milliseconds(1010));
    EXPECT_EQ(driven.elapsed(), milliseconds(1010));
    EXPECT_GE(keptAlive, 20);
    const std::vector<int> pauses = driven.log.pauses();
    EXPECT_EQ(pauses.size(), 21u);
}
