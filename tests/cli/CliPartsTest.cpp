// The command line's parts in-process: option parsing, JSON text, progress from page
// positions, the serial device list from sysfs and the reason lines.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "JsonLine.h"
#include "app/DownloaderDialog.h"
#include "cli/AppendFile.h"
#include "cli/BoardView.h"
#include "cli/CliOptions.h"
#include "cli/CliRun.h"
#include "cli/JsonText.h"
#include "cli/Monitor.h"
#include "cli/OsReasons.h"
#include "cli/PortList.h"
#include "cli/Sha256.h"
#include "cli/UsbBus.h"
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

    // --monitor takes a speed only as a number after it.
    parsed = parseCommandLine({"--ram", "--then", "run", "--monitor", "9600", "a.bin"});
    EXPECT_EQ(parsed.options.monitorBaud, 9600u);
    EXPECT_EQ(parsed.options.imagePath, "a.bin");
    parsed = parseCommandLine({"--rom", "--then", "reset", "--monitor", "a.bin"});
    EXPECT_EQ(parsed.options.monitorBaud, kMonitorDefaultBaud);
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

    // Several ports: each a board, the first also the one the settings' fields name.
    parsed = parseCommandLine(
        {"--port", "COM2", "--port", "/dev/ttyUSB1", "--repeat", "0", "--wait", "30", "a.bin"});
    ASSERT_EQ(parsed.error, "");
    ASSERT_EQ(parsed.options.ports.size(), 2u);
    EXPECT_EQ(parsed.options.ports[0].given, "COM2");
    EXPECT_EQ(parsed.options.ports[1].path, "/dev/ttyUSB1");
    EXPECT_EQ(parsed.options.comPortPath, "\\\\.\\COM2");
    EXPECT_EQ(parsed.options.repeat, 0);
    EXPECT_EQ(parsed.options.waitSeconds, 30);

    // The target on the USB bus: its ids in lsusb's spelling (any case, 0x allowed), USB
    // implied; --udev-rule is an action of its own.
    parsed = parseCommandLine({"--usb-id", "0x03EB:6124", "--usb-serial", "S1", "a.bin"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.usbId, (UsbId{0x03eb, 0x6124}));
    EXPECT_EQ(parsed.options.usbSerial, "S1");
    EXPECT_EQ(parsed.options.interfaceKind, 0);
    parsed = parseCommandLine({"--udev-rule", "1d6b:0104"});
    EXPECT_EQ(parsed.options.action, CliAction::UdevRule);
    EXPECT_EQ(parsed.options.udevRuleId, (UsbId{0x1d6b, 0x0104}));

    // --model takes every chip a model's window name lists.
    for (const auto& [spelling, model] : {std::pair{"256", 0}, {"128", 0}, {"64", 1}, {"32", 1}}) {
        EXPECT_EQ(parseCommandLine({"--model", spelling, "a.bin"}).options.targetModel, model);
    }
    const std::string help = usageText("p");
    EXPECT_NE(help.find("\n  --model 256|64      SAM7S256/128 or SAM7S64/32\n"), std::string::npos);
    // Every option the parser takes has its lines in --help, alone or with the one it goes with.
    for (const OptionName& option : optionNames()) {
        const std::string& named = option.shownWith.empty() ? option.name : option.shownWith;
        EXPECT_NE(
            help.find("\n  " + (option.shortName.empty() ? "" : option.shortName + ", ") + named),
            std::string::npos)
            << option.name;
        if (!option.shownWith.empty()) {
            EXPECT_NE(help.find(option.name), std::string::npos) << option.name;
        }
    }
}

TEST(CliOptionsTest, MistakesAndTheirErrors) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--usb", "--port", "COM1", "a.bin"}, "--usb and --port exclude each other"},
        {{"--ram", "--rom", "a.bin"}, "--ram and --rom exclude each other"},
        {{"--port", "COM1x", "a.bin"},
         "--port takes COM1 ... COM256 or a device path such as /dev/ttyUSB0, not 'COM1x'"},
        {{"--port", "COM+3", "a.bin"},
         "--port takes COM1 ... COM256 or a device path such as /dev/ttyUSB0, not 'COM+3'"},
        {{"--model", "512", "--then", "jump", "a.bin"},
         "--model takes 256 (SAM7S256/128) or 64 (SAM7S64/32), not '512'"},
        {{"--then", "jump", "a.bin"}, "--then takes reset or run, not 'jump'"},
        {{"--root=", "a.bin"}, "--root needs a folder"},
        {{"--json=yes", "a.bin"}, "option '--json' takes no value"},
        {{"a.bin", "--model"}, "option '--model' needs a value"},
        {{"-q=1", "a.bin"}, "unknown option '-q=1'"},
        {{"a.bin", "b.bin"}, "one image file at a time (got 'a.bin' and 'b.bin')"},
        {{}, "no image file given"},
        {{"--list-ports", "a.bin"}, "--list-ports takes no image"},
        {{"--port", "COM2", "--port", "\\\\.\\com2", "a.bin"}, "--port \\\\.\\com2 is given twice"},
        {{"--device", "t0", "--port", "COM1", "a.bin"}, "--usb and --port exclude each other"},
        {{"--usb", "--all", "--device", "t0", "a.bin"}, "--all and --device exclude each other"},
        {{"--wait", "0", "a.bin"}, "--wait takes a number of seconds from 1, not '0'"},
        {{"--usb-id", "3eb-6124", "a.bin"},
         "--usb-id takes the vendor and product ids as lsusb shows them, such as 03eb:6124, not "
         "'3eb-6124'"},
        {{"--usb-id", "12345:1", "a.bin"},
         "--usb-id takes the vendor and product ids as lsusb shows them, such as 03eb:6124, not "
         "'12345:1'"},
        {{"--usb-serial", "S1", "a.bin"}, "--usb-serial goes with --usb-id"},
        {{"--usb-id", "03eb:6124", "--port", "COM1", "a.bin"},
         "--usb and --port exclude each other"},
        {{"--udev-rule", "03eb:6124", "a.bin"}, "--udev-rule takes no image"},
        {{"--repeat", "2x", "a.bin"},
         "--repeat takes a number of boards (0: until Ctrl-C), not '2x'"},
    };
    // Only the first mistake is named.
    for (const auto& [arguments, error] : cases) {
        EXPECT_EQ(parseCommandLine(arguments).error, error);
    }
    // --help wins even over mistakes.
    EXPECT_EQ(parseCommandLine({"--bogus", "--help"}).options.action, CliAction::Help);
}

// Exit statuses come from how a step ended: an image problem is bad usage wherever it shows,
// no answer means no connection only while connecting.
TEST(CliRunTest, ExitStatusFollowsTheOutcome) {
    const struct {
        OutcomeKind kind;
        bool connecting;
        int exit;
    } cases[] = {
        {OutcomeKind::Done, false, kExitDone},
        {OutcomeKind::ImageMissing, false, kExitBadUsage},
        {OutcomeKind::ImageTooBig, false, kExitBadUsage},
        {OutcomeKind::PortBusy, true, kExitNoConnection},
        {OutcomeKind::TooManyUsbDevices, true, kExitNoConnection},
        {OutcomeKind::NoAnswer, true, kExitNoConnection},
        {OutcomeKind::NotConnected, false, kExitNoConnection},
        {OutcomeKind::NoAnswer, false, kExitTransferFailed},
        {OutcomeKind::LineLost, false, kExitTransferFailed},
        {OutcomeKind::VerifyError, false, kExitTransferFailed},
        {OutcomeKind::SendFailed, false, kExitTransferFailed},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(exitStatusFor(Outcome{c.kind}, c.connecting), c.exit) << outcomeName(c.kind);
    }
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

// Names on a terminal: nothing in them may act on it, everything else stays readable.
TEST(JsonTextTest, TerminalTextEscapesWhatWouldActOnTheTerminal) {
    const std::pair<std::string, std::string> cases[] = {
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"fw\x1b[2J.bin", "fw\\x1b[2J.bin"},
        {"a\nb\tc\x7f", "a\\x0ab\\x09c\\x7f"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},
        {"\xc2\x9b"
         "31m",
         "\\xc2\\x9b"
         "31m"},  // CSI as a C1 control
        {"\x9b"
         "31m\xff",
         "\\x9b"
         "31m\\xff"},  // bytes that are not UTF-8
        {"\\\\.\\COM3", "\\\\.\\COM3"},
    };
    for (const auto& [text, shown] : cases) {
        EXPECT_EQ(terminalText(text), shown);
    }
    EXPECT_EQ(singleLine("Verify\nerror!\x1b "), "Verify error!\\x1b");
}

// Bytes cut anywhere give the same lines: CR LF is one break, a lone CR and other control
// bytes are shown escaped, an endless line is cut, and a partial one is given up at the end.
TEST(MonitorLinesTest, BytesBecomeSafeWholeLines) {
    const std::string bytes = "one\r\ntwo\tx\rmore\x1b[2J\xc3\xa9\nend\r";
    const std::vector<std::string> expected{"one", "two\tx\\rmore\\x1b[2J\\xc3\\xa9", "end\\r"};
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
        MonitorLines splitter;
        std::vector<std::string> lines;
        const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
        splitter.feed(data, cut, lines);
        splitter.feed(data + cut, bytes.size() - cut, lines);
        if (const auto rest = splitter.rest()) {
            lines.push_back(*rest);
        }
        EXPECT_EQ(lines, expected) << "cut at " << cut;
        EXPECT_FALSE(splitter.rest());
    }
    MonitorLines endless;
    std::vector<std::string> lines;
    const std::string run(MonitorLines::kLongestLine + 1, 'a');
    endless.feed(reinterpret_cast<const std::uint8_t*>(run.data()), run.size(), lines);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), MonitorLines::kLongestLine);
    EXPECT_EQ(endless.rest(), "a");
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
                      name + "\": `sudo usermod -aG " + name +
                      " $USER`, then log out and in again");
    }
    // A root-owned device names no group to join.
    EXPECT_EQ(portOpenReason(EPERM, "/dev/x", "/nonexistent/x", ""),
              "/dev/x (/nonexistent/x): permission denied; run as a user who may open it");
    EXPECT_EQ(portOpenReason(0, "COM1", device, ""), "");
    EXPECT_NE(portOpenReason(EBUSY, "/dev/ttyUSB0", "/dev/ttyUSB0", "")
                  .find("/dev/ttyUSB0 is busy: another program holds it"),
              std::string::npos);
    EXPECT_EQ(portStateWord(portFaultOf(ENOENT)), "missing");
    EXPECT_EQ(portStateWord(portFaultOf(ENXIO)), "missing");
}

// One listing, written as text and as JSON lines.
TEST(PortListTest, TextAndJsonFromOneListing) {
    const std::string kBusHeading =
        "USB devices on the bus that could be the target (a vendor-specific interface with one "
        "bulk IN and one bulk OUT endpoint):\n";
    PortListing listing;
    listing.comPorts = {
        {"COM1", "/r/ports/COM1", "/dev/pts/3", 0, "free", "", ""},
        {"COM2", "/dev/ttyS1", "", 16, "busy", "another program holds it", "Device busy"}};
    const std::vector<std::string> byId = {"/dev/serial/by-id/usb-FTDI-if00"};
    const SerialDevice ftdi{"/dev/ttyUSB0", byId, "0403",     "6001", "FTDI",
                            "FT232R",       "A1", "ftdi_sio", 16};
    SerialDevice bare;
    bare.path = "/dev/ttyACM0";
    listing.devices = {{ftdi, {"COM1"}}, {bare, {}}};
    listing.usbDevices = {"/r/usb/dev0"};
    os::UsbBulkDevice board;
    board.id = {0x03eb, 0x6124};
    board.manufacturer = "Maker";
    board.product = "Loader";
    board.serial = "S9";
    board.busPath = "3-1.4";
    board.node = "/dev/bus/usb/003/012";
    board.accessError = EACCES;
    board.kernelDriver = "usbfs";
    listing.busDevices = {board};
    listing.texts = {"COM ports:", "none", "USB devices:", "Hint."};
    const auto render = [&listing](void (*write)(std::FILE*, const PortListing&)) {
        char* buffer = nullptr;
        std::size_t size = 0;
        std::FILE* out = ::open_memstream(&buffer, &size);
        write(out, listing);
        std::fclose(out);
        const std::string text(buffer, size);
        std::free(buffer);
        return text;
    };

    EXPECT_EQ(render(writePortListText),
              "COM ports:\n"
              "  COM1   ports/COM1 -> /dev/pts/3                 free\n"
              "  COM2   /dev/ttyS1                               busy (another program holds it)\n"
              "Serial devices:\n"
              "  /dev/ttyUSB0  0403:6001  FTDI FT232R  serial A1  (ftdi_sio)  latency timer 16 "
              "ms  = COM1\n"
              "      /dev/serial/by-id/usb-FTDI-if00\n"
              "  /dev/ttyACM0\n"
              "  " +
                  latencyAdvice(16) +
                  "\n"
                  "USB devices:\n"
                  "  /r/usb/dev0\n" +
                  kBusHeading +
                  "  3-1.4  03eb:6124  Maker Loader  serial S9  /dev/bus/usb/003/012  Permission "
                  "denied (tervan-cli --udev-rule 03eb:6124)  driver usbfs\n"
                  "Hint.\n");
    EXPECT_EQ(
        render(writePortListJson),
        R"({"event":"port","name":"COM1","path":"/r/ports/COM1","link":"/dev/pts/3","state":"free","error":0,"reason":""}
{"event":"port","name":"COM2","path":"/dev/ttyS1","link":"","state":"busy","error":16,"reason":"Device busy"}
{"event":"device","path":"/dev/ttyUSB0","vendor":"0403","product":"6001","manufacturer":"FTDI","name":"FT232R","serial":"A1","driver":"ftdi_sio","latency_timer":16,"by_id":["/dev/serial/by-id/usb-FTDI-if00"],"com":["COM1"]}
{"event":"device","path":"/dev/ttyACM0","vendor":"","product":"","manufacturer":"","name":"","serial":"","driver":"","by_id":[],"com":[]}
{"event":"usb","path":"/r/usb/dev0"}
{"event":"usb_device","bus_path":"3-1.4","vendor":"03eb","product":"6124","manufacturer":"Maker","name":"Loader","serial":"S9","node":"/dev/bus/usb/003/012","may_open":false,"driver":"usbfs"}
{"event":"result","ok":true,"exit":0}
)");

    // Nothing found: the lists say so, and without a hint no closing line follows.
    listing = {};
    listing.texts = {"COM ports:", "none (no devices)", "USB devices:", ""};
    EXPECT_EQ(render(writePortListText),
              "COM ports:\nSerial devices:\n  none (no devices)\nUSB devices:\n  none\n" +
                  kBusHeading + "  none\n");
    EXPECT_EQ(render(writePortListJson), "{\"event\":\"result\",\"ok\":true,\"exit\":0}\n");
}

TEST(Sha256Test, KnownDigestsAcrossTheBlockEdge) {
    const auto digest = [](const std::string& text) {
        return sha256Hex({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    };
    EXPECT_EQ(digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(digest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // 56 bytes: the length no longer fits the block, so the padding takes a second one.
    EXPECT_EQ(digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(AppendFileTest, LinesFromManyThreadsArriveWhole) {
    TempDir dir;
    const std::string path = dir.file("receipts.jsonl");
    constexpr int kThreads = 8;
    constexpr int kLines = 40;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&path, t] {
            // Long lines, so that a write split in two would show.
            const std::string line(20000 + t, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) {
                EXPECT_EQ(appendToFile(path, line + "\n"), 0);
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    std::ifstream in(path);
    int count = 0;
    for (std::string line; std::getline(in, line); ++count) {
        ASSERT_FALSE(line.empty());
        const int t = line[0] - 'a';
        EXPECT_EQ(line, std::string(20000 + t, line[0])) << "line " << count;
    }
    EXPECT_EQ(count, kThreads * kLines);
    // A file in a folder that does not exist cannot be appended to.
    EXPECT_NE(appendToFile(dir.file("no-such-folder/r.jsonl"), ""), 0);
}

// What the user is told about a device on the bus that would not open: the seat's udev rule
// for a denied device, the program or driver that keeps a busy one.
TEST(UsbBusTest, OpenAdviceNamesTheRuleTheHolderOrTheDriver) {
    os::UsbBulkDevice device;
    device.id = {0x03eb, 0x6124};
    device.busPath = "1-4.2";
    device.node = "/dev/bus/usb/001/007";
    const std::string rule =
        "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"03eb\", ATTR{idProduct}==\"6124\", "
        "TAG+=\"uaccess\"";
    EXPECT_EQ(udevRuleText(device.id), rule);
    EXPECT_NE(udevRuleFileText(device.id).find(rule + "\n"), std::string::npos);

    const std::string denied = usbOpenAdvice(EACCES, device, {});
    EXPECT_EQ(denied.rfind("permission denied on /dev/bus/usb/001/007: ", 0), 0u) << denied;
    EXPECT_NE(denied.find(rule), std::string::npos);
    EXPECT_NE(denied.find("/etc/udev/rules.d/70-tervan.rules"), std::string::npos);
    EXPECT_NE(denied.find("udevadm control --reload-rules"), std::string::npos);

    EXPECT_EQ(usbOpenAdvice(EBUSY, device, {"process 42 (flasher)"}),
              "the device 1-4.2 is busy: process 42 (flasher) holds /dev/bus/usb/001/007 open; "
              "end it and connect again");
    device.kernelDriver = "cdc_acm";
    EXPECT_EQ(usbOpenAdvice(EBUSY, device, {}),
              "the kernel driver cdc_acm is bound to interface 1-4.2:1.0 and did not let go of "
              "it; unbind it with: echo 1-4.2:1.0 | sudo tee /sys/bus/usb/drivers/cdc_acm/unbind");
}

TEST(AppendFileTest, NeverHalfALineNorAWait) {
    TempDir dir;
    // A record cut short earlier (a machine that stopped mid-write) is not glued to the next.
    const std::string torn = dir.file("torn.jsonl");
    writeFile(torn, "{\"board\":1,\"po");
    EXPECT_EQ(appendToFile(torn, "{\"board\":2}\n"), 0);
    EXPECT_EQ(tervan::testing::readFile(torn), "{\"board\":1,\"po\n{\"board\":2}\n");
    // A full device fails the append.
    EXPECT_EQ(appendToFile("/dev/full", "{}\n"), ENOSPC);
    EXPECT_EQ(appendToFile("/dev/null", "{}\n"), 0);
    // A pipe no program reads is refused at once, for receipts and the trace alike.
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(unwritableKind(fifo), "a pipe (FIFO)");
    EXPECT_EQ(unwritableKind(dir.path()), "a folder");
    EXPECT_EQ(unwritableKind(torn), "");
    EXPECT_EQ(unwritableKind("/dev/null"), "");
    EXPECT_EQ(appendToFile(fifo, "{}\n"), kNotAWritableFile);
    int error = 0;
    EXPECT_EQ(createPrivateFile(fifo, error), nullptr);
    EXPECT_EQ(error, kNotAWritableFile);
    // A pipe this program already writes to has its reader (/dev/stdout in a pipeline).
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const std::string held = "/dev/fd/" + std::to_string(ends[1]);
    EXPECT_EQ(unwritableKind(held), "");
    EXPECT_EQ(appendToFile(held, "{}\n"), 0);
    char got[4] = {};
    EXPECT_EQ(::read(ends[0], got, sizeof got), 3);
    EXPECT_STREQ(got, "{}\n");
    ::close(ends[0]);
    ::close(ends[1]);
    // The trace holds the image: its owner's alone, also when an older file was open to all.
    const std::string trace = dir.file("trace.txt");
    writeFile(trace, "old lines\n");
    ::chmod(trace.c_str(), 0644);
    std::FILE* file = createPrivateFile(trace, error);
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    EXPECT_EQ(fs::status(trace).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::file_size(trace), 0u);
}
