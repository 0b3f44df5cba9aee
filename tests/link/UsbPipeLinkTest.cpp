// UsbPipeLink over real FIFO pairs: the test holds the device's ends of PIPE00 and PIPE01.
// The link's time-outs run on a driven clock; one test measures the real one.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "LinkTestSupport.h"
#include "link/PipeFile.h"
#include "link/SystemPaths.h"
#include "link/UsbPipeLink.h"
#include "support/DeviceRootTest.h"
#include "support/DrivenClock.h"
#include "support/TempDir.h"

using namespace tervan;
using tervan::testing::DeviceRootTest;
using tervan::testing::DrivenClock;
using tervan::testing::FifoDevice;
using tervan::testing::millisecondsSince;
using tervan::testing::openDescriptorCount;
using tervan::testing::sleepMs;
using tervan::testing::usbClassFolder;

namespace {

class UsbPipeLinkTest : public DeviceRootTest {
protected:
    void SetUp() override {
        device.attach();
        ASSERT_GE(device.fromHost(), 0);
        ASSERT_GE(device.toHost(), 0);
    }

    // Bytes the device has sent and the host has not read yet.
    int pendingForHost() {
        int pending = -1;
        ::ioctl(device.toHost(), FIONREAD, &pending);
        return pending;
    }

    FifoDevice device{usbClassFolder(dir.path()) + "/target-1"};
    // Only looks at the pipes: a time-out passes at once and shows in clock.elapsed().
    DrivenClock clock;
    UsbPipeLink link{clock};
    // Lets a wait really block (up to the whole time-out) for a device that answers bit by
    // bit, and keeps its own time still unless a time-out runs out.
    DrivenClock patient{std::chrono::seconds(10)};
};

}  // namespace

TEST_F(UsbPipeLinkTest, ConstructionHoldsNothing) {
    EXPECT_EQ(link.readPipe, kInvalidHandle);
    EXPECT_EQ(link.writePipe, kInvalidHandle);
}

TEST_F(UsbPipeLinkTest, OpenWriteAndReadAgainstTheDevice) {
    ASSERT_EQ(link.open(device.path().c_str()), LINK_OK);
    EXPECT_NE(link.readPipe, kInvalidHandle);
    EXPECT_NE(link.writePipe, kInvalidHandle);

    const LinkResult written = link.write("frame", 5);
    EXPECT_EQ(written.count, 5u);
    EXPECT_EQ(linkStatusOf(written), LINK_OK);
    EXPECT_EQ(device.receive(), "frame");

    ASSERT_TRUE(device.send("X"));
    char byte = 0;
    const LinkResult read = link.read(&byte, 1);
    EXPECT_EQ(read.count, 1u);
    EXPECT_EQ(linkStatusOf(read), LINK_OK);
    EXPECT_EQ(byte, 'X');

    EXPECT_EQ(link.close(), LINK_OK);
    EXPECT_EQ(link.readPipe, kInvalidHandle);
    EXPECT_EQ(link.writePipe, kInvalidHandle);
}

TEST_F(UsbPipeLinkTest, DevicePathWithBackslashesReachesTheSameFolder) {
    // The driver's names are joined with backslashes; here they become '/'.
    std::string windowsStyle = device.path();
    for (auto& c : windowsStyle) {
        if (c == '/') {
            c = '\\';
        }
    }
    ASSERT_EQ(link.open(windowsStyle.c_str()), LINK_OK);
    EXPECT_EQ(link.write("W", 1).count, 1u);
    EXPECT_EQ(device.receive(), "W");
}

TEST_F(UsbPipeLinkTest, ReadTakesWhatIsThereUpToTheLengthAndFillsInSeveralReads) {
    UsbPipeLink waiting(patient);
    ASSERT_EQ(waiting.open(device.path().c_str()), LINK_OK);
    ASSERT_TRUE(device.send("abc"));
    char one = 0;
    EXPECT_EQ(waiting.read(&one, 1).error, 0);
    EXPECT_EQ(one, 'a');
    EXPECT_EQ(pendingForHost(), 2);
    char two[2] = {};
    EXPECT_EQ(waiting.read(two, 2).error, 0);
    EXPECT_EQ(std::string(two, 2), "bc");

    // Three bytes arriving one by one still make one successful three-byte read.
    std::thread peer([this] {
        for (const char c : std::string("xyz")) {
            sleepMs(50);
            device.send(std::string(1, c));
        }
    });
    char three[3] = {};
    const LinkResult result = waiting.read(three, 3);
    peer.join();
    EXPECT_EQ(result.count, 3u);
    EXPECT_EQ(result.error, 0);
    EXPECT_EQ(std::string(three, 3), "xyz");
    EXPECT_EQ(patient.elapsed().count(), 0);
}

TEST_F(UsbPipeLinkTest, FiveShortReadsGiveAnIoErrorWithFiveBytesInTheBuffer) {
    UsbPipeLink waiting(patient);
    ASSERT_EQ(waiting.open(device.path().c_str()), LINK_OK);
    // The device sends one byte at a time, the next only once the host has taken the last, so
    // every platform read brings exactly one byte.
    std::thread peer([this] {
        for (int i = 0; i < 6; ++i) {
            for (int wait = 0; wait < 400 && pendingForHost() != 0; ++wait) {
                sleepMs(5);
            }
            sleepMs(20);
            device.send(std::string(1, static_cast<char>('1' + i)));
        }
    });
    char buffer[7];
    std::memset(buffer, '.', sizeof buffer);
    const LinkResult result = waiting.read(buffer, 6);
    peer.join();
    EXPECT_EQ(result.error, kErrorTimedOut);
    EXPECT_EQ(linkStatusOf(result), LINK_IO_ERROR);
    EXPECT_EQ(result.count, 5u);
    EXPECT_EQ(std::string(buffer, 7), "12345..");
    EXPECT_EQ(patient.elapsed().count(), 0);  // five quick reads, no time-out involved
    // The sixth byte was never read.
    EXPECT_EQ(pendingForHost(), 1);
}

TEST_F(UsbPipeLinkTest, SilentDeviceMakesAReadFailAfterAboutOneSecond) {
    UsbPipeLink timed;  // on the steady clock
    ASSERT_EQ(timed.open(device.path().c_str()), LINK_OK);
    char byte = '?';
    const auto start = std::chrono::steady_clock::now();
    const LinkResult result = timed.read(&byte, 1);
    const auto elapsed = millisecondsSince(start);
    EXPECT_EQ(result.count, 0u);
    EXPECT_EQ(result.error, kErrorTimedOut);
    EXPECT_EQ(linkStatusOf(result), LINK_IO_ERROR);
    EXPECT_EQ(byte, '?');
    EXPECT_GE(elapsed, 990);
    EXPECT_LE(elapsed, 2500);
}

TEST_F(UsbPipeLinkTest, ReadOnANeverOpenedLinkIsNotOpenEvenWithoutABuffer) {
    char byte = 0;
    for (const LinkResult& result :
         {link.read(nullptr, 1), link.read(nullptr, 0), link.read(&byte, 1), link.write("H", 1),
          link.write(nullptr, 1)}) {
        EXPECT_EQ(result.count, 0u);
        EXPECT_EQ(result.error, kErrorNotOpen);
        EXPECT_EQ(linkStatusOf(result), LINK_NOT_OPEN);
    }
}

TEST_F(UsbPipeLinkTest, MissingBufferOrZeroLengthIsABadArgument) {
    ASSERT_EQ(link.open(device.path().c_str()), LINK_OK);
    char byte = 0;
    for (const LinkResult& result :
         {link.read(&byte, 0), link.read(nullptr, 1), link.write(nullptr, 1)}) {
        EXPECT_EQ(result.count, 0u);
        EXPECT_EQ(result.error, kErrorBadArgument);
        EXPECT_EQ(linkStatusOf(result), LINK_BAD_ARGUMENT);
    }
    // A zero-length write is passed on and accepted.
    const LinkResult empty = link.write("H", 0);
    EXPECT_EQ(empty.error, 0);
    EXPECT_EQ(empty.count, 0u);
}

TEST_F(UsbPipeLinkTest, CloseOnAClosedLinkIsHarmless) {
    EXPECT_EQ(link.close(), LINK_OK);
    EXPECT_EQ(link.close(), LINK_OK);
    EXPECT_EQ(link.readPipe, kInvalidHandle);
    EXPECT_EQ(link.writePipe, kInvalidHandle);
}

TEST_F(UsbPipeLinkTest, MissingReadPipeLeavesBothHandlesInvalid) {
    FifoDevice halfDevice(usbClassFolder(dir.path()) + "/half", /*withReadPipe=*/false);
    halfDevice.attach();  // PIPE00 has a reader, so it alone would open
    const int before = openDescriptorCount();
    const LinkStatus status = link.open(halfDevice.path().c_str());
    EXPECT_NE(status, LINK_OK);
    EXPECT_EQ(status, ENOENT);
    EXPECT_EQ(link.readPipe, kInvalidHandle);
    EXPECT_EQ(link.writePipe, kInvalidHandle);
    EXPECT_EQ(openDescriptorCount(), before);  // the write pipe was closed again
}

TEST_F(UsbPipeLinkTest, NoReaderOnTheWritePipeFailsAtOnce) {
    device.detach();  // the pipe files stay, nobody is on the device's side
    const int before = openDescriptorCount();
    const auto start = std::chrono::steady_clock::now();
    const LinkStatus status = link.open(device.path().c_str());
    EXPECT_LT(millisecondsSince(start), 500);
    EXPECT_NE(status, LINK_OK);
    EXPECT_EQ(status, ENXIO);
    EXPECT_EQ(link.readPipe, kInvalidHandle);
    EXPECT_EQ(link.writePipe, kInvalidHandle);
    EXPECT_EQ(openDescriptorCount(), before);
}

// The driver's pipes are FIFOs or devices: a regular file in a pipe's place is never opened
// for the link, so nothing is ever written into it.
TEST_F(UsbPipeLinkTest, RegularFilesInThePipesPlaceAreRefused) {
    for (const char* pipe : {"PIPE00", "PIPE01"}) {
        FifoDevice fake(usbClassFolder(dir.path()) + "/fake-" + pipe);
        fake.attach();
        const std::string file = fake.path() + "/" + pipe;
        std::filesystem::remove(file);
        tervan::testing::writeFile(file, "data");
        EXPECT_EQ(os::pipeFileCheck(file.c_str()), kErrorNotAPort);
        EXPECT_NE(link.open(fake.path().c_str()), LINK_OK) << pipe;
        EXPECT_EQ(link.writePipe, kInvalidHandle);
        EXPECT_EQ(link.write("frame", 5).error, kErrorNotOpen);
        EXPECT_EQ(tervan::testing::readFile(file), "data");
    }
    EXPECT_EQ(os::pipeFileCheck((device.path() + "/PIPE00").c_str()), 0);
}

TEST_F(UsbPipeLinkTest, MissingDeviceFolderFails) {
    EXPECT_EQ(link.open((usbClassFolder(dir.path()) + "/gone").c_str()), ENOENT);
    EXPECT_EQ(link.readPipe, kInvalidHandle);
    EXPECT_EQ(link.writePipe, kInvalidHandle);
    EXPECT_NE(link.open(nullptr), LINK_OK);
    EXPECT_NE(link.open(""), LINK_OK);
}

TEST_F(UsbPipeLinkTest, FailedOpenAfterAGoodOneLeavesNothingHeld) {
    ASSERT_EQ(link.open(device.path().c_str()), LINK_OK);
    const int held = openDescriptorCount();
    EXPECT_NE(link.open((usbClassFolder(dir.path()) + "/gone").c_str()), LINK_OK);
    EXPECT_EQ(link.readPipe, kInvalidHandle);
    EXPECT_EQ(link.writePipe, kInvalidHandle);
    EXPECT_EQ(openDescriptorCount(), held - 2);
}

TEST_F(UsbPipeLinkTest, DevicePathTooLongForThePipeNamesIsRefusedNotCut) {
    // Build a real device whose pipe names would need exactly 260 characters (one too many),
    // and one a character shorter that just fits.
    const std::string base = usbClassFolder(dir.path()) + "/";
    auto padded = [&](std::size_t length) {
        std::string path = base;
        path.append(length - path.size(), 'd');
        return path;
    };
    const std::string fits = padded(kDevicePathSize - 1 - 7);  // 252 characters
    const std::string tooLong = padded(kDevicePathSize - 7);   // 253 characters
    ASSERT_LT(base.size(), fits.size());
    FifoDevice fitting(fits);
    fitting.attach();
    FifoDevice overlong(tooLong);
    overlong.attach();
    ASSERT_GE(overlong.fromHost(), 0);

    EXPECT_EQ(link.open(fits.c_str()), LINK_OK);
    const LinkStatus status = link.open(tooLong.c_str());
    EXPECT_NE(status, LINK_OK);
    EXPECT_EQ(status, ENAMETOOLONG);
    EXPECT_EQ(link.readPipe, kInvalidHandle);
    EXPECT_EQ(link.writePipe, kInvalidHandle);
    // Nothing is held: the link cannot write anywhere.
    EXPECT_EQ(link.write("H", 1).error, kErrorNotOpen);
}

TEST_F(UsbPipeLinkTest, ThousandOpenCloseCyclesLeakNoDescriptor) {
    const int before = openDescriptorCount();
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(link.open(device.path().c_str()), LINK_OK) << i;
        ASSERT_EQ(link.close(), LINK_OK);
    }
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST_F(UsbPipeLinkTest, ThousandOpensWithoutCloseLeakNoDescriptor) {
    const int before = openDescriptorCount();
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(link.open(device.path().c_str()), LINK_OK) << i;
    }
    EXPECT_EQ(openDescriptorCount(), before + 2);  // just the one pair held
    // The pair held last works.
    EXPECT_EQ(link.write("H", 1).count, 1u);
    EXPECT_EQ(device.receive(), "H");
    link.close();
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST_F(UsbPipeLinkTest, DestroyingALinkClosesItsPipes) {
    const int before = openDescriptorCount();
    {
        UsbPipeLink scoped;
        ASSERT_EQ(scoped.open(device.path().c_str()), LINK_OK);
        EXPECT_EQ(openDescriptorCount(), before + 2);
    }
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST_F(UsbPipeLinkTest, WriteAfterTheDeviceWentAwayFailsWithoutEndingTheProcess) {
    ASSERT_EQ(link.open(device.path().c_str()), LINK_OK);
    device.detach();  // the reader of PIPE00 is gone: the next write meets EPIPE
    const LinkResult written = link.write("frame", 5);
    EXPECT_EQ(written.count, 0u);
    EXPECT_EQ(written.error, EPIPE);
    EXPECT_EQ(linkStatusOf(written), LINK_IO_ERROR);
    // The read pipe stays quiet: a read fails after its time-out, it does not hang.
    char byte = 0;
    const LinkResult read = link.read(&byte, 1);
    EXPECT_EQ(read.error, kErrorTimedOut);
    EXPECT_EQ(linkStatusOf(read), LINK_IO_ERROR);
    EXPECT_EQ(clock.elapsed().count(), 1000);
}

TEST_F(UsbPipeLinkTest, OsPipeCallsOnTheInvalidHandleFailQuietly) {
    char byte = 0;
    for (const LinkResult& result : {os::pipeRead(kInvalidHandle, &byte, 1, clock),
                                     os::pipeWrite(kInvalidHandle, &byte, 1, clock)}) {
        EXPECT_EQ(result.count, 0u);
        EXPECT_EQ(result.error, EBADF);
    }
    os::pipeClose(kInvalidHandle);
    int error = 0;
    EXPECT_EQ(os::pipeOpen(dir.file("none").c_str(), os::PipeSide::Read, &error), kInvalidHandle);
    EXPECT_EQ(error, ENOENT);
    error = 0;
    EXPECT_EQ(os::pipeOpen(nullptr, os::PipeSide::Write, &error), kInvalidHandle);
    EXPECT_NE(error, 0);
}
