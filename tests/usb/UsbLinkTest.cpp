// The USB link on the bus: a session connects and downloads through libusb to the virtual
// target's loader, emulated as a USB device by umockdev.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "link/UsbBulk.h"
#include "link/UsbTarget.h"
#include "protocol/TargetSession.h"
#include "support/DrivenClock.h"
#include "usb/UsbBusFixture.h"

using namespace tervan;
using tervan::sim::EmulatedUsbDevice;
using tervan::sim::kEmulatedId;
using tervan::testing::randomImage;
using tervan::testing::SkippedPausesClock;

namespace {

struct QuietSink : SessionSink {
    void status(const std::string& text) override { last = text; }
    void progressRange(std::uint16_t) override {}
    void progress(std::int16_t) override {}
    void message(const std::string& text) override { messages.push_back(text); }
    void beep(BeepKind) override {}
    void enableButton(SessionButton, bool) override {}
    void waitCursor(bool) override {}
    std::string last;
    std::vector<std::string> messages;
};

class UsbLinkTest : public tervan::testing::UsbBusTest {
protected:
    std::unique_ptr<TargetSession> session(const std::string& name = {}, int model = 0) {
        auto made = std::make_unique<TargetSession>(sink, clock);
        SessionOptions chosen = made->options();
        chosen.interfaceKind = 0;
        chosen.targetModel = model;
        chosen.usbDeviceName = name;
        made->configure(chosen);
        return made;
    }

    QuietSink sink;
    SkippedPausesClock clock;
};

TEST_F(UsbLinkTest, WritesAWholeImageByteExactThroughTheBulkEndpoints) {
    sim::TargetSimulator& target = plug(2);
    UsbDevicePaths found;
    ASSERT_EQ(enumerateUsbDevices(found), 1);
    EXPECT_EQ(found.front(), "usb:1-2");

    auto s = session();
    ASSERT_TRUE(s->connectTarget().ok()) << s->statusText;
    EXPECT_EQ(s->usbLink.writePipe, 0x01);  // the OUT endpoint stands for PIPE00
    EXPECT_EQ(s->usbLink.readPipe, 0x82);
    const auto image = randomImage(256 * 1024, 11);
    ASSERT_TRUE(s->downloadImage('W', image).ok()) << s->statusText;
    const auto flash = target.flash();
    ASSERT_EQ(flash.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    EXPECT_EQ(bed.counters(indices[0]).outTransfers, 1024);  // one transfer per frame
    s->disconnectTarget();
    EXPECT_EQ(bed.counters(indices[0]).releases, bed.counters(indices[0]).claims);
}
}  // namespace

namespace {

TEST_F(UsbLinkTest, ARejectedPageEndsTheDownloadWithTheLoadersAnswer) {
    plug(2, [](sim::SimConfig& c) { c.forcedAnswers = {{3, "CCC"}}; });
    auto s = session();
    ASSERT_TRUE(s->connectTarget().ok()) << s->statusText;
    const Outcome outcome = s->downloadImage('W', randomImage(8 * 256, 3));
    EXPECT_EQ(outcome.kind, OutcomeKind::CrcError);
    EXPECT_EQ(outcome.frame, 3u);
}

TEST_F(UsbLinkTest, ADeviceThatStopsAnsweringEndsTheDownloadWithNoAnswer) {
    plug(2, [](sim::SimConfig& c) { c.silentAfterFrame = 1; });
    auto s = session();
    ASSERT_TRUE(s->connectTarget().ok()) << s->statusText;
    const auto started = std::chrono::steady_clock::now();
    const Outcome outcome = s->downloadImage('W', randomImage(8 * 256, 4));
    EXPECT_EQ(outcome.kind, OutcomeKind::NoAnswer);
    EXPECT_EQ(outcome.frame, 2u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

// The loader's line goes away after frame 5's answer: the device is gone from the bus, and the
// next transfer fails at once instead of waiting.
TEST_F(UsbLinkTest, ADevicePulledMidDownloadEndsItWithTheLinksFailure) {
    plug(2, [](sim::SimConfig& c) { c.dropAfterFrame = 5; });
    auto s = session();
    ASSERT_TRUE(s->connectTarget().ok()) << s->statusText;
    const auto started = std::chrono::steady_clock::now();
    const Outcome outcome = s->downloadImage('W', randomImage(64 * 256, 5));
    EXPECT_TRUE(outcome.kind == OutcomeKind::LineLost || outcome.kind == OutcomeKind::SendFailed)
        << static_cast<int>(outcome.kind);
    EXPECT_EQ(outcome.frame, 6u);
    EXPECT_NE(outcome.error, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
}

// Unplugged from the bus while connected: the download fails at once, and the device is no
// longer found.
TEST_F(UsbLinkTest, ADeviceUnpluggedWhileConnectedFailsTheDownloadAndIsGone) {
    plug(2);
    auto s = session();
    ASSERT_TRUE(s->connectTarget().ok()) << s->statusText;
    bed.unplug(indices[0]);
    const auto started = std::chrono::steady_clock::now();
    const Outcome outcome = s->downloadImage('W', randomImage(8 * 256, 6));
    EXPECT_FALSE(outcome.ok());
    EXPECT_NE(outcome.error, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
    s->disconnectTarget();
    UsbDevicePaths found;
    EXPECT_EQ(enumerateUsbDevices(found), 0);
}

TEST_F(UsbLinkTest, TwoDevicesAreWrittenAtOnceEachByItsBusPath) {
    sim::TargetSimulator& first = plug(2);
    sim::TargetSimulator& second = plug(3);
    auto unnamed = session();
    EXPECT_EQ(unnamed->connectTarget().kind, OutcomeKind::TooManyUsbDevices);

    const auto imageA = randomImage(64 * 1024, 21);
    const auto imageB = randomImage(64 * 1024, 22);
    Outcome a;
    Outcome b;
    std::thread other([&] {
        auto s = session("1-3");
        if (s->connectTarget().ok()) {
            b = s->downloadImage('W', imageB);
        } else {
            b = {OutcomeKind::NoUsbDevice};
        }
    });
    auto s = session("1-2");
    a = s->connectTarget();
    if (a.ok()) {
        a = s->downloadImage('W', imageA);
    }
    other.join();
    EXPECT_TRUE(a.ok()) << static_cast<int>(a.kind);
    EXPECT_TRUE(b.ok()) << static_cast<int>(b.kind);
    EXPECT_TRUE(std::equal(imageA.begin(), imageA.end(), first.flash().begin()));
    EXPECT_TRUE(std::equal(imageB.begin(), imageB.end(), second.flash().begin()));
}

TEST_F(UsbLinkTest, TheSerialNumberPicksOneOfTwoDevicesWithTheSameIds) {
    plug(2);
    plug(3);
    setUsbTarget(UsbTarget{kEmulatedId, "EMU0003"});
    UsbDevicePaths found;
    ASSERT_EQ(enumerateUsbDevices(found), 1);
    EXPECT_EQ(found.front(), "usb:1-3");
    setUsbTarget(UsbTarget{{0x1234, 0x5678}, {}});
    EXPECT_EQ(enumerateUsbDevices(found), 0);
}

// A kernel driver bound to the interface is set aside while the link holds it and given back
// when the link closes; a device without one sees no such call.
TEST_F(UsbLinkTest, AKernelDriverIsDetachedOnlyWhenBoundAndGivenBackOnClose) {
    plug(2, {}, [](EmulatedUsbDevice& d) { d.kernelDriver = "usbserial_generic"; });
    plug(3);
    for (const char* name : {"1-2", "1-3"}) {
        auto s = session(name);
        ASSERT_TRUE(s->connectTarget().ok()) << name << ": " << s->statusText;
        s->disconnectTarget();
    }
    EXPECT_EQ(bed.counters(indices[0]).driverDetaches, bed.counters(indices[0]).driverAttaches);
    EXPECT_GE(bed.counters(indices[0]).driverDetaches, 1);
    EXPECT_EQ(bed.counters(indices[1]).driverDetaches, 0);
    EXPECT_EQ(bed.counters(indices[1]).driverAttaches, 0);
}

}  // namespace
