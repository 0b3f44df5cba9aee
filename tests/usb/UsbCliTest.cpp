// The real tervan-cli on the emulated USB bus: it runs beneath the same umockdev preload and
// test bed as this process, and downloads through libusb.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "usb/UsbBusFixture.h"

extern char** environ;

using namespace tervan;
using tervan::sim::EmulatedUsbDevice;
using tervan::testing::randomImage;

namespace {

struct Finished {
    int exit = -1;
    std::string out;
    std::string err;
};

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class UsbCliTest : public tervan::testing::UsbBusTest {
protected:
    std::string image(std::size_t size, unsigned seed) {
        const std::string path = dir.file("image-" + std::to_string(seed) + ".bin");
        const auto bytes = randomImage(size, seed);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    // Runs tervan-cli with --root at the test's folder; bounded, so a hang fails the test.
    Finished run(std::vector<std::string> arguments) {
        std::string program = TERVAN_CLI_PROGRAM;
        arguments.insert(arguments.begin(), {"--root", dir.path()});
        const std::string outPath = dir.file("stdout.txt");
        const std::string errPath = dir.file("stderr.txt");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        std::vector<char*> argv{program.data()};
        for (auto& a : arguments) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        Finished result;
        pid_t pid = -1;
        const int spawned =
            posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            ADD_FAILURE() << "cannot start " << program;
            return result;
        }
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                ADD_FAILURE() << "tervan-cli did not end";
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        result.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.out = readAll(outPath);
        result.err = readAll(errPath);
        return result;
    }
};

TEST_F(UsbCliTest, DownloadsAWholeImageOverTheBusAndNamesTheDeviceInTheReceipt) {
    sim::TargetSimulator& target = plug(2);
    const std::string path = image(256 * 1024, 31);
    const Finished done = run({"--usb-id", "03eb:6124", "--model", "256", "--quiet", "--receipt",
                               dir.file("receipts.jsonl"), path});
    ASSERT_EQ(done.exit, 0) << done.err;
    const auto expected = randomImage(256 * 1024, 31);
    EXPECT_EQ(target.flash(), expected);
    const std::string receipt = readAll(dir.file("receipts.jsonl"));
    EXPECT_NE(receipt.find("\"adapter\":\"03eb:6124\""), std::string::npos) << receipt;
    EXPECT_NE(receipt.find("\"adapter_serial\":\"EMU0002\""), std::string::npos) << receipt;
}

TEST_F(UsbCliTest, AllWritesEveryDeviceWithTheIdsAtOnce) {
    sim::TargetSimulator& first = plug(2);
    sim::TargetSimulator& second = plug(3);
    const std::string path = image(32 * 1024, 32);
    const Finished done =
        run({"--usb-id", "03eb:6124", "--all", "--model", "256", "--quiet", path});
    ASSERT_EQ(done.exit, 0) << done.err;
    const auto expected = randomImage(32 * 1024, 32);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), first.flash().begin()));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), second.flash().begin()));
}

TEST_F(UsbCliTest, ListPortsShowsTheCandidatesWithTheirIdsNamesAndAccess) {
    plug(2);
    plug(3, {}, [](EmulatedUsbDevice& d) { d.kernelDriver = "usbserial_generic"; });
    const Finished listed = run({"--list-ports"});
    ASSERT_EQ(listed.exit, 0) << listed.err;
    EXPECT_NE(listed.out.find("  1-2  03eb:6124  TERVAN test bench Emulated loader  serial "
                              "EMU0002  /dev/bus/usb/001/003  may open\n"),
              std::string::npos)
        << listed.out;
    EXPECT_NE(listed.out.find("serial EMU0003  /dev/bus/usb/001/004  may open  driver "
                              "usbserial_generic\n"),
              std::string::npos)
        << listed.out;
}

// A kernel driver that keeps the interface: the connect fails, and the reason names the
// driver and how to unbind it.
TEST_F(UsbCliTest, ADriverThatHoldsTheInterfaceIsNamedWithTheWayToUnbindIt) {
    plug(2, {}, [](EmulatedUsbDevice& d) {
        d.kernelDriver = "usbserial_generic";
        d.driverHoldsOn = true;
    });
    const Finished done = run({"--usb-id", "03eb:6124", "--quiet", image(1024, 33)});
    EXPECT_EQ(done.exit, 3);
    EXPECT_NE(done.err.find("the kernel driver usbserial_generic is bound to interface 1-2:1.0"),
              std::string::npos)
        << done.err;
    EXPECT_NE(done.err.find("/sys/bus/usb/drivers/usbserial_generic/unbind"), std::string::npos);
}

}  // namespace
