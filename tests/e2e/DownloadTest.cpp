// Downloads and commands end to end: what the target receives, byte for byte, and what the
// user sees for every answer and failure.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "ToolFixture.h"

using namespace tervan;
using namespace tervan::testing;
using Transport = tervan::sim::SimConfig::Transport;

namespace {

class DownloadTest : public ToolFixture {
protected:
    // Frames of one command the target took in.
    std::size_t framesOf(const sim::TargetSimulator& target, std::uint8_t command) {
        const auto frames = target.frames();
        return static_cast<std::size_t>(std::count_if(
            frames.begin(), frames.end(), [&](const auto& f) { return f.command == command; }));
    }
};

}  // namespace

TEST_F(DownloadTest, FullFlashImageOverSerialArrivesByteExactThenReset) {
    auto& target = startTarget(targetConfig(Transport::Serial, 0));
    auto& d = startTool(1, 0, 0);
    const auto image = makeImage("full.bin", 262144);
    d.imagePath = dir.file("full.bin");
    connect();
    EXPECT_EQ(window.buttonRow(), "011100");

    window.positions.clear();
    d.controlClicked(kDownloadButton);
    EXPECT_EQ(window.texts[kStatusLine], "Write successfull!");
    EXPECT_TRUE(window.boxes.empty());
    ASSERT_FALSE(window.beeps.empty());
    EXPECT_EQ(window.beeps.back(), BeepKind::Default);
    EXPECT_EQ(window.rangeUpper, 1024);
    ASSERT_EQ(window.positions.size(), 1025u);  // 0, then one step a page
    EXPECT_EQ(window.positions.back(), 1024);
    EXPECT_EQ(target.flash(), image);
    EXPECT_EQ(framesOf(target, 'W'), 1024u);
    // A download keeps the connection.
    EXPECT_EQ(window.buttonRow(), "011100");
    EXPECT_EQ(d.session().serialLink.isOpen(), 1);

    d.controlClicked(kResetButton);
    EXPECT_EQ(window.texts[kStatusLine], "Disconnected");
    EXPECT_EQ(window.buttonRow(), "100000");
    EXPECT_EQ(window.position, 0);
    EXPECT_EQ(d.session().serialLink.isOpen(), 0);
    ASSERT_TRUE(target.waitForFrames(1025, 2000));
    EXPECT_EQ(target.frames().back().command, 'R');
    EXPECT_EQ(window.waitDepth, 0);
}

TEST_F(DownloadTest, SmallModelFlashAndOddSizesOverSerial) {
    auto& target = startTarget(targetConfig(Transport::Serial, 1));
    auto& d = startTool(1, 1, 0);
    const auto image = makeImage("small.bin", 65536);
    d.imagePath = dir.file("small.bin");
    connect();
    d.controlClicked(kDownloadButton);
    EXPECT_EQ(window.texts[kStatusLine], "Write successfull!");
    EXPECT_EQ(target.flash(), image);
    EXPECT_EQ(window.rangeUpper, 512);

    // 1000 bytes at 128-byte pages: blocks 0 to 7, the last holding 104 bytes, range 0 .. 7.
    makeImage("odd.bin", 1000);
    d.imagePath = dir.file("odd.bin");
    const auto before = target.frames().size();
    d.controlClicked(kDownloadButton);
    const auto frames = target.frames();
    ASSERT_EQ(frames.size() - before, 8u);
    EXPECT_EQ(frames.back().block, 7);
    EXPECT_EQ(window.rangeUpper, 7);
    ASSERT_FALSE(window.positions.empty());
    EXPECT_EQ(window.positions.back(), 7);
    // The last page is padded with zeros, not the erased state.
    EXPECT_EQ(target.flash()[1000], 0x00);
    EXPECT_EQ(target.flash()[1023], 0x00);

    // One byte: one frame, range 0 .. 0.
    makeImage("one.bin", 1);
    d.imagePath = dir.file("one.bin");
    d.controlClicked(kDownloadButton);
    EXPECT_EQ(window.rangeUpper, 0);
    EXPECT_EQ(target.frames().size() - before, 9u);
    EXPECT_EQ(window.texts[kStatusLine], "Write successfull!");
}

TEST_F(DownloadTest, RamDownloadAndRunOverUsb) {
    auto& target = startTarget(targetConfig(Transport::Usb, 0));
    auto& d = startTool(0, 0, 1);
    const auto image = makeImage("ram.bin", 65536);
    d.imagePath = dir.file("ram.bin");
    connect();
    EXPECT_EQ(window.buttonRow(), "010011");
    d.controlClicked(kDownToRamButton);
    EXPECT_EQ(window.texts[kStatusLine], "Write successfull!");
    EXPECT_EQ(target.ram(), image);
    EXPECT_EQ(framesOf(target, 'M'), 256u);

    d.controlClicked(kRunRamButton);
    EXPECT_EQ(window.texts[kStatusLine], "Disconnected");
    EXPECT_EQ(target.counters().programStarts, 1);
    EXPECT_EQ(d.session().usbDevice.present, 0);
    EXPECT_EQ(d.session().usbLink.readPipe, kInvalidHandle);
}

TEST_F(DownloadTest, UsbResendsRejectedFramesTwice) {
    auto config = targetConfig(Transport::Usb, 1);
    config.forcedAnswers[3] = "CCX";
    config.forcedAnswers[5] = "CCX";
    auto& target = startTarget(config);
    auto& d = startTool(0, 1, 0);
    const auto image = makeImage("fw.bin", 8 * 128);
    d.imagePath = dir.file("fw.bin");
    connect();
    d.controlClicked(kDownloadButton);
    EXPECT_EQ(window.texts[kStatusLine], "Write successfull!");
    EXPECT_TRUE(window.boxes.empty());
    const auto flash = target.flash();
    EXPECT_EQ(std::vector<std::uint8_t>(flash.begin(), flash.begin() + 1024), image);
    EXPECT_EQ(target.frames().size(), 12u);  // 8 pages and 4 repeats
}

TEST_F(DownloadTest, UsbThirdRejectionEndsWithTheLastAnswer) {
    auto config = targetConfig(Transport::Usb, 1);
    config.forcedAnswers[2] = "COQ";
    auto& target = startTarget(config);
    auto& d = startTool(0, 1, 0);
    makeImage("fw.bin", 8 * 128);
    d.imagePath = dir.file("fw.bin");
    connect();
    d.controlClicked(kDownloadButton);
    EXPECT_EQ(window.boxes, std::vector<std::string>{"Unknown Answer!"});
    EXPECT_EQ(window.texts[kStatusLine], "Error while flashing");
    // Frames 0, 1 and three transmissions of frame 2; nothing after the failure.
    EXPECT_EQ(target.frames().size(), 5u);
    // The connection stays.
    EXPECT_EQ(window.buttonRow(), "011100");
    ASSERT_FALSE(window.positions.empty());
    EXPECT_EQ(window.positions.back(), 2);
}

TEST_F(DownloadTest, UsbByteLeftInThePipeIsNotTakenForAnAnswer) {
    auto config = targetConfig(Transport::Usb, 1);
    config.forcedAnswers[7] = "OOO";
    auto& target = startTarget(config);
    auto& d = startTool(0, 1, 0);
    makeImage("fw.bin", 8 * 128);
    d.imagePath = dir.file("fw.bin");
    connect();
    // Reset pressed twice: a second 'X' waits in the pipe the tool reads.
    const int pipe = ::open((target.devicePath() + "/PIPE01").c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(pipe, 0);
    ASSERT_EQ(::write(pipe, "X", 1), 1);
    ::close(pipe);
    d.controlClicked(kDownloadButton);
    // Every answer belongs to its own frame: the last page's rejection is reported.
    EXPECT_EQ(window.boxes, std::vector<std::string>{"Verify error!"});
    EXPECT_EQ(window.texts[kStatusLine], "Error while flashing");
}

TEST_F(DownloadTest, SerialRejectionEndsAtOnce) {
    for (const auto& [answer, text] : {std::pair<std::string, std::string>{"O", "Verify error!"},
                                       {"C", "CRC error!"},
                                       {"Q", "Unknown Answer!"}}) {
        SCOPED_TRACE(text);
        auto config = targetConfig(Transport::Serial, 0);
        config.forcedAnswers[2] = answer;
        targets.clear();
        auto& target = startTarget(config);
        window.boxes.clear();
        auto& d = startTool(1, 0, 0);
        makeImage("fw.bin", 10 * 256);
        d.imagePath = dir.file("fw.bin");
        connect();
        d.controlClicked(kDownloadButton);
        EXPECT_EQ(window.boxes, std::vector<std::string>{text});
        EXPECT_EQ(window.texts[kStatusLine], "Error while flashing");
        // Give a frame that should not come time to arrive.
        ::usleep(100000);
        EXPECT_EQ(target.frames().size(), 3u);
        d.windowDestroyed();
    }
}

TEST_F(DownloadTest, SilentOrDroppedLineFailsWithoutHanging) {
    {
        auto config = targetConfig(Transport::Serial, 0);
        config.silentAfterFrame = 3;
        auto& target = startTarget(config);
        auto& d = startTool(1, 0, 0);
        makeImage("fw.bin", 10 * 256);
        d.imagePath = dir.file("fw.bin");
        connect();
        const auto started = std::chrono::steady_clock::now();
        d.controlClicked(kDownloadButton);
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(window.boxes, std::vector<std::string>{"No Answer from device!"});
        EXPECT_EQ(window.texts[kStatusLine], "Error while flashing");
        EXPECT_EQ(target.frames().size(), 5u);
        EXPECT_LT(took, std::chrono::seconds(3));
        d.windowDestroyed();
    }
    for (const auto transport : {Transport::Serial, Transport::Usb}) {
        targets.clear();
        window.boxes.clear();
        auto config = targetConfig(transport, 0);
        config.dropAfterFrame = 4;
        auto& target = startTarget(config);
        auto& d = startTool(transport == Transport::Usb ? 0 : 1, 0, 0);
        makeImage("fw.bin", 10 * 256);
        d.imagePath = dir.file("fw.bin");
        connect();
        const auto started = std::chrono::steady_clock::now();
        d.controlClicked(kDownloadButton);
        const auto took = std::chrono::steady_clock::now() - started;
        ASSERT_EQ(window.boxes.size(), 1u);
        EXPECT_TRUE(window.boxes[0] == "No Answer from device!" ||
                    window.boxes[0] == "Error while sending data!")
            << window.boxes[0];
        EXPECT_EQ(window.texts[kStatusLine], "Error while flashing");
        EXPECT_EQ(target.frames().size(), 5u);
        EXPECT_LT(took, std::chrono::seconds(3));
        d.windowDestroyed();
    }
}

TEST_F(DownloadTest, DeletedImageWhileConnectedSendsNothing) {
    auto& target = startTarget(targetConfig(Transport::Serial, 0));
    auto& d = startTool(1, 0, 0);
    makeImage("fw.bin", 512);
    d.imagePath = dir.file("fw.bin");
    connect();
    ::unlink(dir.file("fw.bin").c_str());
    d.controlClicked(kDownloadButton);
    EXPECT_EQ(window.boxes, std::vector<std::string>{"Could not load rom file!"});
    EXPECT_TRUE(target.frames().empty());
    EXPECT_EQ(window.buttonRow(), "011100");
}

TEST_F(DownloadTest, ChangingMemoryWhileConnectedDisablesTheActions) {
    startTarget(targetConfig(Transport::Serial, 0));
    auto& d = startTool(1, 0, 0);
    connect();
    window.checked[kRomRadio] = false;
    window.checked[kRamRadio] = true;
    d.controlClicked(kRamRadio);
    EXPECT_EQ(window.buttonRow(), "010000");
    EXPECT_EQ(d.session().serialLink.isOpen(), 1);
    EXPECT_EQ(settings.readSettingInt("setup", "target", 0), 1);
    d.controlClicked(kDisconnectButton);
    connect();
    EXPECT_EQ(window.buttonRow(), "010011");
}

TEST_F(DownloadTest, WaysOfLeavingAConnection) {
    auto& target = startTarget(targetConfig(Transport::Serial, 0));
    auto& d = startTool(1, 0, 0);
    connect();
    // A Reset that cannot be written leaves the connected buttons as they were.
    target.stop();
    d.controlClicked(kResetButton);
    EXPECT_EQ(window.boxes, std::vector<std::string>{"Error while sending data!"});
    EXPECT_EQ(window.buttonRow(), "011100");
    d.controlClicked(kDisconnectButton);

    targets.clear();
    startTarget(targetConfig(Transport::Serial, 0));
    connect();
    // Choosing USB while the serial port is open drops the connection.
    window.checked[kSerialRadio] = false;
    window.checked[kUsbRadio] = true;
    d.controlClicked(kUsbRadio);
    EXPECT_EQ(d.session().serialLink.isOpen(), 0);
    EXPECT_EQ(window.texts[kStatusLine], "Disconnected");
    EXPECT_EQ(window.buttonRow(), "100000");
    EXPECT_FALSE(window.enabled[kComList]);
    EXPECT_EQ(settings.readSettingInt("setup", "interface", 1), 0);

    // Closing the window while connected over USB closes the pipes and forgets the device.
    targets.clear();
    startTarget(targetConfig(Transport::Usb, 0));
    connect();
    d.windowDestroyed();
    EXPECT_EQ(d.session().usbDevice.present, 0);
    EXPECT_EQ(d.session().usbLink.readPipe, kInvalidHandle);
    EXPECT_EQ(d.session().usbLink.writePipe, kInvalidHandle);
}
