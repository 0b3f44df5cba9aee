// SerialLink over real pseudo-terminals: the link holds the slave, the test is the target on
// the master. The link's time-outs run on a driven clock; a few tests measure the real ones.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "LinkTestSupport.h"
#include "link/SerialLink.h"
#include "link/SerialPort.h"
#include "link/SystemPaths.h"
#include "link/Terminals.h"
#include "link/posix/PosixIo.h"
#include "support/DeviceRootTest.h"
#include "support/DrivenClock.h"
#include "support/TempDir.h"

using namespace tervan;
using tervan::testing::DeviceRootTest;
using tervan::testing::DrivenClock;
using tervan::testing::millisecondsSince;
using tervan::testing::PseudoTerminal;
using tervan::testing::sleepMs;

namespace {

class SerialLinkTest : public DeviceRootTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(target.ready()) << "no pseudo-terminal";
        std::filesystem::create_directories(dir.file("ports"));
    }

    // ports/COMn beside the "executable", pointing at `device`.
    void linkComPort(int number, const std::string& device) {
        std::filesystem::create_symlink(device, dir.file("ports/COM" + std::to_string(number)));
    }

    // Bytes waiting to be read on the link's side.
    int pendingOnLink(const SerialLink& link) {
        int pending = -1;
        ::ioctl(static_cast<int>(link.handle), FIONREAD, &pending);
        return pending;
    }

    // Waits (really, briefly) until what the target sent has reached the link's side, so that
    // a read on the driven clock finds it without waiting.
    bool arrived(int bytes) {
        for (int i = 0; i < 100 && pendingOnLink(link) < bytes; ++i) {
            sleepMs(5);
        }
        return pendingOnLink(link) == bytes;
    }

    // CPU time this thread has used so far.
    static double threadCpuMilliseconds() {
        timespec now{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
    }

    PseudoTerminal target;
    // Only looks at the line: a time-out passes at once and shows in clock.elapsed().
    DrivenClock clock;
    SerialLink link{clock};
};

}  // namespace

TEST_F(SerialLinkTest, ConstructionHoldsNothing) {
    EXPECT_EQ(link.handle, kInvalidHandle);
    EXPECT_EQ(link.opened, 0);
    EXPECT_EQ(link.isOpen(), 0);
}

TEST_F(SerialLinkTest, OpenPutsTheLineIntoRaw8N1WithoutFlowControl) {
    // The pseudo-terminal starts cooked, echoing and at 38400 baud, so every check below
    // shows a change made by open.
    termios before{};
    ASSERT_EQ(::tcgetattr(target.master(), &before), 0);
    ASSERT_NE(before.c_lflag & ICANON, 0u);

    ASSERT_EQ(link.open(target.slavePath().c_str(), 115200), 1);
    EXPECT_EQ(link.isOpen(), 1);
    EXPECT_NE(link.handle, kInvalidHandle);

    // Read back on the slave the link holds, and through the master (which reports the
    // slave's settings): both must agree.
    for (const int fd : {static_cast<int>(link.handle), target.master()}) {
        termios line{};
        ASSERT_EQ(::tcgetattr(fd, &line), 0);
        EXPECT_EQ(::cfgetospeed(&line), static_cast<speed_t>(B115200));
        EXPECT_EQ(::cfgetispeed(&line), static_cast<speed_t>(B115200));
        EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(line.c_cflag & PARENB, 0u);
        EXPECT_EQ(line.c_cflag & CSTOPB, 0u);
        EXPECT_EQ(line.c_cflag & CRTSCTS, 0u);
        EXPECT_EQ(line.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
        EXPECT_EQ(line.c_iflag & (IXON | IXOFF | IXANY), 0u);
        EXPECT_EQ(line.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP), 0u);
        EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(line.c_oflag & OPOST, 0u);
    }

    EXPECT_EQ(link.lineSettings.baudRate, 115200u);
    EXPECT_EQ(link.lineSettings.byteSize, 8);
    EXPECT_EQ(link.lineSettings.parity, 0);
    EXPECT_EQ(link.lineSettings.stopBits, 0);
    EXPECT_FALSE(link.lineSettings.ctsFlow);
    EXPECT_FALSE(link.lineSettings.dsrFlow);
    EXPECT_FALSE(link.lineSettings.dtrOn);
    EXPECT_FALSE(link.lineSettings.rtsOn);
    EXPECT_FALSE(link.lineSettings.outX);
    EXPECT_FALSE(link.lineSettings.inX);

    // What the port reports now matches what the link wrote.
    os::SerialLineSettings reported;
    reported.byteSize = 0;
    ASSERT_TRUE(os::serialGetLine(link.handle, &reported));
    EXPECT_EQ(reported.baudRate, 115200u);
    EXPECT_EQ(reported.byteSize, 8);
    EXPECT_EQ(reported.parity, 0);
    EXPECT_EQ(reported.stopBits, 0);
    EXPECT_FALSE(reported.ctsFlow);
    EXPECT_FALSE(reported.outX);
    EXPECT_FALSE(reported.inX);
    EXPECT_FALSE(reported.dtrOn);
    EXPECT_FALSE(reported.rtsOn);
}

TEST_F(SerialLinkTest, BytesPassUnchangedBothWays) {
    ASSERT_EQ(link.open(target.slavePath().c_str(), 115200), 1);
    const std::string all = [] {
        std::string bytes;
        for (int i = 0; i < 256; ++i) {
            bytes.push_back(static_cast<char>(i));
        }
        return bytes;
    }();

    const LinkResult written = link.write(all.data(), static_cast<std::uint32_t>(all.size()));
    EXPECT_EQ(written.count, all.size());
    EXPECT_EQ(written.error, 0);
    EXPECT_EQ(target.receive(), all);

    ASSERT_TRUE(target.send(all));
    ASSERT_TRUE(arrived(256));
    std::string got(all.size(), '\0');
    const LinkResult read = link.read(got.data(), static_cast<std::uint32_t>(got.size()));
    EXPECT_EQ(read.count, all.size());
    EXPECT_EQ(read.error, 0);
    EXPECT_EQ(got, all);
    EXPECT_EQ(clock.elapsed().count(), 0);
}

// --- the real time-outs, measured on the steady clock ---

TEST_F(SerialLinkTest, OneByteReadWithNothingArrivingGivesUpAfterAbout1001Ms) {
    SerialLink timed;
    ASSERT_EQ(timed.open(target.slavePath().c_str(), 115200), 1);
    char byte = '?';
    const double cpuBefore = threadCpuMilliseconds();
    const auto start = std::chrono::steady_clock::now();
    const LinkResult result = timed.read(&byte, 1);
    const auto elapsed = millisecondsSince(start);
    EXPECT_EQ(result.count, 0u);
    EXPECT_EQ(result.error, 0);  // a time-out is no failure
    EXPECT_EQ(byte, '?');
    EXPECT_GE(elapsed, 990);
    EXPECT_LE(elapsed, 2500);
    // The wait sleeps in poll: it does not spin through the second.
    EXPECT_LT(threadCpuMilliseconds() - cpuBefore, 100.0);
}

TEST_F(SerialLinkTest, OneByteReadReturnsAtOnceWhenTheByteArrivesAfter300Ms) {
    SerialLink timed;
    ASSERT_EQ(timed.open(target.slavePath().c_str(), 115200), 1);
    std::thread peer([this] {
        sleepMs(300);
        target.send("X");
    });
    char byte = '?';
    const auto start = std::chrono::steady_clock::now();
    const LinkResult result = timed.read(&byte, 1);
    const auto elapsed = millisecondsSince(start);
    peer.join();
    EXPECT_EQ(result.count, 1u);
    EXPECT_EQ(result.error, 0);
    EXPECT_EQ(byte, 'X');
    EXPECT_GE(elapsed, 250);
    EXPECT_LT(elapsed, 1000);  // well before the read's own time-out
}

// --- the time-outs on the driven clock ---

TEST_F(SerialLinkTest, ThreeByteReadGettingOneByteReturnsOneAfter1003Ms) {
    ASSERT_EQ(link.open(target.slavePath().c_str(), 115200), 1);
    ASSERT_TRUE(target.send("X"));
    ASSERT_TRUE(arrived(1));
    char bytes[3] = {'?', '?', '?'};
    const LinkResult result = link.read(bytes, 3);
    EXPECT_EQ(result.count, 1u);
    EXPECT_EQ(result.error, 0);
    EXPECT_EQ(bytes[0], 'X');
    EXPECT_EQ(bytes[1], '?');
    EXPECT_EQ(clock.elapsed().count(), 1003);  // 1000 ms and 1 ms per requested byte
}

TEST_F(SerialLinkTest, WriteDiscardsWhatTheTargetSentBefore) {
    ASSERT_EQ(link.open(target.slavePath().c_str(), 115200), 1);
    ASSERT_TRUE(target.send("Z"));
    // The byte has arrived and waits on the link's side.
    ASSERT_TRUE(arrived(1));

    EXPECT_EQ(link.write("H", 1).count, 1u);
    EXPECT_EQ(target.receive(), "H");
    EXPECT_EQ(pendingOnLink(link), 0);

    char byte = '?';
    EXPECT_EQ(link.read(&byte, 1).count, 0u);
    EXPECT_EQ(byte, '?');
    EXPECT_EQ(clock.elapsed().count(), 1001);  // the read waited out its time-out
}

TEST_F(SerialLinkTest, PurgeDiscardsReceivedBytesAndFailsOnAClosedLink) {
    EXPECT_EQ(link.purge(), 0);  // closed: the call fails on the invalid handle
    EXPECT_EQ(link.isOpen(), 0);

    ASSERT_EQ(link.open(target.slavePath().c_str(), 115200), 1);
    ASSERT_TRUE(target.send("abc"));
    ASSERT_TRUE(arrived(3));
    EXPECT_EQ(link.purge(), 1);
    EXPECT_EQ(pendingOnLink(link), 0);
}

TEST_F(SerialLinkTest, PurgeOrWriteRightAfterAWriteNeverTakesItsBytesBack) {
    // The handshake's 'H' is followed at once by the download's purge and first frame.
    ASSERT_EQ(link.open(target.slavePath().c_str(), 115200), 1);
    constexpr int kRounds = 300;
    std::string expected;
    for (int i = 0; i < kRounds; ++i) {
        ASSERT_EQ(link.write("H", 1).count, 1u);
        ASSERT_EQ(link.purge(), 1);
        ASSERT_EQ(link.write("F", 1).count, 1u);
        expected += "HF";
    }
    std::string got;
    while (got.size() < expected.size()) {
        const std::string more = target.receive(200);
        if (more.empty()) {
            break;
        }
        got += more;
    }
    EXPECT_EQ(got, expected);
}

TEST_F(SerialLinkTest, WriteThatTheTargetDoesNotTakeEndsAfter1000MsWithTheSmallerCount) {
    ASSERT_EQ(link.open(target.slavePath().c_str(), 115200), 1);
    // Far more than a pseudo-terminal buffers while nobody reads the master.
    const std::string big(4 * 1024 * 1024, 'w');
    const LinkResult result = link.write(big.data(), static_cast<std::uint32_t>(big.size()));
    EXPECT_EQ(result.error, 0);  // cut short, not failed
    EXPECT_GT(result.count, 0u);
    EXPECT_LT(result.count, big.size());
    EXPECT_EQ(clock.elapsed().count(), 1000);
}

TEST_F(SerialLinkTest, ReadAndWriteOnAClosedLinkAreNotOpen) {
    char byte = 0;
    for (const LinkResult& result : {link.read(&byte, 1), link.write("H", 1)}) {
        EXPECT_EQ(result.count, 0u);
        EXPECT_EQ(result.error, kErrorNotOpen);
    }
}

TEST_F(SerialLinkTest, OpenWhenOpenReturnsOneAndKeepsPortAndSpeed) {
    PseudoTerminal other;
    ASSERT_TRUE(other.ready());
    ASSERT_EQ(link.open(target.slavePath().c_str(), 115200), 1);
    const PlatformHandle held = link.handle;

    EXPECT_EQ(link.open(other.slavePath().c_str(), 9600), 1);
    EXPECT_EQ(link.handle, held);
    EXPECT_EQ(link.isOpen(), 1);
    termios line{};
    ASSERT_EQ(::tcgetattr(static_cast<int>(link.handle), &line), 0);
    EXPECT_EQ(::cfgetospeed(&line), static_cast<speed_t>(B115200));
    // The other port was never touched: it is free.
    EXPECT_EQ(link.probe(other.slavePath().c_str()), 0);
    // And the bytes still go to the first port.
    EXPECT_EQ(link.write("H", 1).count, 1u);
    EXPECT_EQ(target.receive(), "H");
}

TEST_F(SerialLinkTest, OpenOfAMissingPortFailsAndLeavesTheLinkClosed) {
    EXPECT_EQ(link.open(dir.file("no-such-port").c_str(), 115200), 0);
    EXPECT_EQ(link.isOpen(), 0);
    EXPECT_EQ(link.handle, kInvalidHandle);
    EXPECT_EQ(link.close(), 1);
    EXPECT_EQ(link.isOpen(), 0);
    EXPECT_EQ(link.open("\\\\.\\COM0", 115200), 0);
    EXPECT_EQ(link.handle, kInvalidHandle);
}

TEST_F(SerialLinkTest, CloseReleasesThePortAndIsAlwaysOne) {
    ASSERT_EQ(link.open(target.slavePath().c_str(), 115200), 1);
    EXPECT_EQ(link.close(), 1);
    EXPECT_EQ(link.isOpen(), 0);
    EXPECT_EQ(link.handle, kInvalidHandle);
    EXPECT_EQ(link.close(), 1);
    EXPECT_EQ(link.probe(target.slavePath().c_str()), 0);
    // The port can be opened again.
    EXPECT_EQ(link.open(target.slavePath().c_str(), 115200), 1);
}

TEST_F(SerialLinkTest, ProbeGivesTwoForAPortThatDoesNotExist) {
    EXPECT_EQ(link.probe(dir.file("no-such-port").c_str()), kErrorNotFound);
    EXPECT_EQ(link.probe("\\\\.\\COM0"), kErrorNotFound);
    EXPECT_EQ(link.probe("\\\\.\\COM-1"), kErrorNotFound);
    EXPECT_EQ(link.probe("COM0"), kErrorNotFound);
    // ports/COM3 names a device that is gone.
    linkComPort(3, dir.file("unplugged"));
    EXPECT_EQ(link.probe("\\\\.\\COM3"), kErrorNotFound);
    EXPECT_EQ(link.probe(nullptr), kErrorNotFound);
    EXPECT_EQ(link.isOpen(), 0);
}

TEST_F(SerialLinkTest, ProbeGivesZeroForAFreePortAndLeavesItFree) {
    linkComPort(2, target.slavePath());
    EXPECT_EQ(link.probe("\\\\.\\COM2"), 0);
    EXPECT_EQ(link.probe("\\\\.\\COM2"), 0);
    EXPECT_EQ(link.isOpen(), 0);
    EXPECT_EQ(link.handle, kInvalidHandle);
    ASSERT_EQ(link.open("\\\\.\\COM2", 115200), 1);
    EXPECT_EQ(link.write("H", 1).count, 1u);
    EXPECT_EQ(target.receive(), "H");
}

TEST_F(SerialLinkTest, ProbeOfThePortThisLinkHoldsGivesAnAccessError) {
    linkComPort(4, target.slavePath());
    ASSERT_EQ(link.open("\\\\.\\COM4", 115200), 1);
    const PlatformHandle held = link.handle;
    // Through the COM name and through the device itself: the same port either way.
    for (const std::string& name : {std::string("\\\\.\\COM4"), target.slavePath()}) {
        const int result = link.probe(name.c_str());
        EXPECT_NE(result, 0) << name;
        EXPECT_NE(result, kErrorNotFound) << name;
    }
    EXPECT_EQ(link.probe("\\\\.\\COM4"), EBUSY);
    // The probe changed nothing of the link.
    EXPECT_EQ(link.isOpen(), 1);
    EXPECT_EQ(link.handle, held);
    EXPECT_EQ(link.write("H", 1).count, 1u);
    EXPECT_EQ(target.receive(), "H");
}

TEST_F(SerialLinkTest, ASecondLinkCannotOpenAHeldPortEvenAsRoot) {
    ASSERT_EQ(link.open(target.slavePath().c_str(), 115200), 1);
    SerialLink second;
    EXPECT_EQ(second.open(target.slavePath().c_str(), 115200), 0);
    EXPECT_EQ(second.isOpen(), 0);
    EXPECT_EQ(second.handle, kInvalidHandle);
    link.close();
    EXPECT_EQ(second.open(target.slavePath().c_str(), 115200), 1);
}

TEST_F(SerialLinkTest, DestroyingAnOpenLinkReleasesThePort) {
    {
        SerialLink scoped;
        ASSERT_EQ(scoped.open(target.slavePath().c_str(), 115200), 1);
        EXPECT_NE(link.probe(target.slavePath().c_str()), 0);
    }
    EXPECT_EQ(link.probe(target.slavePath().c_str()), 0);
}

TEST_F(SerialLinkTest, OpenCloseAndProbeCyclesLeakNoDescriptor) {
    linkComPort(5, target.slavePath());
    const int before = tervan::testing::openDescriptorCount();
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(link.probe("\\\\.\\COM5"), 0) << i;
        ASSERT_EQ(link.open("\\\\.\\COM5", 115200), 1) << i;
        ASSERT_NE(link.probe("\\\\.\\COM5"), 0) << i;
        ASSERT_EQ(link.close(), 1);
    }
    EXPECT_EQ(link.open(dir.file("missing").c_str(), 115200), 0);
    EXPECT_EQ(tervan::testing::openDescriptorCount(), before);
}

TEST_F(SerialLinkTest, TargetHangingUpMakesReadAndWriteFailWithoutWaiting) {
    ASSERT_EQ(link.open(target.slavePath().c_str(), 115200), 1);
    target.hangUp();

    // A thousand reads on a dead line: every one fails at once, none waits for its time-out.
    char byte = '?';
    for (int i = 0; i < 1000; ++i) {
        const LinkResult read = link.read(&byte, 1);
        ASSERT_EQ(read.count, 0u) << i;
        ASSERT_EQ(read.error, EIO) << i;
    }
    const LinkResult written = link.write("H", 1);
    EXPECT_EQ(written.count, 0u);
    EXPECT_EQ(written.error, EIO);
    EXPECT_EQ(clock.elapsed().count(), 0);

    // Closing a hung-up port is as harmless as ever.
    EXPECT_EQ(link.close(), 1);
    EXPECT_EQ(link.isOpen(), 0);
}

TEST_F(SerialLinkTest, TargetHangingUpDuringAReadEndsTheReadAtOnce) {
    // This clock lets the wait really block (up to the read's whole time-out) for the hang-up,
    // and keeps its own time still unless the time-out runs out.
    DrivenClock patient(std::chrono::seconds(10));
    SerialLink waiting(patient);
    ASSERT_EQ(waiting.open(target.slavePath().c_str(), 115200), 1);
    std::thread peer([this] {
        sleepMs(100);
        target.hangUp();
    });
    char byte = '?';
    const LinkResult result = waiting.read(&byte, 1);
    peer.join();
    EXPECT_EQ(result.count, 0u);
    EXPECT_EQ(result.error, EIO);
    EXPECT_EQ(patient.elapsed().count(), 0);  // ended by the hang-up, not by the time-out
}

// --- the COM names ---

TEST_F(SerialLinkTest, ComNamesResolveToThePortsFolderOrTheSystemPorts) {
    linkComPort(3, target.slavePath());
    EXPECT_EQ(os::resolveSerialPath("\\\\.\\COM3"), dir.file("ports/COM3"));
    EXPECT_EQ(os::resolveSerialPath("COM3"), dir.file("ports/COM3"));
    EXPECT_EQ(os::resolveSerialPath("\\\\.\\COM1"), "/dev/ttyS0");
    EXPECT_EQ(os::resolveSerialPath("\\\\.\\COM10"), "/dev/ttyS9");
    EXPECT_EQ(os::resolveSerialPath("com2"), "/dev/ttyS1");
    EXPECT_EQ(os::resolveSerialPath("\\\\.\\COM0"), "");
    EXPECT_EQ(os::resolveSerialPath("\\\\.\\COM-1"), "");
    EXPECT_EQ(os::resolveSerialPath("COM-7"), "");
    EXPECT_EQ(os::resolveSerialPath("\\\\.\\COM99999999999999999999999"), "");
    EXPECT_EQ(os::resolveSerialPath(nullptr), "");
    // Anything else is a path of its own.
    EXPECT_EQ(os::resolveSerialPath("/dev/ttyACM0"), "/dev/ttyACM0");
    EXPECT_EQ(os::resolveSerialPath("COM"), "COM");
    EXPECT_EQ(os::resolveSerialPath("COM1x"), "COM1x");
    EXPECT_EQ(os::resolveSerialPath("ports/COM3"), "ports/COM3");
}

TEST_F(SerialLinkTest, LinkOpensThroughAComName) {
    linkComPort(1, target.slavePath());
    ASSERT_EQ(link.open("\\\\.\\COM1", 115200), 1);
    ASSERT_TRUE(target.send("X"));
    ASSERT_TRUE(arrived(1));
    char byte = 0;
    EXPECT_EQ(link.read(&byte, 1).count, 1u);
    EXPECT_EQ(byte, 'X');
}

// --- the OS layer directly ---

TEST_F(SerialLinkTest, OsCallsOnTheInvalidHandleFailQuietly) {
    char byte = 0;
    for (const LinkResult& result : {os::serialRead(kInvalidHandle, &byte, 1, clock),
                                     os::serialWrite(kInvalidHandle, &byte, 1, clock)}) {
        EXPECT_EQ(result.count, 0u);
        EXPECT_EQ(result.error, EBADF);
    }
    EXPECT_FALSE(os::serialPurge(kInvalidHandle));
    EXPECT_FALSE(os::serialSetTimeouts(kInvalidHandle));
    os::SerialLineSettings settings;
    EXPECT_FALSE(os::serialGetLine(kInvalidHandle, &settings));
    EXPECT_FALSE(os::serialSetLine(kInvalidHandle, settings));
    os::serialClose(kInvalidHandle);
    os::serialClearErrors(kInvalidHandle);
}

TEST_F(SerialLinkTest, OsOpenReportsTheErrorAndNeverZeroOnFailure) {
    int error = 0;
    EXPECT_EQ(os::serialOpen(dir.file("missing").c_str(), &error), kInvalidHandle);
    EXPECT_EQ(error, kErrorNotFound);
    error = 0;
    EXPECT_EQ(os::serialOpen(dir.path().c_str(), &error), kInvalidHandle);  // a folder
    EXPECT_NE(error, 0);
    EXPECT_NE(error, kErrorNotFound);
    EXPECT_EQ(os::serialOpen(dir.file("missing").c_str(), nullptr), kInvalidHandle);
}

// Only a terminal is a serial port: a file (also behind a ports/COMn link), a FIFO or a device
// that is no terminal is refused before anything is written, and no link to it opens.
TEST_F(SerialLinkTest, WhatIsNoTerminalIsNeverOpenedAsAPort) {
    const std::string victim = dir.file("victim.bin");
    const std::string content = "firmware X and more";
    tervan::testing::writeFile(victim, content);
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    linkComPort(6, victim);
    for (const std::string& path :
         {victim, std::string("\\\\.\\COM6"), fifo, dir.path(), std::string("/dev/null")}) {
        EXPECT_EQ(os::serialPortCheck(path.c_str()), kErrorNotAPort) << path;
        EXPECT_EQ(link.open(path.c_str(), 115200), 0) << path;
        EXPECT_EQ(link.openError, kErrorNotAPort) << path;
        EXPECT_EQ(link.isOpen(), 0);
        EXPECT_EQ(link.write("H", 1).error, kErrorNotOpen);
        EXPECT_EQ(link.probe(path.c_str()), kErrorNotAPort) << path;
    }
    EXPECT_EQ(tervan::testing::readFile(victim), content);
    EXPECT_EQ(os::serialPortCheck(target.slavePath().c_str()), 0);
}

// A terminal that is the controlling terminal of a session is someone's shell (a stale
// ports/COMn link may lead to its number): refused before any setting changes or byte goes
// out, and the session's leader is named.
TEST_F(SerialLinkTest, ASessionsTerminalIsLeftAsItIs) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t shell = ::fork();
    if (shell == 0) {
        ::setsid();
        const int terminal = ::open(target.slavePath().c_str(), O_RDWR);
        ::ioctl(terminal, TIOCSCTTY, 0);
        ::write(ready[1], "r", 1);
        ::pause();
        ::_exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    termios before{};
    ASSERT_EQ(::tcgetattr(target.master(), &before), 0);
    ASSERT_NE(before.c_lflag & ECHO, 0u);
    linkComPort(7, target.slavePath());

    for (const char* path : {target.slavePath().c_str(), "\\\\.\\COM7"}) {
        EXPECT_EQ(os::serialPortCheck(path), kErrorSessionTerminal) << path;
        EXPECT_EQ(link.open(path, 115200), 0) << path;
        EXPECT_EQ(link.openError, kErrorSessionTerminal);
        EXPECT_EQ(link.probe(path), kErrorSessionTerminal);
    }
    struct stat info {};
    ASSERT_EQ(::stat(target.slavePath().c_str(), &info), 0);
    const auto session = os::posix::sessionOfTerminal(info.st_rdev);
    ASSERT_TRUE(session.has_value());
    EXPECT_EQ(session->leader, shell);

    termios after{};
    ASSERT_EQ(::tcgetattr(target.master(), &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(target.receive(100), "");
    ::kill(shell, SIGKILL);
    ::waitpid(shell, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST_F(SerialLinkTest, CloseRestoresTheLineSettingsTheOpenFound) {
    termios before{};
    ASSERT_EQ(::tcgetattr(target.master(), &before), 0);
    ASSERT_NE(before.c_lflag & ICANON, 0u);  // cooked and echoing, as a fresh terminal starts
    ASSERT_EQ(link.open(target.slavePath().c_str(), 115200), 1);
    termios during{};
    ASSERT_EQ(::tcgetattr(target.master(), &during), 0);
    ASSERT_EQ(during.c_lflag & (ICANON | ECHO), 0u);
    link.close();
    termios after{};
    ASSERT_EQ(::tcgetattr(target.master(), &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(::cfgetospeed(&after), ::cfgetospeed(&before));
    EXPECT_EQ(0, std::memcmp(after.c_cc, before.c_cc, sizeof before.c_cc));
}

TEST_F(SerialLinkTest, UnknownRateLeavesTheSpeedAsItWas) {
    ASSERT_EQ(link.open(target.slavePath().c_str(), 115200), 1);
    os::SerialLineSettings settings = link.lineSettings;
    settings.baudRate = 123456;
    EXPECT_TRUE(os::serialSetLine(link.handle, settings));
    termios line{};
    ASSERT_EQ(::tcgetattr(static_cast<int>(link.handle), &line), 0);
    EXPECT_EQ(::cfgetospeed(&line), static_cast<speed_t>(B115200));
    settings.baudRate = 9600;
    EXPECT_TRUE(os::serialSetLine(link.handle, settings));
    ASSERT_EQ(::tcgetattr(static_cast<int>(link.handle), &line), 0);
    EXPECT_EQ(::cfgetospeed(&line), static_cast<speed_t>(B9600));
}

TEST_F(SerialLinkTest, TimeLeftIsRoundedUpAndNeverNegative) {
    using os::posix::millisecondsLeft;
    clock.advance(std::chrono::seconds(5));
    EXPECT_EQ(millisecondsLeft(clock.now() - std::chrono::seconds(1), clock), 0);
    EXPECT_EQ(millisecondsLeft(clock.now(), clock), 0);
    EXPECT_EQ(millisecondsLeft(clock.now() + std::chrono::microseconds(10), clock), 1);
    EXPECT_EQ(millisecondsLeft(clock.now() + std::chrono::milliseconds(500), clock), 500);
}

// udev hands a device just plugged in to its group a moment after it appears: an open refused
// for permission asks again for about a second. Root may open anything, so the opens run in
// a child process as an ordinary user, on a device that user owns with every right taken away.
TEST_F(SerialLinkTest, RefusedPermissionIsAskedAgainForAboutASecond) {
    const std::string path = target.slavePath();
    constexpr uid_t kNobody = 65534;
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(path.c_str(), kNobody, kNobody), 0);
    }
    // Exit status of the child: 0 when both cases hold, otherwise the failed case.
    const auto openAsUser = [&](int grantAfterPauses) {
        const pid_t child = ::fork();
        if (child == 0) {
            if (root && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
                ::_exit(10);
            }
            ::chmod(path.c_str(), 0);
            // Driven time; the permission arrives after the given number of pauses.
            struct GrantingClock final : Clock {
                TimePoint now() override { return TimePoint(elapsed); }
                void sleepFor(Duration pause) override {
                    elapsed += pause;
                    if (++pauses == grantAfter) {
                        ::chmod(file.c_str(), 0600);
                    }
                }
                int wait(Duration limit, const PlatformWait& w) override { return w(limit); }
                Duration elapsed{0};
                int pauses = 0;
                int grantAfter = 0;
                std::string file;
            } grantingClock;
            grantingClock.grantAfter = grantAfterPauses;
            grantingClock.file = path;
            SerialLink user(grantingClock);
            const int opened = user.open(path.c_str(), 115200);
            const long long waited = grantingClock.elapsed.count();
            if (grantAfterPauses > 0) {
                ::_exit(opened == 1 && waited == 50LL * grantAfterPauses ? 0 : 1);
            }
            ::_exit(opened == 0 && user.openError == EACCES && waited >= 1000 && waited < 1100 ? 0
                                                                                               : 2);
        }
        int status = -1;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(openAsUser(5), 0) << "granted after five pauses";
    EXPECT_EQ(openAsUser(0), 0) << "never granted";
}

// An FTDI adapter holds each short answer for its latency timer: the open sets the timer to
// 1 ms and the close puts the old value back.
TEST_F(SerialLinkTest, AdapterLatencyTimerIsLoweredWhileOpenAndPutBack) {
    const std::string name = std::filesystem::path(target.slavePath()).filename();
    const std::string timer = dir.file("system/sys/class/tty/" + name + "/device/latency_timer");
    std::filesystem::create_directories(std::filesystem::path(timer).parent_path());
    const auto timerText = [&timer] {
        std::ifstream in(timer);
        std::string text;
        std::getline(in, text);
        return text;
    };
    std::ofstream(timer) << "16\n";
    setSystemRoot(dir.file("system"));

    EXPECT_EQ(os::adapterLatencyOf(target.slavePath().c_str()).timerMs, 16);
    ASSERT_EQ(link.open(target.slavePath().c_str(), 115200), 1);
    EXPECT_EQ(timerText(), "1");
    EXPECT_EQ(link.latency.timerMs, 1);
    EXPECT_EQ(link.latency.restoreMs, 16);
    link.close();
    EXPECT_EQ(timerText(), "16");

    // A timer already at 1 ms is left alone; an adapter without one has nothing to restore.
    std::ofstream(timer) << "1\n";
    ASSERT_EQ(link.open(target.slavePath().c_str(), 115200), 1);
    EXPECT_EQ(link.latency.restoreMs, -1);
    link.close();
    std::filesystem::remove(timer);
    ASSERT_EQ(link.open(target.slavePath().c_str(), 115200), 1);
    EXPECT_EQ(link.latency.timerMs, -1);
    link.close();
    setSystemRoot("");
}
