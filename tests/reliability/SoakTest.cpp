// Soak: many connect, download, reset cycles in one process. Every cycle must end where it
// started: the same descriptors open, no memory gained, every page in the target.
#include <chrono>

#include "e2e/ToolFixture.h"
#include "reliability/ProcessProbe.h"
#include "reliability/TransportParam.h"

using namespace tervan;
using namespace tervan::testing;
using Transport = tervan::sim::SimConfig::Transport;

#if defined(__SANITIZE_ADDRESS__)
// Freed memory waits in AddressSanitizer's quarantine (256 MiB unless told) before it is used
// again, so resident memory would grow with all that a cycle allocates and frees (the port and
// image checks read /proc on every open); a small quarantine leaves room only for what the tool
// keeps.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=16";
}
#endif

namespace {

constexpr int kCycles = 200;
constexpr int kWarmUp = 5;

class Soak : public ToolFixture, public ::testing::WithParamInterface<Transport> {
protected:
    // One cycle as a user makes it; returns false (after reporting) on any deviation.
    bool cycle(int n) {
        window.boxes.clear();
        window.calls.clear();
        window.positions.clear();
        window.statusHistory.clear();
        window.beeps.clear();
        dialog->controlClicked(kConnectButton);
        if (window.texts[kStatusLine] != "Connected") {
            ADD_FAILURE() << "cycle " << n << ": connect ended with " << window.texts[kStatusLine];
            return false;
        }
        dialog->controlClicked(kDownloadButton);
        if (window.texts[kStatusLine] != "Write successfull!" || !window.boxes.empty()) {
            ADD_FAILURE() << "cycle " << n << ": download ended with " << window.texts[kStatusLine]
                          << (window.boxes.empty() ? "" : " / " + window.boxes.front());
            return false;
        }
        dialog->controlClicked(kResetButton);
        if (window.texts[kStatusLine] != "Disconnected" || window.buttonRow() != "100000") {
            ADD_FAILURE() << "cycle " << n << ": reset ended with " << window.texts[kStatusLine];
            return false;
        }
        // Over the serial line no answer to the Reset is awaited: let the target take it in
        // before the next Connect, as it has long done when a person presses Connect again.
        framesSent += 4;
        if (!target->waitForFrames(framesSent, 2000)) {
            ADD_FAILURE() << "cycle " << n << ": the target did not get all frames";
            return false;
        }
        return true;
    }

    sim::TargetSimulator* target = nullptr;
    std::size_t framesSent = 0;  // three pages and the Reset a cycle
};

}  // namespace

TEST_P(Soak, ConnectDownloadResetCyclesLeakNothing) {
    const Transport transport = GetParam();
    auto config = targetConfig(transport, 1);
    // On the serial line the loader boots again after the Reset frame and once more when the
    // port is opened; a boot time well above a reconnect keeps the first 'X' from arriving
    // just after the purge at the next open.
    config.readyDelayMs = transport == Transport::Serial ? 25 : 1;
    auto& target = startTarget(config);
    this->target = &target;
    startTool(transport == Transport::Usb ? 0 : 1, 1, 0);
    const auto image = makeImage("fw.bin", 300);  // three pages, the last one partly filled
    dialog->imagePath = dir.file("fw.bin");

    for (int n = 0; n < kWarmUp; ++n) {
        ASSERT_TRUE(cycle(n));
    }
    const int descriptorsBefore = openDescriptors();
    const long residentBefore = residentKiB();
    const auto started = std::chrono::steady_clock::now();
    for (int n = 0; n < kCycles; ++n) {
        ASSERT_TRUE(cycle(n));
        // The port and the pipes are closed after every Reset.
        ASSERT_EQ(openDescriptors(), descriptorsBefore) << "cycle " << n;
    }
    const auto took = std::chrono::steady_clock::now() - started;
    const long residentAfter = residentKiB();
    std::printf(
        "[ soak     ] %d cycles in %lld ms, %d descriptors, VmRSS %ld -> %ld KiB\n", kCycles,
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()),
        descriptorsBefore, residentBefore, residentAfter);

    EXPECT_EQ(openDescriptors(), descriptorsBefore);
    // The target keeps a record of every frame (a few KiB over the run); the tool itself must
    // not grow.
    const long slackKiB = memoryIsInstrumented() ? 64 * 1024 : 1024;
    EXPECT_LE(residentAfter, residentBefore + slackKiB);

    // Each cycle: three pages and the Reset, and the image stands in the target.
    EXPECT_EQ(target.frames().size(), static_cast<std::size_t>((kCycles + kWarmUp) * 4));
    // The target was reset for every cycle (by the Reset frame, and on the serial line by
    // opening the port).
    EXPECT_GE(target.counters().resets, 1 + kCycles + kWarmUp);
    const auto flash = target.flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
}

INSTANTIATE_TEST_SUITE_P(Reliability, Soak, ::testing::Values(Transport::Serial, Transport::Usb),
                         transportName);
