// The command line's Windows parts: reasons from Win32 error codes, the image file checks,
// device paths on --port, and whole runs in-process against a port Windows refuses.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "cli/CliOptions.h"
#include "cli/CliRun.h"
#include "cli/JsonLine.h"
#include "cli/OsReasons.h"
#include "cli/PortList.h"
#include "cli/Terminal.h"
#include "link/win32/TestSeams.h"
#include "support/TempDir.h"

using namespace tervan;
using namespace tervan::cli;
using namespace tervan::testing;
namespace seams = tervan::os::win32::testing;

namespace {

// What one call wrote to a stream: a temporary file read back afterwards.
class Capture {
public:
    Capture() : file_(std::tmpfile()) {}
    ~Capture() {
        if (file_ != nullptr) {
            std::fclose(file_);
        }
    }
    std::FILE* file() const { return file_; }
    // Without the carriage returns that text mode writes.
    std::string text() const {
        std::fflush(file_);
        std::rewind(file_);
        std::string all;
        for (int c; (c = std::fgetc(file_)) != EOF;) {
            if (c != '\r') {
                all += static_cast<char>(c);
            }
        }
        return all;
    }
    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        std::istringstream in(text());
        for (std::string line; std::getline(in, line);) {
            result.push_back(line);
        }
        return result;
    }

private:
    std::FILE* file_;
};

// Windows refuses a second opener of a held COM port with ERROR_ACCESS_DENIED; Wine lets it
// share, so the seam gives Windows' answer for COM3.
class HeldCom3 : public ::testing::Test {
protected:
    void SetUp() override {
        seams::setSerialOpenHook([](const std::string& path) -> DWORD {
            return path == "\\\\.\\COM3" ? ERROR_ACCESS_DENIED : 0;
        });
    }
    void TearDown() override { seams::setSerialOpenHook({}); }
};

TEST(Win32CliReasons, PortErrorsAreWin32Codes) {
    EXPECT_EQ(portStateWord(portFaultOf(0)), "free");
    EXPECT_EQ(portStateWord(portFaultOf(ERROR_FILE_NOT_FOUND)), "missing");
    EXPECT_EQ(portStateWord(portFaultOf(ERROR_ACCESS_DENIED)), "busy");
    EXPECT_EQ(portStateWord(portFaultOf(ERROR_INVALID_PARAMETER)), "unusable");
    EXPECT_EQ(portStateNote(ERROR_ACCESS_DENIED, "\\\\.\\COM3"), "another program holds it");
    EXPECT_EQ(portStateNote(ERROR_FILE_NOT_FOUND, "\\\\.\\COM3"), "");

    EXPECT_EQ(portOpenReason(0, "COM7", "\\\\.\\COM7", ""), "");
    EXPECT_EQ(portOpenReason(ERROR_FILE_NOT_FOUND, "COM7", "\\\\.\\COM7", ""),
              "COM7: no such port; `tervan-cli --list-ports` shows the ports");
    EXPECT_EQ(portOpenReason(ERROR_ACCESS_DENIED, "COM7", "\\\\.\\COM7", ""),
              "COM7 is busy or access is denied: another program holds it; close that program "
              "and try again");
    // Any other code: the system's own text on one line, without its full stop, and the code.
    const std::string other =
        portOpenReason(ERROR_INVALID_PARAMETER, "\\\\.\\VCP0", "\\\\.\\VCP0", "");
    EXPECT_TRUE(other.rfind("\\\\.\\VCP0: ", 0) == 0 && other.size() > 24 &&
                other.find_first_of("\r\n") == std::string::npos &&
                other.find(". (error") == std::string::npos &&
                other.rfind(" (error 87)") == other.size() - 11)
        << other;
}

// The FTDI driver reads its latency timer when the device starts: above 2 ms the tool can
// only say how to lower it.
TEST(Win32CliReasons, HighLatencyTimerIsNamedWithTheWayToLowerIt) {
    os::AdapterLatency latency;
    latency.timerMs = 16;
    latency.setting = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\X\\0000";
    const std::string note = latencyNote(latency);
    EXPECT_EQ(note.rfind("the adapter's latency timer is 16 ms (LatencyTimer in HKLM", 0), 0u);
    EXPECT_NE(note.find("\"Latency Timer (msec)\" to 1"), std::string::npos);
    EXPECT_NE(latencyAdvice(16), "");
    latency.timerMs = 2;
    EXPECT_EQ(latencyNote(latency), "");
    EXPECT_EQ(latencyAdvice(2), "");
    // A port no installed device provides has no timer to read.
    EXPECT_EQ(os::adapterLatencyOf("\\\\.\\COM250").timerMs, -1);
}

TEST(Win32CliReasons, ImageFileMissingFolderLockedOrFine) {
    TempDir dir;
    const std::string image = dir.file("image.bin");
    writeFile(image, "abc");
    EXPECT_EQ(imageFileReason(image), "");

    const std::string missing = dir.file("none.bin");
    EXPECT_EQ(imageFileReason(missing).rfind(missing + ": ", 0), 0u);
    EXPECT_NE(imageFileReason(missing).find("(error 2)"), std::string::npos);
    EXPECT_EQ(imageFileReason(dir.path()), dir.path() + " is a folder, not an image file");

    // Held without sharing by another program, as an editor or a build step may hold it.
    const HANDLE held = ::CreateFileA(image.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(imageFileReason(image), image + " is locked by another program");
    ::CloseHandle(held);
    EXPECT_EQ(imageFileReason(image), "");
}

TEST(Win32CliOptions, BackslashPathsAreDevicesAndHelpNamesWindowsPorts) {
    auto parsed = parseCommandLine({"--port", "\\\\.\\VCP0", "a.bin"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.comPortPath, "\\\\.\\VCP0");
    EXPECT_FALSE(parsed.options.comIndex);
    parsed = parseCommandLine({"--port", "\\\\.\\com12", "a.bin"});
    EXPECT_EQ(parsed.options.comPortPath, "\\\\.\\COM12");
    EXPECT_EQ(parsed.options.comIndex, 11);
    EXPECT_EQ(parseCommandLine({"--port", "VCP0", "a.bin"}).error,
              "--port takes COM1 ... COM256 or a device path such as \\\\.\\VCP0, not 'VCP0'");

    const std::string help = usageText("tervan-cli");
    EXPECT_EQ(help.find("/dev/"), std::string::npos) << help;
    EXPECT_NE(help.find("COM1 ... COM256 as Windows names them"), std::string::npos) << help;
}

TEST(Win32CliPorts, UsbIdsAndSerialNumberFromTheDeviceRecords) {
    std::string vendor = "x";
    std::string product = "y";
    EXPECT_TRUE(usbIdsOfHardwareId("USB\\VID_0403&PID_6001&REV_0600", vendor, product));
    EXPECT_EQ(vendor + ":" + product, "0403:6001");
    EXPECT_TRUE(usbIdsOfHardwareId("FTDIBUS\\VID_03EB+PID_6124+A1B2\\0000", vendor, product));
    EXPECT_EQ(vendor + ":" + product, "03eb:6124");
    EXPECT_TRUE(usbIdsOfHardwareId("usb\\vid_10c4&pid_EA60", vendor, product));
    EXPECT_EQ(vendor + ":" + product, "10c4:ea60");
    // Ids that carry no USB ids, or a cut or malformed one, leave the fields as they were.
    for (const char* id : {"ACPI\\PNP0501", "USB\\VID_0403", "USB\\VID_04&PID_6001",
                           "USB\\VID_04G3&PID_6001", "USB\\VID_0403&PID_60", ""}) {
        vendor = "kept";
        EXPECT_FALSE(usbIdsOfHardwareId(id, vendor, product)) << id;
        EXPECT_EQ(vendor, "kept") << id;
    }

    EXPECT_EQ(serialOfInstanceId("USB\\VID_0403&PID_6001\\A50285BI"), "A50285BI");
    // Windows makes up the last part of a device without a serial number, and of each
    // interface of a composite device.
    EXPECT_EQ(serialOfInstanceId("USB\\VID_03EB&PID_6124\\5&1A2B3C4D&0&2"), "");
    EXPECT_EQ(serialOfInstanceId("USB\\VID_0403&PID_6010&MI_00\\6&2B3C&0&0000"), "");
    EXPECT_EQ(serialOfInstanceId("ACPI\\PNP0501\\1"), "");
    EXPECT_EQ(serialOfInstanceId("USB\\VID_0403&PID_6001\\"), "");
    EXPECT_EQ(serialOfInstanceId("USB"), "");
}

TEST_F(HeldCom3, ARunOnAHeldPortEndsWithExitThreeAndSaysWhy) {
    TempDir dir;
    const std::string image = dir.file("image.bin");
    writeFile(image, std::string(1000, '\x5a'));
    Capture out;
    Capture err;
    EXPECT_EQ(runCommandLine({"--port", "COM3", "--json", image}, out.file(), err.file()),
              kExitNoConnection);

    const auto lines = out.lines();
    ASSERT_FALSE(lines.empty());
    for (const auto& line : lines) {
        EXPECT_TRUE(JsonLineReader::parse(line)) << line;
    }
    const auto result = JsonLineReader::parse(lines.back());
    ASSERT_TRUE(result);
    EXPECT_EQ(result->at("event"), "result");
    EXPECT_EQ(result->at("exit"), "3");
    EXPECT_EQ(result->at("reason"),
              "COM3 is busy or access is denied: another program holds it; close that program "
              "and try again");
    EXPECT_NE(err.text().find("COM port not available!\n  COM3 is busy"), std::string::npos)
        << err.text();
    // A file is no terminal: the plain line output, never the redrawn bar.
    EXPECT_FALSE(redrawsInPlace(out.file()));
}

TEST_F(HeldCom3, ThePortListShowsTheHeldPortAsBusy) {
    Capture text;
    EXPECT_EQ(printPortList(text.file(), false), 0);
    const auto lines = text.lines();
    ASSERT_GE(lines.size(), 14u);
    EXPECT_EQ(lines[0], "COM ports:");
    EXPECT_EQ(lines[3].rfind("  COM3   \\\\.\\COM3 ", 0), 0u) << lines[3];
    EXPECT_EQ(lines[3].substr(lines[3].size() - 31), "busy (another program holds it)");
    EXPECT_EQ(lines[11], "Serial devices:");

    Capture json;
    EXPECT_EQ(printPortList(json.file(), true), 0);
    const auto objects = json.lines();
    ASSERT_GE(objects.size(), 11u);
    const auto com3 = JsonLineReader::parse(objects[2]);
    ASSERT_TRUE(com3);
    EXPECT_EQ(com3->at("name"), "COM3");
    EXPECT_EQ(com3->at("state"), "busy");
    EXPECT_EQ(com3->at("error"), "5");
    // Every serial device Windows lists is a COM port, named with the object it stands for.
    for (const auto& line : objects) {
        const auto object = JsonLineReader::parse(line);
        ASSERT_TRUE(object) << line;
        if (object->at("event") == "device") {
            EXPECT_EQ(object->at("path").rfind("\\\\.\\COM", 0), 0u) << line;
            EXPECT_NE(object->at("by_id"), "[]") << line;
        }
    }
}

}  // namespace
