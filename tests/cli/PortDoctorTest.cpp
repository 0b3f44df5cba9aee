// The port doctor and --link against a system tree of the test's own: the group database,
// this login's groups, running programs, sysfs and installed programs are files below a
// folder the tool is pointed at, so each cause can be shown on any machine.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "cli/OsReasons.h"
#include "cli/PortLink.h"
#include "cli/posix/PortDoctor.h"
#include "link/LinkResult.h"
#include "link/SystemPaths.h"
#include "support/TempDir.h"

using namespace tervan;
using namespace tervan::cli;
using tervan::testing::TempDir;
using tervan::testing::writeFile;
namespace fs = std::filesystem;

namespace {

class PortDoctorTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(root / "etc");
        fs::create_directories(root / "proc" / "self");
        setSystemRoot(root.string());
        setDeviceRoot(dir.file("program"));
    }
    void TearDown() override {
        setSystemRoot("");
        setDeviceRoot("");
    }

    // A file in the tree, its folders made.
    void put(const fs::path& file, const std::string& content) {
        fs::create_directories((root / file).parent_path());
        writeFile((root / file).string(), content);
    }
    // This login runs as uid 1000 with the given supplementary groups.
    void login(const std::string& groups) {
        put("proc/self/status",
            "Name:\ttervan-cli\nUid:\t1000\t1000\t1000\t1000\nGid:\t1000\t1000"
            "\t1000\t1000\nGroups:\t" +
                groups + "\n");
    }
    // A running program, as /proc shows it.
    void running(const std::string& command) { put("proc/4242/comm", command + "\n"); }
    // An attached USB device with the given ids; `tty` names the port it provides, if any.
    void usbDevice(const std::string& ids, const std::string& tty) {
        put("sys/bus/usb/devices/1-1/idVendor", ids.substr(0, 4) + "\n");
        put("sys/bus/usb/devices/1-1/idProduct", ids.substr(5) + "\n");
        if (!tty.empty()) {
            fs::create_directories(root / "sys/bus/usb/devices/1-1/1-1:1.0" / tty);
        }
    }

    TempDir dir;
    const fs::path root = dir.file("system");
};

}  // namespace

// Who may open a denied device, from the device's group, the group database and the groups
// this login was started with.
TEST_F(PortDoctorTest, PermissionAdviceFollowsTheUsersGroups) {
    const std::string device = dir.file("ttyUSB0");
    writeFile(device, "");
    struct stat info {};
    ASSERT_EQ(::stat(device.c_str(), &info), 0);
    const std::string gid = std::to_string(info.st_gid);
    struct Case {
        const char* what;
        std::string members;      // of the device's group in the database
        std::string primary;      // the user's primary group in the database
        std::string loginGroups;  // what this login has
        mode_t mode;
        std::string advice;
    };
    const Case cases[] = {
        {"not in the group", "", "1000", "1000", 0660,
         "the device belongs to group \"dialout\": `sudo usermod -aG dialout $USER`, then log out "
         "and in again"},
        {"added, not logged in again", "root,ada", "1000", "1000", 0660,
         "you are a member of group \"dialout\", but this login does not have it yet: log out and "
         "in again, or run `newgrp dialout`"},
        {"the group is the user's primary one", "", gid, "1000", 0660,
         "you are a member of group \"dialout\", but this login does not have it yet: log out and "
         "in again, or run `newgrp dialout`"},
        {"the mode keeps the group out", "ada", "1000", "1000 " + gid, 0600,
         "the device belongs to group \"dialout\", which this login has, but its mode 0600 keeps "
         "the group out; a udev rule with MODE=\"0660\" lets the group in"},
        {"refused all the same", "ada", "1000", gid, 0660,
         "this login has the device's group \"dialout\", yet the system refused; a security "
         "policy (AppArmor, SELinux) or a container may keep the device out"},
    };
    for (const Case& c : cases) {
        put("etc/group", "dialout:x:" + gid + ":" + c.members + "\nroot:x:0:\n");
        put("etc/passwd", "ada:x:1000:" + c.primary + ":Ada:/home/ada:/bin/bash\n");
        login(c.loginGroups);
        ::chmod(device.c_str(), c.mode);
        EXPECT_EQ(permissionAdvice(device), c.advice) << c.what;
    }
    // A group the database does not know, or root's, names no group to join.
    put("etc/group", "root:x:0:\n");
    EXPECT_EQ(permissionAdvice(device), "run as a user who may open it");
    EXPECT_EQ(portOpenReason(EACCES, "COM1", device, ""),
              "COM1 (" + device + "): permission denied; run as a user who may open it");
}

// ModemManager probes ttyACM/ttyUSB devices that appear; brltty takes certain adapters for
// braille displays, so their port never stays.
TEST_F(PortDoctorTest, HintsNameTheProgramsThatTakeAdaptersAway) {
    const std::string acm = dir.file("ttyACM0");
    const std::string other = dir.file("ttyS0");
    writeFile(acm, "");
    writeFile(other, "");
    put("proc/1/comm", "systemd\n");
    EXPECT_TRUE(adapterHints(acm, PortFault::Busy).empty()) << "nothing runs that takes ports";

    running("ModemManager");
    auto hints = adapterHints(acm, PortFault::Busy);
    ASSERT_EQ(hints.size(), 1u);
    EXPECT_NE(hints[0].find("ModemManager is running and probes ttyACM0"), std::string::npos);
    EXPECT_NE(hints[0].find("KERNEL==\"ttyACM0\", ENV{ID_MM_DEVICE_IGNORE}=\"1\""),
              std::string::npos);
    // With sysfs naming the adapter, the rule names its ids.
    put("sys/devices/usb1/1-1/idVendor", "03eb\n");
    put("sys/devices/usb1/1-1/idProduct", "6124\n");
    fs::create_directories(root / "sys/devices/usb1/1-1/1-1:1.0");
    fs::create_directories(root / "sys/class/tty/ttyACM0");
    fs::create_symlink(root / "sys/devices/usb1/1-1/1-1:1.0",
                       root / "sys/class/tty/ttyACM0/device");
    hints = adapterHints(acm, PortFault::None);
    ASSERT_EQ(hints.size(), 1u);
    EXPECT_NE(hints[0].find("ATTRS{idVendor}==\"03eb\", ATTRS{idProduct}==\"6124\""),
              std::string::npos);
    EXPECT_TRUE(adapterHints(other, PortFault::Busy).empty()) << "a ttyS is no modem it probes";
    EXPECT_TRUE(adapterHints(acm, PortFault::Missing).empty());

    // brltty installed and a CH340 attached without a port: the port vanished.
    put("usr/bin/brltty", "");
    usbDevice("1a86:7523", "");
    hints = adapterHints(dir.file("ttyUSB0"), PortFault::Missing);
    ASSERT_EQ(hints.size(), 1u);
    EXPECT_NE(hints[0].find("brltty is installed and takes USB-serial adapters such as 1a86:7523 "
                            "(CH340)"),
              std::string::npos);
    EXPECT_NE(hints[0].find("`sudo apt remove brltty`"), std::string::npos);
    // The same adapter with its port: brltty left it alone.
    usbDevice("1a86:7523", "ttyUSB0");
    EXPECT_TRUE(adapterHints(dir.file("ttyUSB0"), PortFault::Missing).empty());
}

TEST_F(PortDoctorTest, LatencyNoteSaysHowToAllowTheLowering) {
    os::AdapterLatency latency;
    latency.timerMs = 16;
    latency.lowerError = EACCES;
    latency.setting = "/sys/class/tty/ttyUSB0/device/latency_timer";
    const std::string note = latencyNote(latency);
    EXPECT_EQ(note.rfind("the adapter's latency timer is 16 ms and could not be set to 1 ms (", 0),
              0u);
    EXPECT_NE(note.find("ATTR{latency_timer}=\"1\""), std::string::npos);
    latency.lowerError = 0;  // lowered, or nothing to lower: nothing to say
    EXPECT_EQ(latencyNote(latency), "");
}

// --link makes ports/COMn lead to a device, by its /dev/serial/by-id name when it has one, and
// changes nothing it is not asked to.
TEST_F(PortDoctorTest, LinkMakesKeepsOrReplacesThePortLink) {
    const std::string link = dir.file("program/ports/COM3");
    // /dev/null and /dev/zero stand for two serial devices; udev named the first.
    fs::create_directories(root / "dev/serial/by-id");
    const fs::path stable = root / "dev/serial/by-id/usb-FTDI_FT232R_A1-if00-port0";
    fs::create_symlink("/dev/null", stable);

    auto made = makePortLink(3, "/dev/null", false);
    EXPECT_EQ(made.status, 0) << made.text;
    EXPECT_EQ(fs::read_symlink(link), stable);
    EXPECT_EQ(made.text, "COM3 now leads to " + stable.string() + " (" + link + ")");
    EXPECT_EQ(makePortLink(3, "/dev/null", false).text,
              "COM3 already leads to " + stable.string() + " (" + link + ")");

    struct Refusal {
        std::string device;
        bool force;
        std::string text;
    };
    const Refusal refusals[] = {
        {"/dev/zero", false,
         link + " leads to " + stable.string() + "; add --force to make it lead to /dev/zero"},
        {dir.file("none"), true,
         dir.file("none") + ": no such device; `tervan-cli --list-ports` shows the serial devices"},
        {dir.path(), true,
         dir.path() + " is not a character device; a serial port is one, such as /dev/ttyUSB0"},
    };
    for (const Refusal& r : refusals) {
        made = makePortLink(3, r.device, r.force);
        EXPECT_EQ(made.status, 2) << r.device;
        EXPECT_EQ(made.text, r.text);
        EXPECT_EQ(fs::read_symlink(link), stable) << "the link stays as it was";
    }

    made = makePortLink(3, "/dev/zero", true);
    EXPECT_EQ(made.status, 0);
    EXPECT_EQ(fs::read_symlink(link), "/dev/zero");
    EXPECT_EQ(made.replaced, stable.string());
    EXPECT_EQ(fs::directory_iterator(dir.file("program/ports"))->path().filename(), "COM3")
        << "no passing name is left behind";
}

// A busy port names every process that holds it, the one holding its flock first, from the
// /proc of the system tree.
TEST_F(PortDoctorTest, BusyPortNamesEveryHolderTheLockFirst) {
    const std::string device = dir.file("ttyUSB0");
    writeFile(device, "");
    struct stat info {};
    ASSERT_EQ(::stat(device.c_str(), &info), 0);
    const auto holds = [&](int pid, const std::string& command) {
        put("proc/" + std::to_string(pid) + "/comm", command + "\n");
        fs::create_directories(root / "proc" / std::to_string(pid) / "fd");
        fs::create_symlink(device, root / "proc" / std::to_string(pid) / "fd" / "3");
    };
    const std::string busy = "COM1 (" + device + ") is busy: ";
    EXPECT_EQ(portOpenReason(EBUSY, "COM1", device, ""),
              busy + "another program holds it; close that program and try again");
    holds(100, "cat");
    EXPECT_EQ(portOpenReason(EBUSY, "COM1", device, ""),
              busy + "held by process 100 (cat); close that program and try again");
    holds(2000, "minicom");
    char lock[96];
    std::snprintf(lock, sizeof lock, "1: FLOCK  ADVISORY  WRITE 2000 %02x:%02x:%llu 0 EOF\n",
                  major(info.st_dev), minor(info.st_dev),
                  static_cast<unsigned long long>(info.st_ino));
    put("proc/locks", std::string("1: -> FLOCK  ADVISORY  WRITE 100 00:01:1 0 EOF\n") + lock);
    EXPECT_EQ(holderText(device),
              "held by process 2000 (minicom) with its lock and process 100 (cat)");
    holds(300, "screen");
    holds(400, "sh");
    EXPECT_EQ(holderText(device),
              "held by process 2000 (minicom) with its lock, process 100 (cat), process 300 "
              "(screen) and 1 more");
}

// --list-ports says whose shell a terminal is, found through the tty of /proc/*/stat.
TEST_F(PortDoctorTest, SessionTerminalNamesItsLeader) {
    struct stat info {};
    ASSERT_EQ(::stat("/dev/null", &info), 0);
    const unsigned long tty = (major(info.st_rdev) << 8) | minor(info.st_rdev);
    put("proc/321/stat", "321 (my shell) S 1 321 321 " + std::to_string(tty) + " 321 0\n");
    put("proc/321/comm", "bash\n");
    put("proc/400/stat", "400 (cat) S 1 400 400 0 -1 0\n");
    EXPECT_EQ(portStateNote(kErrorSessionTerminal, "/dev/null"),
              "the terminal of process 321 (bash)'s session");
    EXPECT_EQ(portStateNote(kErrorNotAPort, dir.path()), "not a serial port: a folder");
}
