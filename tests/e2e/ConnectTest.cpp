// The connection handshake end to end: the countdown, the 'X' and 'H' exchange, time-outs,
// stray bytes, missing ports and USB discovery.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "ToolFixture.h"

using namespace tervan;
using namespace tervan::testing;
using Transport = tervan::sim::SimConfig::Transport;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

std::string countdown(int seconds) {
    return "Press reset on target! " + std::to_string(seconds) + " Seconds left!";
}

class ConnectTest : public ToolFixture {};

}  // namespace

TEST_F(ConnectTest, SerialTargetAnsweringInTheThirdPass) {
    auto config = targetConfig(Transport::Serial, 0);
    config.readyDelayMs = 2500;
    auto& target = startTarget(config);
    startTool(1);
    window.statusHistory.clear();
    dialog->controlClicked(kConnectButton);
    EXPECT_EQ(window.statusHistory,
              (std::vector<std::string>{countdown(5), countdown(4), countdown(3), "Connected"}));
    EXPECT_EQ(window.buttonRow(), "011100");
    ASSERT_TRUE(
        target.waitUntil([](const sim::SimCounters& c) { return c.handshakeBytes >= 1; }, 1000));
    EXPECT_EQ(target.counters().handshakeBytes, 1);
    EXPECT_EQ(target.counters().bytesDiscarded, 0u);
    EXPECT_EQ(window.waitDepth, 0);
    EXPECT_GE(window.waitCursorShown, 1);
}

TEST_F(ConnectTest, SerialTargetThatNeverAnswers) {
    auto config = targetConfig(Transport::Serial, 0);
    config.neverReady = true;
    startTarget(config);
    drivenTime.emplace();
    startTool(1);
    window.statusHistory.clear();
    dialog->controlClicked(kConnectButton);
    EXPECT_EQ(window.statusHistory,
              (std::vector<std::string>{countdown(5), countdown(4), countdown(3), countdown(2),
                                        countdown(1), "Timeout. No Answer from device!"}));
    EXPECT_EQ(window.beeps, std::vector<BeepKind>{BeepKind::Exclamation});
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_EQ(dialog->session().serialLink.isOpen(), 0);
    EXPECT_EQ(window.buttonRow(), "100000");
    // Five read time-outs of 1001 ms each.
    EXPECT_EQ(drivenTime->elapsed(), 5 * milliseconds(1001));
}

TEST_F(ConnectTest, NoiseNeverCountsDownAndTheStrayLimitEndsIt) {
    auto config = targetConfig(Transport::Serial, 0);
    config.noiseBytes = 500;
    startTarget(config);
    startTool(1);
    window.statusHistory.clear();
    // 500 stray bytes before the 'X' are tolerated.
    dialog->controlClicked(kConnectButton);
    EXPECT_EQ(window.statusHistory, (std::vector<std::string>{countdown(5), "Connected"}));
    dialog->controlClicked(kDisconnectButton);

    config.noiseBytes = 501;
    targets.clear();
    startTarget(config);
    window.statusHistory.clear();
    const auto started = steady_clock::now();
    dialog->controlClicked(kConnectButton);
    // The 501st stray byte ends the wait long before the countdown would.
    EXPECT_EQ(window.statusHistory,
              (std::vector<std::string>{countdown(5), "Timeout. No Answer from device!"}));
    EXPECT_LT(steady_clock::now() - started, milliseconds(3000));
    EXPECT_EQ(dialog->session().serialLink.isOpen(), 0);
}

TEST_F(ConnectTest, MissingComPort) {
    linkMissingPort(dir.path(), 7);
    settings.writeSettingInt("setup", "com", 6);
    startTool(1);
    dialog->comIndex = 6;
    SessionOptions chosen = dialog->session().options();
    chosen.comPortPath = "\\\\.\\COM7";
    dialog->session().configure(chosen);
    dialog->controlClicked(kConnectButton);
    EXPECT_EQ(window.boxes, std::vector<std::string>{"COM port not available!"});
    EXPECT_EQ(window.texts[kStatusLine], "COM port not available!");
    EXPECT_EQ(window.buttonRow(), "100000");
    EXPECT_EQ(dialog->session().serialLink.isOpen(), 0);
}

// A port whose node has nothing behind it (here a socket, which every open refuses with
// ENXIO) is reported as missing, both when it is chosen and on Connect.
TEST_F(ConnectTest, PortWithNothingBehindItIsMissing) {
    std::filesystem::create_directories(dir.file("ports"));
    const int node = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = dir.file("ports/COM7");
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(::bind(node, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    auto& d = startTool(1);
    window.comSelection = 6;
    d.comSelectionChanged();
    EXPECT_EQ(window.boxes, std::vector<std::string>{"This COM-Port is not available!"});
    window.boxes.clear();
    SessionOptions chosen = d.session().options();
    chosen.comPortPath = "\\\\.\\COM7";
    d.session().configure(chosen);
    EXPECT_EQ(d.session().connectTarget().kind, OutcomeKind::PortMissing);
    EXPECT_EQ(window.boxes, std::vector<std::string>{"COM port not available!"});
    ::close(node);
}

TEST_F(ConnectTest, ComPortHeldOpenCountsAsAvailable) {
    startTarget(targetConfig(Transport::Serial, 0));
    auto& d = startTool(1);
    connect();
    // Choosing the port the tool itself holds: the probe fails, but not with "missing".
    window.comSelection = 0;
    d.comSelectionChanged();
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_EQ(window.texts[kStatusLine], "Disconnected");
    EXPECT_EQ(d.session().serialLink.isOpen(), 0);
    EXPECT_EQ(settings.readSettingInt("setup", "com", -1), 0);
}

TEST_F(ConnectTest, UsbWithoutDeviceCountsDownAndTimesOut) {
    startTool(0);
    window.statusHistory.clear();
    dialog->controlClicked(kConnectButton);
    EXPECT_EQ(window.statusHistory,
              (std::vector<std::string>{countdown(5), countdown(4), countdown(3), countdown(2),
                                        countdown(1), "Timeout. No Answer from device!"}));
    EXPECT_EQ(clock.log.pauses(), std::vector<int>(5, 1000));
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_EQ(window.beeps, std::vector<BeepKind>{BeepKind::Exclamation});
}

TEST_F(ConnectTest, UsbWithTwoDevices) {
    auto first = targetConfig(Transport::Usb, 0);
    auto second = first;
    second.deviceName = "target1";
    startTarget(first);
    startTarget(second);
    startTool(0);
    window.statusHistory.clear();
    dialog->controlClicked(kConnectButton);
    EXPECT_EQ(std::count(window.statusHistory.begin(), window.statusHistory.end(),
                         std::string("To many devices!\n")),
              5);
    EXPECT_EQ(window.statusHistory.back(), "Timeout. No Answer from device!");
    EXPECT_EQ(dialog->session().usbDevice.present, 0);
}

TEST_F(ConnectTest, UsbFailingReadShowsTheReturnCodeAndTriesAgain) {
    auto config = targetConfig(Transport::Usb, 0);
    config.readyDelayMs = 1600;  // the first pass's read gives up after a second
    startTool(0);
    startTarget(config);
    window.statusHistory.clear();
    dialog->controlClicked(kConnectButton);
    EXPECT_EQ(window.statusHistory,
              (std::vector<std::string>{countdown(5), "Added device 1", "Return code: -32752",
                                        countdown(4), "Added device 2", "Connected"}));
    EXPECT_EQ(dialog->session().usbDevice.deviceNumber, 1);
    EXPECT_EQ(dialog->session().attachCount, 2);
    EXPECT_EQ(clock.log.pauses().size(), 1u);
    // A second connect pass on a recorded device does not announce it again.
    dialog->session().attachUsbDevice();
    EXPECT_EQ(dialog->session().attachCount, 2);
    EXPECT_EQ(dialog->session().usbLink.readPipe != kInvalidHandle, true);
}

TEST_F(ConnectTest, UsbDeviceWhosePipesCannotBeOpened) {
    auto& target = startTarget(targetConfig(Transport::Usb, 0));
    startTool(0);
    // The device folder stays, but its pipe for reading is gone.
    ::unlink((target.devicePath() + "/PIPE01").c_str());
    dialog->session().attachUsbDevice();
    EXPECT_EQ(window.texts[kStatusLine], "Can not open device 0, " + target.devicePath());
    EXPECT_EQ(dialog->session().usbDevice.present, 1);
    EXPECT_EQ(dialog->session().usbLink.readPipe, kInvalidHandle);
    EXPECT_EQ(dialog->session().usbLink.writePipe, kInvalidHandle);
}
