// The command line's parts in-process: option parsing, JSON text, progress from page
// positions, the serial device list from sysfs and the reason lines.
#include <grp.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "JsonLine.h"
#include "app/DownloaderDialog.h"
#include "cli/CliOptions.h"
#include "cli/CliWindow.h"
#include "cli/JsonText.h"
#include "cli/OsReasons.h"
#include "cli/PortList.h"
#include "support/TempDir.h"

using namespace tervan;
using namespace tervan::cli;
using tervan::testing::JsonLineReader;
using tervan::testing::TempDir;
using tervan::testing::writeFile;
namespace fs = std::filesystem;

TEST(CliOptionsTest, PortsModelsAndFollowUps) {
    auto parsed =
        parseCommandLine({"--port", "com3", "--model=64", "--ram", "--then", "run", "a.bin"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.comPortPath, "\\\\.\\COM3");
    EXPECT_EQ(parsed.options.comIndex, 2);
    EXPECT_EQ(parsed.options.interfaceKind, 1);
    EXPECT_EQ(parsed.options.targetModel, 1);
    EXPECT_EQ(parsed.options.targetMemory, 1);
    EXPECT_EQ(parsed.options.then, FollowUp::Run);
    EXPECT_EQ(parsed.options.imagePath, "a.bin");

    // A device path is taken as it is; an image named like an option follows "--".
    parsed = parseCommandLine({"--port", "/dev/ttyUSB0", "--", "--odd.bin"});
    EXPECT_EQ(parsed.options.comPortPath, "/dev/ttyUSB0");
    EXPECT_FALSE(parsed.options.comIndex);
    EXPECT_EQ(parsed.options.imagePath, "--odd.bin");

    // Left out: nothing set, so the stored settings decide.
    parsed = parseCommandLine({"a.bin"});
    EXPECT_FALSE(parsed.options.interfaceKind || parsed.options.targetModel ||
                 parsed.options.targetMemory || parsed.options.comPortPath);

    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"--usb", "--port", "COM1", "a.bin"},
                                               {"--ram", "--rom", "a.bin"},
                                               {"--port", "COM1x", "a.bin"},
                                               {"--port", "COM+3", "a.bin"},
                                               {"--model", "512", "a.bin"},
                                               {"--then", "jump", "a.bin"},
                                               {"--json=yes", "a.bin"},
                                               {"a.bin", "b.bin"},
                                               {},
                                               {"--list-ports", "a.bin"}}) {
        EXPECT_NE(parseCommandLine(bad).error, "") << bad.size();
    }
    // --help wins even over mistakes.
    EXPECT_EQ(parseCommandLine({"--bogus", "--help"}).options.action, CliAction::Help);
}

TEST(JsonTextTest, EveryTextBecomesAParsableString) {
    const std::string texts[] = {"To many devices!\n", "a \"quoted\" \\ path", "\x01\x7f\t",
                                 "caf\xc3\xa9",        "bad \xff\xc3 bytes",   "\xed\xa0\x80"};
    for (const auto& text : texts) {
        const std::string line = JsonObject().text("text", text).str();
        const auto parsed = JsonLineReader::parse(line);
        ASSERT_TRUE(parsed) << line;
    }
    EXPECT_EQ(jsonString("To many devices!\n"), "\"To many devices!\\n\"");
    EXPECT_EQ(jsonString("\x01\x7f"), "\"\\u0001\\u007f\"");
    EXPECT_EQ(jsonString("caf\xc3\xa9"), "\"caf\xc3\xa9\"");
    // Not UTF-8 (a stray byte, a cut sequence, an encoded surrogate): replaced, never copied.
    EXPECT_EQ(jsonString("\xff\xc3"), "\"\\ufffd\\ufffd\"");
    EXPECT_EQ(jsonString("\xed\xa0\x80"), "\"\\ufffd\\ufffd\\ufffd\"");
}

// The controller reports pages as positions of imageLength / pageSize: a last partial page
// repeats the position before it. The bytes must still end at the image length.
TEST(CliWindowTest, ProgressCountsPagesNotPositions) {
    TempDir dir;
    SettingsStore settings(dir.file("tervan.ini"));
    auto dialog = std::make_unique<DownloaderDialog>(settings);
    dialog->session().targetModel = 1;
    dialog->session().applyModel();
    dialog->session().imageLength = 1000;

    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* out = ::open_memstream(&buffer, &size);
    CliWindow window(RenderMode::Lines, out, stderr);
    window.watch(&dialog->session());
    window.setProgressRange(0, 1000 / 128);
    window.setProgressPosition(0);
    window.setControlText(kStatusLine, "Downloading...");
    std::vector<std::uint32_t> bytes;
    for (const int position : {1, 2, 3, 4, 5, 6, 7, 7}) {
        window.setProgressPosition(static_cast<std::int16_t>(position));
        bytes.push_back(window.bytesSent());
    }
    window.setControlText(kStatusLine, "Write successfull!");
    window.setProgressPosition(0);  // the disconnected state afterwards
    std::fclose(out);
    const std::string text(buffer, size);
    std::free(buffer);

    EXPECT_EQ(bytes, (std::vector<std::uint32_t>{128, 256, 384, 512, 640, 768, 896, 1000}));
    EXPECT_EQ(window.bytesSent(), 1000u);
    EXPECT_NE(text.find("100% (1.0 KiB of 1.0 KiB"), std::string::npos) << text;
    EXPECT_EQ(text.rfind("Write successfull!\n"), text.size() - 19);
    EXPECT_EQ(window.statuses(),
              (std::vector<std::string>{"Downloading...", "Write successfull!"}));
}

TEST(PortListTest, SerialDevicesWithUsbIdsFromSysfs) {
    TempDir dir;
    const fs::path dev = dir.file("dev");
    const fs::path sys = dir.file("sys");
    fs::create_directories(dev / "serial" / "by-id");
    for (const char* name : {"ttyUSB10", "ttyUSB2", "ttyACM0", "ttyS0", "tty1"}) {
        writeFile((dev / name).string(), "");
    }
    fs::create_symlink("../../ttyUSB2", dev / "serial" / "by-id" / "usb-FTDI_FT232R_A1-if00-port0");
    // The USB device holds the ids; the tty's device is an interface two levels below it.
    const fs::path usbDevice = sys / "devices" / "pci0" / "usb1" / "1-1";
    const fs::path iface = usbDevice / "1-1:1.0" / "ttyUSB2";
    fs::create_directories(iface);
    fs::create_directories(sys / "bus" / "usb-serial" / "drivers" / "ftdi_sio");
    fs::create_symlink(sys / "bus" / "usb-serial" / "drivers" / "ftdi_sio", iface / "driver");
    writeFile((usbDevice / "idVendor").string(), "0403\n");
    writeFile((usbDevice / "idProduct").string(), "6001\n");
    writeFile((usbDevice / "product").string(), "FT232R USB UART\n");
    fs::create_directories(sys / "class" / "tty" / "ttyUSB2");
    fs::create_symlink(iface, sys / "class" / "tty" / "ttyUSB2" / "device");

    const auto devices = findSerialDevices(dev.string(), sys.string());
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].path, (dev / "ttyACM0").string());
    EXPECT_EQ(devices[1].path, (dev / "ttyUSB2").string());
    EXPECT_EQ(devices[2].path, (dev / "ttyUSB10").string());
    EXPECT_EQ(devices[1].vendorId, "0403");
    EXPECT_EQ(devices[1].productId, "6001");
    EXPECT_EQ(devices[1].product, "FT232R USB UART");
    EXPECT_EQ(devices[1].driver, "ftdi_sio");
    ASSERT_EQ(devices[1].byId.size(), 1u);
    EXPECT_EQ(fs::path(devices[1].byId[0]).filename(), "usb-FTDI_FT232R_A1-if00-port0");
    EXPECT_EQ(devices[2].vendorId, "");  // sysfs knows nothing of it
}

TEST(OsReasonsTest, PermissionDeniedNamesTheDevicesGroup) {
    TempDir dir;
    const std::string device = dir.file("ttyFake");
    writeFile(device, "");
    // Only root can hand the file to another group; the group of gid 20 ("dialout" on
    // Debian) stands for the usual owner of serial devices.
    const group* serialGroup = ::getgrgid(20);
    if (::getuid() == 0 && serialGroup != nullptr && ::chown(device.c_str(), 0, 20) == 0) {
        const std::string name = serialGroup->gr_name;
        EXPECT_EQ(portOpenReason(EACCES, "COM1", device, ""),
                  "COM1 (" + device + "): permission denied; the device belongs to group \"" +
                      name + "\": `sudo usermod -aG " + name + " $USER`, then log in again");
    }
    // A root-owned device names no group to join.
    EXPECT_EQ(portOpenReason(EPERM, "/dev/x", "/nonexistent/x", ""),
              "/dev/x (/nonexistent/x): permission denied; run as a user who may open it");
    EXPECT_EQ(portOpenReason(0, "COM1", device, ""), "");
    EXPECT_NE(portOpenReason(EBUSY, "/dev/ttyUSB0", "/dev/ttyUSB0", "")
                  .find("/dev/ttyUSB0 is busy: another program holds it"),
              std::string::npos);
    EXPECT_EQ(portStateWord(ENOENT), "missing");
    EXPECT_EQ(portStateWord(ENXIO), "missing");
}
