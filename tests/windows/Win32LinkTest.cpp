// The Win32 platform layer under the links: the DCB the serial port gets, the port errors the
// window tells apart, USB discovery through the device installation calls, and the USB pipes
// with the whole controller on top, against named pipes playing the target's driver.
#include <windows.h>

#include <setupapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/DownloaderDialog.h"
#include "link/SerialLink.h"
#include "link/UsbPipeLink.h"
#include "link/win32/SerialLine.h"
#include "link/win32/TestSeams.h"
#include "support/DrivenClock.h"
#include "support/RecordingWindow.h"
#include "support/TempDir.h"

using namespace tervan;
using namespace tervan::testing;
namespace seams = tervan::os::win32::testing;

namespace {

// ---- the line settings ----

TEST(Win32SerialLine, ClearsOnlyTheFlowControlBitsAndKeepsWhatThePortReported) {
    static_assert(sizeof(DCB) == 28, "the DCB is 28 bytes on every Windows");
    DCB dcb{};
    os::win32::setDcbFlagWord(dcb, 0xFFFFFFFF);
    dcb.XonLim = 2048;
    dcb.XoffChar = 0x13;
    dcb.EvtChar = '\n';
    os::SerialLineSettings settings;  // every flow-control field off
    settings.baudRate = 115200;
    os::win32::applyLineSettings(dcb, settings);

    EXPECT_EQ(os::win32::dcbFlagWord(dcb), 0xFFFFCCC3u);
    EXPECT_EQ(dcb.DCBlength, 28u);
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.XonLim, 2048);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    EXPECT_EQ(dcb.EvtChar, '\n');

    // A line left on keeps the port's own mode (handshake stays handshake); off is DISABLE.
    os::win32::setDcbFlagWord(dcb, 0);
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    settings.dtrOn = true;
    settings.rtsOn = true;
    os::win32::applyLineSettings(dcb, settings);
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_HANDSHAKE);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_TOGGLE);
    const auto back = os::win32::lineSettingsOf(dcb);
    EXPECT_TRUE(back.dtrOn);
    EXPECT_TRUE(back.rtsOn);
    EXPECT_FALSE(back.ctsFlow);
}

// ---- port errors: missing (2) and busy (5) ----

// A controller over a recording window, its settings in a fresh folder.
struct Tool {
    explicit Tool(const std::string& settingsLines = "") : settings(dir.file("tervan.ini")) {
        if (!settingsLines.empty()) {
            writeFile(settings.settingsPath, "[setup]\r\n" + settingsLines);
        }
        dialog = std::make_unique<DownloaderDialog>(settings, clock);
        dialog->setWindow(&window);
        dialog->initWindow();
    }
    void chooseCom(int index) {
        window.comSelection = index;
        dialog->comSelectionChanged();
    }
    TempDir dir;
    SettingsStore settings;
    RecordingWindow window;
    tervan::testing::SkippedPausesClock clock;
    std::unique_ptr<DownloaderDialog> dialog;
};

class Win32SerialPort : public ::testing::Test {
protected:
    void TearDown() override { seams::setSerialOpenHook({}); }
};

TEST_F(Win32SerialPort, AMissingPortIsTwoAndIsRejectedByTheComList) {
    SerialLink link;
    EXPECT_EQ(link.probe("\\\\.\\COM8"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(link.open("\\\\.\\COM8", 115200), 0);
    EXPECT_EQ(link.isOpen(), 0);
    EXPECT_EQ(link.handle, kInvalidHandle);
    EXPECT_EQ(link.close(), 1);
    EXPECT_EQ(link.purge(), 0);  // the invalid handle: the call fails, nothing changes

    Tool tool("com=2\r\n");
    tool.chooseCom(7);
    EXPECT_EQ(tool.window.boxes, std::vector<std::string>{"This COM-Port is not available!"});
    EXPECT_EQ(tool.settings.readSettingInt("setup", "com", -1), 2);
    EXPECT_EQ(tool.dialog->session().options().comPortPath, "\\\\.\\COM8");
}

// Wine lets a second opener share a held port; Windows refuses it with ERROR_ACCESS_DENIED.
// The seam gives that answer, and everything above the platform layer must take it as a port
// that exists but is busy.
TEST_F(Win32SerialPort, ABusyPortCountsAsPresentButCannotBeConnected) {
    std::vector<std::string> asked;
    seams::setSerialOpenHook([&asked](const std::string& path) -> DWORD {
        asked.push_back(path);
        return path == "\\\\.\\COM3" ? ERROR_ACCESS_DENIED : 0;
    });
    SerialLink link;
    EXPECT_EQ(link.probe("\\\\.\\COM3"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(link.open("\\\\.\\COM3", 115200), 0);
    EXPECT_EQ(link.isOpen(), 0);

    Tool tool;
    tool.chooseCom(2);
    EXPECT_TRUE(tool.window.boxes.empty());
    EXPECT_EQ(tool.settings.readSettingInt("setup", "com", -1), 2);
    EXPECT_EQ(tool.window.texts[kStatusLine], "Disconnected");

    tool.dialog->controlClicked(kConnectButton);
    EXPECT_EQ(tool.window.boxes, std::vector<std::string>{"COM port not available!"});
    EXPECT_EQ(tool.window.texts[kStatusLine], "COM port not available!");
    EXPECT_EQ(tool.window.buttonRow(), "100000");
    EXPECT_EQ(tool.dialog->session().serialLink.isOpen(), 0);
    EXPECT_EQ(asked.back(), "\\\\.\\COM3");  // the path goes to Windows as it stands
}

// ---- USB discovery through the device installation calls ----

struct FakeSetupApi {
    std::vector<std::string> paths;
    int failEnumAt = -1;    // index whose enumeration fails with another error
    int failDetailAt = -1;  // index whose detail record cannot be read
    int absurdSizeAt = -1;  // index whose driver reports a record of almost 4 GiB
    bool noSet = false;     // the set itself cannot be made
    int destroyed = 0;
    bool sizesRight = true;  // every cbSize the layer set matched this build's record
};
FakeSetupApi fake;
const auto kFakeSet = reinterpret_cast<HDEVINFO>(static_cast<std::intptr_t>(0x5E7));

HDEVINFO WINAPI fakeGetClassDevs(const GUID* guid, PCSTR, HWND, DWORD flags) {
    const GUID expected = {
        0xE6EF7DCD, 0x1795, 0x4A08, {0x9F, 0xBF, 0xAA, 0x78, 0x42, 0x3C, 0x26, 0xF0}};
    if (fake.noSet || guid == nullptr || !IsEqualGUID(*guid, expected) ||
        flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return kFakeSet;
}

BOOL WINAPI fakeEnumInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID*, DWORD index,
                               PSP_DEVICE_INTERFACE_DATA data) {
    fake.sizesRight =
        fake.sizesRight && set == kFakeSet && data->cbSize == sizeof(SP_DEVICE_INTERFACE_DATA);
    if (static_cast<int>(index) == fake.failEnumAt) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (index >= fake.paths.size()) {
        ::SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->Reserved = index;
    return TRUE;
}

BOOL WINAPI fakeInterfaceDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA data,
                                PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                PDWORD required, PSP_DEVINFO_DATA) {
    const std::string& path = fake.paths[data->Reserved];
    const DWORD needed = static_cast<DWORD>(
        offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (detail == nullptr) {
        *required = static_cast<int>(data->Reserved) == fake.absurdSizeAt ? 0xFFFFFFF0 : needed;
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    fake.sizesRight =
        fake.sizesRight && detail->cbSize == sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (size < needed || static_cast<int>(data->Reserved) == fake.failDetailAt) {
        ::SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
}

BOOL WINAPI fakeDestroyList(HDEVINFO set) {
    fake.destroyed += set == kFakeSet ? 1 : 100;
    return TRUE;
}

const seams::SetupApi kFakeApi{fakeGetClassDevs, fakeEnumInterfaces, fakeInterfaceDetail,
                               fakeDestroyList};

class Win32UsbDiscovery : public ::testing::Test {
protected:
    void SetUp() override {
        fake = FakeSetupApi{};
        seams::setSetupApi(&kFakeApi);
    }
    void TearDown() override { seams::setSetupApi(nullptr); }
    static std::string devicePath(int n) {
        return "\\\\?\\usb#vid_03eb&pid_6124#" + std::to_string(n) +
               "#{e6ef7dcd-1795-4a08-9fbf-aa78423c26f0}";
    }
};

TEST_F(Win32UsbDiscovery, ListsEveryReadablePathOnceAndReleasesTheSet) {
    fake.paths = {devicePath(0), std::string(300, 'x'), devicePath(2),
                  devicePath(3), devicePath(4),         devicePath(5)};
    fake.failDetailAt = 3;
    fake.absurdSizeAt = 4;
    UsbDevicePaths paths{"left over from the last enumeration"};
    // A path that does not fit the device record, one whose record cannot be read and one
    // whose driver reports an absurd record size are left out; the others keep their order.
    EXPECT_EQ(enumerateUsbDevices(paths), 3);
    EXPECT_EQ(paths, (UsbDevicePaths{devicePath(0), devicePath(2), devicePath(5)}));
    EXPECT_EQ(fake.destroyed, 1);
    EXPECT_TRUE(fake.sizesRight);
}

TEST_F(Win32UsbDiscovery, EndsOnEveryFailureAndNeverFillsMoreThan128Slots) {
    for (int i = 0; i < 130; ++i) {
        fake.paths.push_back(devicePath(i));
    }
    UsbDevicePaths paths;
    EXPECT_EQ(enumerateUsbDevices(paths), 128);
    EXPECT_EQ(paths.back(), devicePath(127));

    // An error other than "no more items" ends the list with what was found.
    fake.failEnumAt = 2;
    EXPECT_EQ(enumerateUsbDevices(paths), 2);
    fake.noSet = true;
    EXPECT_EQ(enumerateUsbDevices(paths), 0);
    EXPECT_TRUE(paths.empty());
    EXPECT_EQ(fake.destroyed, 2);  // a set that was never made is not released
}

TEST(Win32UsbDiscoverySystem, NoInterfaceOfTheClassIsAnEmptyList) {
    // Under Wine (and on a machine without the target) the set is empty: the first
    // enumeration ends with ERROR_NO_MORE_ITEMS.
    UsbDevicePaths paths{"stale"};
    EXPECT_EQ(enumerateUsbDevices(paths), 0);
    EXPECT_TRUE(paths.empty());
}

// ---- the USB pipes, under the whole controller ----

// Plays the target's driver and loader on two named pipes below `device`: announces itself
// with 'X', then answers every whole frame with 'X' and keeps its page data. Declare it before
// the controller, so that the host's ends close first and end the target's thread.
class PipeTarget {
public:
    PipeTarget(const std::string& device, int hangUpAfterFrames = -1)
        : readName_(device + "\\PIPE01"),
          writeName_(device + "\\PIPE00"),
          hangUpAfter_(hangUpAfterFrames) {
        hostReads_ = ::CreateNamedPipeA(readName_.c_str(), PIPE_ACCESS_DUPLEX,
                                        PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
        hostWrites_ = ::CreateNamedPipeA(writeName_.c_str(), PIPE_ACCESS_INBOUND,
                                         PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
        thread_ = std::thread([this] { run(); });
    }
    ~PipeTarget() {
        // A host that never came: connect to the pipes ourselves, so that every wait ends.
        for (const auto& name : {readName_, writeName_}) {
            const HANDLE poke =
                ::CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (poke != INVALID_HANDLE_VALUE) {
                ::CloseHandle(poke);
            }
        }
        thread_.join();
        hangUp();
    }
    bool ready() const {
        return hostReads_ != INVALID_HANDLE_VALUE && hostWrites_ != INVALID_HANDLE_VALUE;
    }
    std::vector<std::uint8_t> received() const { return received_; }
    int frames() const { return frames_; }

private:
    static bool connect(HANDLE pipe) {
        return ::ConnectNamedPipe(pipe, nullptr) != FALSE ||
               ::GetLastError() == ERROR_PIPE_CONNECTED;
    }
    static bool put(HANDLE pipe, std::uint8_t byte) {
        DWORD done = 0;
        return ::WriteFile(pipe, &byte, 1, &done, nullptr) != FALSE && done == 1;
    }
    void run() {
        if (!ready() || !connect(hostReads_) || !connect(hostWrites_) || !put(hostReads_, 'X')) {
            return;
        }
        std::vector<std::uint8_t> frame(kFrameLength);
        for (;;) {
            DWORD got = 0;
            for (DWORD n = 0; got < kFrameLength; got += n) {
                if (::ReadFile(hostWrites_, frame.data() + got, kFrameLength - got, &n, nullptr) ==
                        FALSE ||
                    n == 0) {
                    return;  // the host closed its end
                }
            }
            if (frames_ == hangUpAfter_) {
                hangUp();  // the device is unplugged mid-way
                return;
            }
            ++frames_;
            received_.insert(received_.end(), frame.begin() + 5, frame.end());
            if (!put(hostReads_, 'X')) {
                return;
            }
        }
    }
    void hangUp() {
        for (HANDLE* pipe : {&hostReads_, &hostWrites_}) {
            if (*pipe != INVALID_HANDLE_VALUE) {
                ::DisconnectNamedPipe(*pipe);
                ::CloseHandle(*pipe);
                *pipe = INVALID_HANDLE_VALUE;
            }
        }
    }

    static constexpr DWORD kFrameLength = 261;  // SAM7S256/128: a page of 256 and 5
    std::string readName_;
    std::string writeName_;
    int hangUpAfter_;
    HANDLE hostReads_;
    HANDLE hostWrites_;
    std::vector<std::uint8_t> received_;
    std::atomic<int> frames_{0};
    std::thread thread_;
};

class Win32UsbPipes : public Win32UsbDiscovery {
protected:
    void SetUp() override {
        Win32UsbDiscovery::SetUp();
        static int serial = 0;
        device = "\\\\.\\pipe\\tervan-usb-" + std::to_string(::GetCurrentProcessId()) + "-" +
                 std::to_string(++serial);
        fake.paths = {device};
    }
    std::string device;
};

TEST_F(Win32UsbPipes, ConnectsAndDownloadsThroughTheDriverPipes) {
    PipeTarget target(device);
    Tool tool("interface=0\r\n");
    ASSERT_TRUE(target.ready());
    std::string image(1000, '\0');
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<char>(i * 7 + 3);
    }
    writeFile(tool.dir.file("app.bin"), image);
    tool.dialog->imagePath = tool.dir.file("app.bin");

    tool.dialog->controlClicked(kConnectButton);
    EXPECT_EQ(tool.window.texts[kStatusLine], "Connected");
    EXPECT_EQ(tool.dialog->session().usbDevice.path, device);
    tool.dialog->controlClicked(kDownloadButton);
    EXPECT_EQ(tool.window.texts[kStatusLine], "Write successfull!");
    EXPECT_TRUE(tool.window.boxes.empty());
    ASSERT_EQ(target.frames(), 4);  // 1000 bytes in pages of 256
    auto received = target.received();
    EXPECT_TRUE(
        std::equal(image.begin(), image.end(), received.begin(),
                   [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }));
    EXPECT_TRUE(
        std::all_of(received.begin() + 1000, received.end(), [](auto b) { return b == 0; }));

    tool.dialog->controlClicked(kDisconnectButton);
    EXPECT_EQ(tool.dialog->session().usbLink.readPipe, kInvalidHandle);
    EXPECT_EQ(tool.dialog->session().usbDevice.present, 0);
}

TEST_F(Win32UsbPipes, AnUnpluggedDeviceEndsTheDownloadWithAMessage) {
    PipeTarget target(device, 2);
    Tool tool("interface=0\r\n");
    ASSERT_TRUE(target.ready());
    writeFile(tool.dir.file("app.bin"), std::string(4096, 'a'));
    tool.dialog->imagePath = tool.dir.file("app.bin");
    tool.dialog->controlClicked(kConnectButton);
    ASSERT_EQ(tool.window.texts[kStatusLine], "Connected");

    tool.dialog->controlClicked(kDownloadButton);
    EXPECT_EQ(tool.window.boxes, std::vector<std::string>{"No Answer from device!"});
    EXPECT_EQ(target.frames(), 2);
}

}  // namespace
