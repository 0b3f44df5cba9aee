// The real tervan-cli program against the virtual target: what arrives on the target, the
// exit status, and what the user and a driving program see. The program runs as a hard link
// (or copy) in a folder of the suite's own, so the settings file beside it is the test's.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

#include "JsonLine.h"
#include "sim/TargetSimulator.h"
#include "support/TempDir.h"

extern char** environ;

using namespace tervan;
using tervan::testing::JsonLineReader;
using tervan::testing::readFile;
using tervan::testing::TempDir;
using tervan::testing::writeFile;
namespace fs = std::filesystem;

namespace {

struct Finished {
    int exit = -1;
    std::string out;
    std::string err;
    double seconds = 0;
};

std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& b : bytes) {
        b = static_cast<char>(generator() & 0xFF);
    }
    return bytes;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class CliProgramTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        programDir = new TempDir;
        program = programDir->file("tervan-cli");
        std::error_code error;
        fs::create_hard_link(TERVAN_CLI_PROGRAM, program, error);
        if (error) {
            fs::copy_file(TERVAN_CLI_PROGRAM, program, error);
        }
    }
    static void TearDownTestSuite() {
        delete programDir;
        programDir = nullptr;
    }

    void TearDown() override {
        if (target) {
            target->stop();
        }
        // No run may leave a settings file of its own beside the program.
        if (!storedSettings) {
            EXPECT_FALSE(fs::exists(programDir->file("tervan.ini")));
        }
    }

    sim::TargetSimulator& startTarget(const std::function<void(sim::SimConfig&)>& setUp) {
        sim::SimConfig config;
        setUp(config);
        config.root = dir.path();
        target = std::make_unique<sim::TargetSimulator>(config);
        std::string error;
        EXPECT_TRUE(target->start(&error)) << error;
        return *target;
    }

    std::string image(std::size_t size, unsigned seed = 7) {
        const std::string path = dir.file("image-" + std::to_string(size) + ".bin");
        writeFile(path, randomBytes(size, seed));
        return path;
    }

    // Runs the program with --root at the test's folder; stdout and stderr go to files, so
    // neither is a terminal.
    Finished run(std::vector<std::string> arguments, bool withRoot = true) {
        if (withRoot) {
            arguments.insert(arguments.begin(), {"--root", dir.path()});
        }
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
        const auto started = std::chrono::steady_clock::now();
        pid_t pid = -1;
        Finished result;
        if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            ADD_FAILURE() << "cannot start " << program;
            return result;
        }
        posix_spawn_file_actions_destroy(&actions);
        // Bounded: a hanging program fails the test instead of hanging the suite.
        int status = 0;
        const auto deadline = started + std::chrono::seconds(60);
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                ADD_FAILURE() << "tervan-cli did not end";
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        result.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        result.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.out = readFile(outPath);
        result.err = readFile(errPath);
        return result;
    }

    static inline TempDir* programDir = nullptr;
    static inline std::string program;
    TempDir dir;
    std::unique_ptr<sim::TargetSimulator> target;
    bool storedSettings = false;
};

}  // namespace

TEST_F(CliProgramTest, SerialDownloadOfAFullImageArrivesByteExact) {
    auto& t = startTarget([](sim::SimConfig& c) { c.comNumber = 3; });
    const std::string bytes = randomBytes(262144, 1);
    writeFile(dir.file("full.bin"), bytes);

    const Finished r = run({"--port", "COM3", dir.file("full.bin")});
    EXPECT_EQ(r.exit, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    const auto flash = t.flash();
    ASSERT_EQ(flash.size(), 262144u);
    EXPECT_TRUE(std::string(flash.begin(), flash.end()) == bytes);
    EXPECT_EQ(t.frames().size(), 1024u);
    // Not a terminal: one line per status text and a progress line every 10 %.
    const auto lines = linesOf(r.out);
    EXPECT_EQ(lines.front(), "Press reset on target! 5 Seconds left!");
    EXPECT_EQ(lines.back(), "Write successfull!");
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(),
                      [](const std::string& l) { return l.find("% (") != std::string::npos; }),
        10);
}

TEST_F(CliProgramTest, RamDownloadThenRunOnTheSmallModel) {
    auto& t = startTarget([](sim::SimConfig& c) {
        c.model = 1;
        c.comNumber = 2;
    });
    const std::string path = image(65536);  // exactly the RAM limit
    const Finished r = run({"--port", "com2", "--model", "64", "--ram", "--then", "run", path});
    EXPECT_EQ(r.exit, 0) << r.out << r.err;
    const auto ram = t.ram();
    const std::string bytes = readFile(path);
    ASSERT_EQ(ram.size(), bytes.size());
    EXPECT_TRUE(std::string(ram.begin(), ram.end()) == bytes);
    // The 'G' gets no answer over the serial line: the program may end before the target
    // has taken it in.
    ASSERT_TRUE(t.waitForFrames(65536u / 128 + 1, 2000));
    EXPECT_EQ(t.frames().size(), 65536u / 128 + 1);
    EXPECT_EQ(t.frames().back().command, 'G');
    EXPECT_EQ(linesOf(r.out).back(), "Disconnected");
}

TEST_F(CliProgramTest, UsbDownloadWithResetAfterwards) {
    auto& t = startTarget([](sim::SimConfig& c) { c.transport = sim::SimConfig::Transport::Usb; });
    const std::string path = image(1000);  // a partial last page
    const Finished r = run({"--usb", "--then", "reset", path});
    EXPECT_EQ(r.exit, 0) << r.out << r.err;
    const auto flash = t.flash();
    EXPECT_EQ(std::string(flash.begin(), flash.begin() + 1000), readFile(path));
    EXPECT_EQ(flash[1000], 0);  // the rest of the last page is padded with zeros
    EXPECT_EQ(t.frames().back().command, 'R');
    EXPECT_NE(r.out.find("Added device 1"), std::string::npos);
}

TEST_F(CliProgramTest, BadUsageAndBadImagesEndBeforeConnecting) {
    // Nothing is listening: a run that went on to connect would take seconds and exit 3.
    struct Case {
        std::vector<std::string> arguments;
        std::string firstErrorLine;
    };
    const std::vector<Case> cases = {
        {{"--frobnicate", image(10)}, "tervan-cli: unknown option '--frobnicate'"},
        {{"--port"}, "tervan-cli: option '--port' needs a value"},
        {{"--port", "COM0", image(10)},
         "tervan-cli: --port takes COM1 ... COM256 or a device "
         "path such as /dev/ttyUSB0, not 'COM0'"},
        {{"--then", "run", "--rom", image(10)},
         "tervan-cli: --then run starts a program in RAM: add --ram"},
        {{dir.file("missing.bin")}, "Could not load rom file!"},
        {{dir.path()}, "Could not load rom file!"},
        {{image(262145)}, "File size is larger than 256KB !"},
        {{image(0)}, "Nothing to download!"},
        {{"--ram", image(65537)}, "File to big!"},
        {{"--model", "64", image(65537)}, "File to big!"},
    };
    for (const auto& c : cases) {
        const Finished r = run(c.arguments);
        EXPECT_EQ(r.exit, 2) << c.firstErrorLine;
        EXPECT_EQ(linesOf(r.err).front(), c.firstErrorLine);
        EXPECT_LT(r.seconds, 2.0) << c.firstErrorLine;
    }
    // The OS's reason for a missing image follows on a second line.
    const Finished missing = run({dir.file("missing.bin")});
    EXPECT_NE(missing.err.find("No such file or directory"), std::string::npos) << missing.err;
}

TEST_F(CliProgramTest, UnusablePortsExitThreeWithTheReason) {
    tervan::testing::linkMissingPort(dir.path(), 7);
    const Finished missing = run({"--port", "COM7", image(300)});
    EXPECT_EQ(missing.exit, 3);
    const auto lines = linesOf(missing.err);
    ASSERT_EQ(lines.size(), 2u) << missing.err;
    EXPECT_EQ(lines[0], "COM port not available!");
    EXPECT_NE(lines[1].find("no such device"), std::string::npos);
    EXPECT_NE(lines[1].find("--list-ports"), std::string::npos);

    // Another program holds the port.
    auto& t = startTarget([](sim::SimConfig& c) { c.comNumber = 4; });
    const int holder = ::open(t.portPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    const Finished busy = run({"--port", t.portPath(), image(300)});
    ::close(holder);
    EXPECT_EQ(busy.exit, 3);
    // The holder is named: this test program.
    std::string name;
    std::getline(std::ifstream("/proc/self/comm"), name);
    EXPECT_NE(busy.err.find("busy: held by process " + std::to_string(::getpid()) + " (" + name +
                            "); close that program"),
              std::string::npos)
        << busy.err;
}

TEST_F(CliProgramTest, TargetThatNeverAnswersTimesOut) {
    startTarget([](sim::SimConfig& c) {
        c.comNumber = 1;
        c.neverReady = true;
    });
    const Finished r = run({"--port", "COM1", image(300)});
    EXPECT_EQ(r.exit, 3);
    EXPECT_EQ(linesOf(r.err).front(), "Timeout. No Answer from device!");
    const auto lines = linesOf(r.out);
    ASSERT_EQ(lines.size(), 6u) << r.out;
    EXPECT_EQ(lines[4], "Press reset on target! 1 Seconds left!");
    EXPECT_GT(r.seconds, 4.5);
}

TEST_F(CliProgramTest, RejectedFrameExitsOneAndStopsTheDownload) {
    auto& t = startTarget([](sim::SimConfig& c) {
        c.comNumber = 5;
        c.forcedAnswers = {{3, "O"}};
    });
    const Finished r = run({"--port", "COM5", image(4096)});
    EXPECT_EQ(r.exit, 1);
    EXPECT_EQ(r.err, "Verify error!\n");
    EXPECT_EQ(linesOf(r.out).back(), "Error while flashing");
    EXPECT_EQ(t.frames().size(), 4u);  // nothing after the rejected frame
}

TEST_F(CliProgramTest, JsonEventsParseLineByLine) {
    startTarget([](sim::SimConfig& c) {
        c.comNumber = 6;
        c.forcedAnswers = {{2, "C"}};
    });
    const Finished r = run({"--json", "--port", "COM6", image(1024)});
    EXPECT_EQ(r.exit, 1);
    std::vector<tervan::testing::JsonMembers> events;
    for (const auto& line : linesOf(r.out)) {
        const auto event = JsonLineReader::parse(line);
        ASSERT_TRUE(event) << "not one JSON object: " << line;
        events.push_back(*event);
    }
    ASSERT_GE(events.size(), 7u);
    // The stream opens with its version, then the window's own events.
    EXPECT_EQ(events[0]["event"], "start");
    EXPECT_EQ(events[0]["schema"], "1");
    EXPECT_EQ(events[1]["event"], "status");
    EXPECT_EQ(events[1]["port"], "COM6");
    EXPECT_EQ(events[1]["text"], "Press reset on target! 5 Seconds left!");
    const auto find = [&events](const std::string& kind) {
        return std::find_if(events.begin(), events.end(),
                            [&kind](auto& e) { return e["event"] == kind; });
    };
    const auto progress = find("progress");
    ASSERT_NE(progress, events.end());
    EXPECT_EQ((*progress)["bytes"], "256");
    EXPECT_EQ((*progress)["range"], "4");
    const auto message = find("message");
    ASSERT_NE(message, events.end());
    EXPECT_EQ((*message)["text"], "CRC error!");
    EXPECT_EQ(events.back()["event"], "result");
    EXPECT_EQ(events.back()["ok"], "false");
    EXPECT_EQ(events.back()["exit"], "1");
    EXPECT_EQ(events.back()["outcome"], "crc-error");
    EXPECT_EQ(events.back()["code"], "crc_error");
    EXPECT_EQ(events.back()["text"], "CRC error!");
    EXPECT_EQ(events.back()["frame"], "2");
    EXPECT_EQ(events.back()["answer"], "67");
}

TEST_F(CliProgramTest, StoredSettingsAreUsedButNeverWritten) {
    storedSettings = true;
    const std::string settingsPath = programDir->file("tervan.ini");
    // Serial, the small model, COM8, RAM.
    const std::string stored =
        "[setup]\ninterface=1\nmodel=1\ncom=7\ntarget=1\nfile=/elsewhere.bin\n";
    writeFile(settingsPath, stored);
    struct stat before {};
    ::stat(settingsPath.c_str(), &before);

    auto& t = startTarget([](sim::SimConfig& c) {
        c.model = 1;
        c.comNumber = 8;
    });
    const Finished r = run({"--then", "run", image(700)});
    EXPECT_EQ(r.exit, 0) << r.out << r.err;
    ASSERT_TRUE(t.waitForFrames(700u / 128 + 1 + 1, 2000));  // the unanswered 'G' too
    EXPECT_EQ(t.frames().front().command, 'M');
    EXPECT_EQ(t.frames().size(), 700u / 128 + 1 + 1);

    struct stat after {};
    ::stat(settingsPath.c_str(), &after);
    EXPECT_EQ(readFile(settingsPath), stored);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_ino, before.st_ino);  // not replaced by a rewritten copy either
    fs::remove(settingsPath);
}
