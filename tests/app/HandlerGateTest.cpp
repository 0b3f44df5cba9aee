// The controller's HandlerGate through the recording window: an activation that arrives while
// a handler runs (one of its message boxes or the file chooser closing) must not re-check the
// image inside that handler; it is held and re-checks once the outermost handler has returned
// and the window's event loop delivers it, if the window is still the active one.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/DownloaderDialog.h"
#include "link/SystemPaths.h"
#include "support/DeviceRootTest.h"
#include "support/RecordingWindow.h"
#include "support/TempDir.h"

using namespace tervan;
using tervan::testing::DeviceRootTest;
using tervan::testing::RecordingWindow;
using tervan::testing::writeFile;

namespace {

class HandlerGateTest : public DeviceRootTest {
protected:
    HandlerGateTest() {
        resize(100);
        dialog.imagePath = dir.file("app.bin");
        dialog.setWindow(&window);
        dialog.initWindow();
    }

    // Changes the image file: a re-check shows the new size.
    void resize(std::size_t size) { writeFile(dir.file("app.bin"), std::string(size, 'a')); }
    const std::string& shownSize() { return window.texts[kSizeLabel]; }

    SettingsStore settings{dir.file("tervan.ini")};
    RecordingWindow window;
    DownloaderDialog dialog{settings};
    HandlerGate& gate = dialog.handlers;
};

}  // namespace

TEST_F(HandlerGateTest, ActivationDuringAHandlerWaitsForTheOutermostToReturn) {
    struct Case {
        const char* arrival;
        std::function<void(HandlerGate&)> arrive;
        bool held;
    };
    const Case cases[] = {
        {"not by a click", [](HandlerGate& g) { g.activation(1, false); }, true},
        {"of a kind not yet known", [](HandlerGate& g) { g.hold(); }, true},
        {"in a nested handler", [](HandlerGate& g) { g.run([&] { g.activation(1, false); }); },
         true},
        {"by a click", [](HandlerGate& g) { g.activation(2, false); }, false},
        {"deactivation", [](HandlerGate& g) { g.activation(0, false); }, false},
    };
    std::size_t size = 100;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arrival);
        // With no handler running, an activation re-checks at once.
        resize(++size);
        gate.activation(1, false);
        const std::string before = shownSize();
        ASSERT_EQ(before, std::to_string(size) + " Bytes");

        resize(++size);
        window.heldActivationsQueued = 0;
        gate.run([&] {
            c.arrive(gate);
            EXPECT_EQ(shownSize(), before);
            EXPECT_EQ(window.heldActivationsQueued, 0);
        });
        EXPECT_EQ(shownSize(), before);
        EXPECT_EQ(window.heldActivationsQueued, c.held ? 1 : 0);
        if (c.held) {
            gate.deliverHeld(true, false);
            EXPECT_EQ(shownSize(), std::to_string(size) + " Bytes");
        }
    }
}

TEST_F(HandlerGateTest, HeldActivationRechecksOnlyInAnActiveWindowWithNoHandlerRunning) {
    struct Case {
        const char* window;
        bool active;
        bool minimized;
        bool duringHandler;
        bool rechecks;
    };
    const Case cases[] = {
        {"active", true, false, false, true},
        {"no longer active", false, false, false, false},
        {"minimised", true, true, false, false},
        {"busy with another handler", true, false, true, false},
    };
    std::size_t size = 100;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.window);
        gate.activation(1, false);
        const std::string before = shownSize();
        resize(++size);
        window.heldActivationsQueued = 0;
        gate.run([&] { gate.activation(1, false); });
        ASSERT_EQ(window.heldActivationsQueued, 1);

        if (c.duringHandler) {
            gate.run([&] { gate.deliverHeld(c.active, c.minimized); });
        } else {
            gate.deliverHeld(c.active, c.minimized);
        }
        EXPECT_EQ(shownSize(), c.rechecks ? std::to_string(size) + " Bytes" : before);
        // Delivered into another handler, it is held again until that one returns.
        EXPECT_EQ(window.heldActivationsQueued, c.duringHandler ? 2 : 1);
    }
}

// A click sent to a control while a handler runs (an automation tool's BM_CLICK, an assistive
// technology's press) runs after it, in order, and only where the handler left its control
// enabled: a second Connect after a connect is dropped.
TEST_F(HandlerGateTest, HeldCommandsRunAfterTheHandlerOnlyWhereTheirControlIsStillEnabled) {
    std::vector<std::string> ran;
    const auto record = [&](const char* name) { return [&ran, name] { ran.push_back(name); }; };
    gate.run([&] {
        gate.command(kConnectButton, record("connect"));
        gate.command(kDisconnectButton, record("disconnect"));
        gate.command(0, record("escape"));  // no control of its own: always runs
        gate.run([&] { gate.command(kCloseButton, record("close")); });
        window.enabled[kConnectButton] = false;  // the running handler connected
        window.enabled[kDisconnectButton] = true;
        EXPECT_TRUE(ran.empty());
    });
    EXPECT_TRUE(ran.empty());
    EXPECT_EQ(window.heldCommandsQueued, 1);
    gate.run([&] { gate.deliverHeldCommands(); });  // into another handler: still held
    EXPECT_TRUE(ran.empty());
    gate.deliverHeldCommands();
    EXPECT_EQ(ran, (std::vector<std::string>{"disconnect", "escape", "close"}));
    gate.command(kDownloadButton, record("download"));  // no handler running: at once
    EXPECT_EQ(ran.back(), "download");
}
