// The real tervan-cli program against the virtual target: what arrives on the target, the
// exit status, and what the user and a driving program see. The program runs as a hard link
// (or copy) in a folder of the suite's own, so the settings file beside it is the test's.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "JsonLine.h"
#include "cli/CliRun.h"
#include "cli/Sha256.h"
#include "sim/TargetSimulator.h"
#include "support/HeldForWriting.h"
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
        for (auto& other : others) {
            other->stop();
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

    // A further board beside the first.
    sim::TargetSimulator& startAnother(const std::function<void(sim::SimConfig&)>& setUp) {
        sim::SimConfig config;
        setUp(config);
        config.root = dir.path();
        others.push_back(std::make_unique<sim::TargetSimulator>(config));
        std::string error;
        EXPECT_TRUE(others.back()->start(&error)) << error;
        return *others.back();
    }

    std::string image(std::size_t size, unsigned seed = 7) {
        const std::string path = dir.file("image-" + std::to_string(size) + ".bin");
        writeFile(path, randomBytes(size, seed));
        return path;
    }

    // Runs the program with --root at the test's folder; stdout and stderr go to files, so
    // neither is a terminal. `during` is called while it runs, with its process id and what it
    // has written to stdout so far, until it returns true.
    Finished run(std::vector<std::string> arguments, bool withRoot = true,
                 const std::function<bool(pid_t, const std::string&)>& during = {}) {
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
        bool duringDone = !during;
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (!duringDone) {
                duringDone = during(pid, readFile(outPath));
            }
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
    std::vector<std::unique_ptr<sim::TargetSimulator>> others;
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
    ASSERT_FALSE(lines.empty());
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
    // The port by a stable name, as udev's /dev/serial/by-id links give one.
    const std::string byId = dir.file("by-id/usb-Atmel_SAM7_Loader-if00");
    std::filesystem::create_directories(dir.file("by-id"));
    std::filesystem::create_symlink(t.portPath(), byId);
    const Finished r = run({"--port", byId, "--model", "64", "--ram", "--then", "run", path});
    EXPECT_EQ(r.exit, 0) << r.out << r.err;
    const auto ram = t.ram();
    const std::string bytes = readFile(path);
    ASSERT_EQ(ram.size(), bytes.size());
    EXPECT_TRUE(std::string(ram.begin(), ram.end()) == bytes);
    // The 'G' gets no answer over the serial line: the program may end before the target
    // has taken it in.
    ASSERT_TRUE(t.waitForFrames(65536u / 128 + 1, 2000));
    ASSERT_EQ(t.frames().size(), 65536u / 128 + 1);
    EXPECT_EQ(t.frames().back().command, 'G');
    ASSERT_FALSE(r.out.empty());
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
    ASSERT_FALSE(t.frames().empty());
    EXPECT_EQ(t.frames().back().command, 'R');
    EXPECT_NE(r.out.find("Added device 1"), std::string::npos);
}

TEST_F(CliProgramTest, BadUsageAndBadImagesEndBeforeConnecting) {
    // Nothing is listening: a run that went on to connect would take seconds and exit 3.
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::vector<std::string> arguments;
        std::string firstErrorLine;
    };
    const auto bad = [this](const std::string& name, const std::string& text) {
        writeFile(dir.file(name), text);
        return dir.file(name);
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
        {{"--port", "COM1", "--port", "com1", image(10)}, "tervan-cli: --port com1 is given twice"},
        {{"--repeat", "-1", image(10)},
         "tervan-cli: --repeat takes a number of boards (0: until Ctrl-C), not '-1'"},
        {{"--usb", "--port", "COM1", image(10)}, "tervan-cli: --usb and --port exclude each other"},
        {{"--receipt", dir.file("no-such-folder/receipts.jsonl"), image(10)},
         "tervan-cli: cannot write receipts to " + dir.file("no-such-folder/receipts.jsonl") +
             ": No such file or directory"},
        // A name that would clear the screen is shown, not obeyed.
        {{"--receipt", dir.file("no\x1b[2Jsuch/r.jsonl"), image(10)},
         "tervan-cli: cannot write receipts to " + dir.file("no\\x1b[2Jsuch/r.jsonl") +
             ": No such file or directory"},
        // A pipe nobody reads would hold the run up for ever; the trace would empty the image.
        {{"--receipt", fifo, image(10)},
         "tervan-cli: cannot write receipts to " + fifo +
             ": it is a pipe (FIFO); give a file, or a character device such as /dev/stdout"},
        {{"--trace", fifo, image(10)},
         "tervan-cli: cannot write the trace to " + fifo +
             ": it is a pipe (FIFO); give a file, or a character device such as /dev/stdout"},
        {{"--trace", image(10), image(10)},
         "tervan-cli: cannot write the trace to " + image(10) + ": it is the image"},
        {{"--receipt", dir.file("r.jsonl"), "--trace", dir.file("./r.jsonl"), image(10)},
         "tervan-cli: --receipt and --trace name the same file, " + dir.file("./r.jsonl")},
        {{"--monitor", image(10)},
         "tervan-cli: --monitor watches the board after --then run or --then reset"},
        {{"--usb", "--then", "reset", "--monitor", image(10)},
         "tervan-cli: --monitor watches a serial port; the USB pipes carry no output of the board"},
        {{"--ram", "--then", "run", "--monitor", "--repeat", "2", image(10)},
         "tervan-cli: --monitor watches one board per port: leave out --repeat"},
        {{"--ram", "--then", "run", "--monitor", "0", image(10)},
         "tervan-cli: --monitor takes a baud rate from 1 to 4000000, not '0'"},
        {{"--timestamps", image(10)}, "tervan-cli: --timestamps goes with --monitor"},
        // Files with addresses that give no image: nothing is sent of them.
        {{bad("sum.hex", ":0400000001020304F0\n")},
         "tervan-cli: " + dir.file("sum.hex") +
             ": line 1: bad checksum 0xF0 (the record needs 0xF2) in the data at 0x00000000"},
        {{bad("cut.srec", "S1130000")},
         "tervan-cli: " + dir.file("cut.srec") + ": line 1: truncated record at 0x00000000"},
        {{bad("cut.elf",
              "\x7f"
              "ELF garbage")},
         "tervan-cli: " + dir.file("cut.elf") +
             ": truncated ELF file: its header needs 52 bytes, the file has 12"},
        {{"--ram", bad("ram.hex", ":00000001FF\n")},
         "tervan-cli: " + dir.file("ram.hex") +
             ": a RAM image from hex needs a base address: "
             "the address of its first byte in RAM"},
        {{"--base", "0x200000", image(10)},
         "tervan-cli: --base goes with an image that carries addresses (a .hex, .srec or .elf, "
         "or --format)"},
        {{"--format", "ihex", image(10)},
         "tervan-cli: --format takes bin, hex, srec or elf, not 'ihex'"},
        {{"--ram", "--then", "run", "--monitor", "--log", fifo, image(10)},
         "tervan-cli: cannot write the log to " + fifo +
             ": it is a pipe (FIFO); give a file, or a character device such as /dev/stdout"},
    };
    for (const auto& c : cases) {
        const Finished r = run(c.arguments);
        EXPECT_EQ(r.exit, 2) << c.firstErrorLine;
        ASSERT_FALSE(r.err.empty()) << c.firstErrorLine;
        EXPECT_EQ(linesOf(r.err).front(), c.firstErrorLine);
        EXPECT_LT(r.seconds, 2.0) << c.firstErrorLine;
    }
    // The OS's reason for a missing image follows on a second line.
    const Finished missing = run({dir.file("missing.bin")});
    EXPECT_NE(missing.err.find("No such file or directory"), std::string::npos) << missing.err;
}

// The files a toolchain writes are read by their names: the same program as .elf, .hex and
// .srec lands in flash exactly as its .bin, and the first event and the receipt say where it
// went and what it came from. A RAM image from such a file goes by --base.
TEST_F(CliProgramTest, ToolchainImagesFlashTheSameBytesAsTheirBin) {
    const std::string images = std::string(TERVAN_SOURCE_DIR) + "/tests/app/images/";
    const std::string bin = readFile(images + "program.bin");
    struct Case {
        std::string file;
        std::vector<std::string> options;
        bool ram;
    };
    const std::vector<Case> cases = {
        {"program.elf", {}, false},
        {"program.hex", {}, false},
        {"program.srec", {}, false},
        // A name that says nothing, and the format given.
        {"program.srec", {"--format", "srec"}, false},
        {"program.hex", {"--ram", "--base", "0x00100000"}, true},
    };
    int com = 7;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        auto& t = startTarget([com](sim::SimConfig& config) { config.comNumber = com; });
        std::string path = images + c.file;
        if (c.options.size() == 2 && c.options[0] == "--format") {
            path = dir.file("program.out");
            writeFile(path, readFile(images + c.file));
        }
        const std::string receipts = dir.file("receipts-" + std::to_string(com) + ".jsonl");
        std::vector<std::string> arguments{"--port", "COM" + std::to_string(com++), "--json",
                                           "--receipt", receipts};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        arguments.push_back(path);
        const Finished r = run(arguments);
        EXPECT_EQ(r.exit, 0) << r.out << r.err;
        const auto memory = c.ram ? t.ram() : t.flash();
        ASSERT_GE(memory.size(), bin.size());
        EXPECT_EQ(std::string(memory.begin(), memory.begin() + bin.size()), bin);
        auto start = JsonLineReader::parse(linesOf(r.out).front());
        ASSERT_TRUE(start);
        EXPECT_EQ((*start)["event"], "start");
        EXPECT_EQ((*start)["format"], path.substr(path.rfind('.') + 1) == "out"
                                          ? "srec"
                                          : path.substr(path.rfind('.') + 1));
        EXPECT_EQ((*start)["base"], std::to_string(0x00100000));
        EXPECT_EQ((*start)["size"], std::to_string(bin.size()));
        EXPECT_EQ((*start)["fill"], "255");
        auto receipt = JsonLineReader::parse(readFile(receipts));
        ASSERT_TRUE(receipt);
        const auto bytes = [](const std::string& text) {
            return std::vector<std::uint8_t>(text.begin(), text.end());
        };
        EXPECT_EQ((*receipt)["sha256"], cli::sha256Hex(bytes(bin)));
        EXPECT_EQ((*receipt)["source_sha256"], cli::sha256Hex(bytes(readFile(path))));
    }
}

// A file that a process still holds open for writing is not final: the run waits for the
// writer a little, then refuses before any port is opened, naming the process.
TEST_F(CliProgramTest, AnImageStillBeingWrittenIsRefusedNamingTheWriter) {
    auto& t = startTarget([](sim::SimConfig& c) { c.comNumber = 4; });
    const std::string path = image(100000);
    tervan::testing::HeldForWriting writer(path);
    ASSERT_TRUE(writer.holding());
    const Finished r = run({"--json", "--port", "COM4", path});
    EXPECT_EQ(r.exit, 2) << r.out << r.err;
    auto result = JsonLineReader::parse(linesOf(r.out).back());
    ASSERT_TRUE(result) << r.out;
    EXPECT_EQ((*result)["code"], "image_being_written");
    const std::string named =
        path + " is still being written by process " + std::to_string(writer.pid()) + " (";
    EXPECT_EQ((*result)["reason"].rfind(named, 0), 0u) << (*result)["reason"];
    EXPECT_EQ(t.handshakeBytes(), 0);
    EXPECT_TRUE(t.frames().empty());
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

// What names no port, someone's shell, or one port twice ends before any port is opened, with
// status 2 and the reason; nothing is written anywhere, and the image is looked at before any
// port, so an image and a port named the wrong way round open neither.
TEST_F(CliProgramTest, PortsThatMustNotBeOpenedEndTheRunBeforeAnyIs) {
    auto& t = startTarget([](sim::SimConfig& c) { c.comNumber = 3; });
    auto& usb =
        startAnother([](sim::SimConfig& c) { c.transport = sim::SimConfig::Transport::Usb; });
    const std::string victim = dir.file("victim.bin");
    writeFile(victim, "X marks the spot");
    fs::create_symlink(victim, dir.file("ports/COM6"));
    // A shell's terminal: a pseudo-terminal that a child made its session's controlling one.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master) | ::unlockpt(master), 0);
    const std::string shellTerminal = ::ptsname(master);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t shell = ::fork();
    if (shell == 0) {
        ::setsid();
        ::ioctl(::open(shellTerminal.c_str(), O_RDWR), TIOCSCTTY, 0);
        ::write(ready[1], "r", 1);
        ::pause();
        ::_exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);

    struct Case {
        std::vector<std::string> arguments;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {{"--port", victim}, victim + " is not a serial port but a regular file"},
        {{"--port", "COM6"},
         "COM6 (" + dir.file("ports/COM6") + ") is not a serial port but a regular file"},
        {{"--port", shellTerminal},
         shellTerminal + " is the terminal of process " + std::to_string(shell) + " ("},
        {{"--port", "COM3", "--port", t.slavePath()},
         "COM3 and " + t.slavePath() + " name the same port; give each once"},
        {{"--usb", "--device", "target0", "--device", usb.devicePath()},
         "target0 and " + usb.devicePath() + " name the same USB device; give each once"},
        {{"--port", "COM3", t.slavePath()}, "Could not load rom file!"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments = c.arguments;
        if (c.reason != "Could not load rom file!") {
            arguments.push_back(image(300));
        }
        const Finished r = run(arguments);
        EXPECT_EQ(r.exit, 2) << c.reason << "\n" << r.err;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
    }
    EXPECT_EQ(readFile(victim), "X marks the spot");
    EXPECT_FALSE(t.waitUntil([](const sim::SimCounters& n) { return n.portOpens > 0; }, 200));
    EXPECT_TRUE(usb.frames().empty());
    char got[64];
    EXPECT_LT(::read(master, got, sizeof got), 1) << "nothing reached the shell's terminal";
    ::kill(shell, SIGKILL);
    ::waitpid(shell, nullptr, 0);
    ::close(master);
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST_F(CliProgramTest, TargetThatNeverAnswersTimesOut) {
    startTarget([](sim::SimConfig& c) {
        c.comNumber = 1;
        c.neverReady = true;
    });
    const Finished r = run({"--port", "COM1", image(300)});
    EXPECT_EQ(r.exit, 3);
    ASSERT_FALSE(r.err.empty());
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
    ASSERT_FALSE(r.out.empty());
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

// The program started by 'G' prints on the port the download used: the monitor reads its
// lines back whole, a control byte escaped, with timestamps, into the log and as events.
TEST_F(CliProgramTest, MonitorShowsWhatTheStartedProgramPrints) {
    startTarget([](sim::SimConfig& c) {
        c.comNumber = 4;
        c.printAfterRun = {"hello board", "clear\x1b[2J\x07", "last"};
        c.printIntervalMs = 50;
    });
    const std::string log = dir.file("board.log");
    const Finished r = run({"--port", "COM4", "--ram", "--then", "run", "--monitor",
                            "--monitor-seconds", "1", "--timestamps", "--log", log, image(300)});
    EXPECT_EQ(r.exit, 0) << r.out << r.err;
    std::vector<std::string> shown;
    for (const std::string& line : linesOf(r.out)) {
        if (!line.empty() && line[0] == '[') {
            ASSERT_EQ(line.substr(0, 1) + line.substr(6, 1) + line.substr(10, 2), "[.] ") << line;
            shown.push_back(line.substr(12));
        }
    }
    EXPECT_EQ(shown, (std::vector<std::string>{"hello board", "clear\\x1b[2J\\x07", "last"}));
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(linesOf(readFile(log)).size(), 3u);
    EXPECT_NE(readFile(log).find("] hello board\n"), std::string::npos);
    EXPECT_NE(r.err.find("monitor ended (time)"), std::string::npos) << r.err;

    // A log that fills up is a failure of the run, not an "ok".
    const Finished json =
        run({"--json", "--port", "COM4", "--ram", "--then", "run", "--monitor", "115200",
             "--monitor-seconds", "1", "--log", "/dev/full", image(300)});
    EXPECT_EQ(json.exit, 1) << json.out << json.err;
    EXPECT_NE(json.out.find("\"code\":\"monitor_failed\""), std::string::npos) << json.out;
    std::vector<std::string> kinds;
    std::vector<std::string> texts;
    for (const auto& line : linesOf(json.out)) {
        const auto event = JsonLineReader::parse(line);
        ASSERT_TRUE(event) << line;
        auto e = *event;
        if (e["event"] == "monitor_start" || e["event"] == "monitor_end" ||
            e["event"] == "output") {
            kinds.push_back(e["event"]);
            EXPECT_EQ(e["port"], "COM4");
        }
        if (e["event"] == "output") {
            texts.push_back(e["text"]);
            EXPECT_GT(std::stod(e["seconds"]), 0.0);
        }
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"monitor_start", "output", "output", "output",
                                               "monitor_end"}));
    EXPECT_EQ(texts, (std::vector<std::string>{"hello board", "clear\\x1b[2J\\x07", "last"}));
}

// A USB-serial adapter unplugged and plugged in again: the port's line hangs up and its name
// leads to a new device a moment later. The monitor says the gap, opens the port again and
// shows what the board sends then.
TEST_F(CliProgramTest, MonitorOpensAPortThatCameBackAndSaysTheGap) {
    startTarget([](sim::SimConfig& c) {
        c.comNumber = 5;
        c.printAfterRun = {"before"};
        c.printIntervalMs = 20;
    });
    const std::string link = target->portPath();
    int master = -1;
    const Finished r = run({"--json", "--port", "COM5", "--ram", "--then", "run", "--monitor",
                            "--monitor-seconds", "4", image(300)},
                           true, [&](pid_t, const std::string& out) {
                               if (master < 0 && out.find("\"before\"") != std::string::npos) {
                                   target->stop();  // the line hangs up
                                   master = ::posix_openpt(O_RDWR | O_NOCTTY);
                                   EXPECT_GE(master, 0);
                                   ::grantpt(master);
                                   ::unlockpt(master);
                                   std::error_code ignored;
                                   fs::remove(link, ignored);
                                   fs::create_directories(fs::path(link).parent_path());
                                   fs::create_symlink(::ptsname(master), link);
                               }
                               if (master >= 0 && out.find("\"port_back\"") != std::string::npos) {
                                   EXPECT_EQ(::write(master, "after\r\n", 7), 7);
                                   return true;
                               }
                               return false;
                           });
    if (master >= 0) {
        ::close(master);
    }
    EXPECT_EQ(r.exit, 0) << r.out << r.err;
    std::vector<std::string> seen;
    for (const auto& line : linesOf(r.out)) {
        auto event = JsonLineReader::parse(line);
        ASSERT_TRUE(event) << line;
        const std::string kind = (*event)["event"];
        if (kind == "output") {
            seen.push_back((*event)["text"]);
        } else if (kind == "port_gone" || kind == "port_back") {
            seen.push_back(kind);
        }
        if (kind == "port_back") {
            EXPECT_GT(std::stod((*event)["gap"]), 0.0);
        }
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"before", "port_gone", "port_back", "after"}));
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
    ASSERT_FALSE(t.frames().empty());
    EXPECT_EQ(t.frames().front().command, 'M');
    EXPECT_EQ(t.frames().size(), 700u / 128 + 1 + 1);

    struct stat after {};
    ::stat(settingsPath.c_str(), &after);
    EXPECT_EQ(readFile(settingsPath), stored);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_ino, before.st_ino);  // not replaced by a rewritten copy either
    fs::remove(settingsPath);
}

namespace {

std::vector<tervan::testing::JsonMembers> eventsOf(const std::string& out) {
    std::vector<tervan::testing::JsonMembers> events;
    for (const auto& line : linesOf(out)) {
        const auto event = JsonLineReader::parse(line);
        EXPECT_TRUE(event) << "not one JSON object: " << line;
        if (event) {
            events.push_back(*event);
        }
    }
    return events;
}

}  // namespace

TEST_F(CliProgramTest, TwoBoardsAtOnceOneRejectingAPage) {
    // The failing board first: the run's status is the worst board's, not the last one's.
    auto& bad = startTarget([](sim::SimConfig& c) {
        c.comNumber = 1;
        c.forcedAnswers = {{3, "O"}};
    });
    auto& good = startAnother([](sim::SimConfig& c) { c.comNumber = 2; });
    // Not a whole number of pages: the digest is over the image, not the padded pages.
    const std::string path = image(4000);
    const std::string receipts = dir.file("receipts.jsonl");
    const std::string trace = dir.file("trace.txt");
    const Finished r = run({"--json", "--port", "COM1", "--port", "COM2", "--receipt", receipts,
                            "--trace", trace, path});
    EXPECT_EQ(r.exit, 1) << r.out << r.err;
    const auto flash = good.flash();
    EXPECT_EQ(std::string(flash.begin(), flash.begin() + 4000), readFile(path));
    EXPECT_EQ(bad.frames().size(), 4u);  // nothing after its rejected frame
    EXPECT_EQ(r.err, "COM1: Verify error!\n");

    // The stream: start, the boards' events each under its port, a result per board, the run's.
    auto events = eventsOf(r.out);
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events.front()["event"], "start");
    EXPECT_EQ(events.front()["schema"], "1");
    EXPECT_EQ(events.front()["ports"], "[\"COM1\",\"COM2\"]");
    std::map<std::string, tervan::testing::JsonMembers> results;
    for (std::size_t i = 1; i + 1 < events.size(); ++i) {
        EXPECT_TRUE(events[i]["port"] == "COM1" || events[i]["port"] == "COM2") << i;
        if (events[i]["event"] == "result") {
            results[events[i]["port"]] = events[i];
        }
    }
    EXPECT_EQ(results["COM2"]["ok"], "true");
    // 16 frames of 261 bytes and 16 answers, ten bits a byte at 115200 baud.
    EXPECT_EQ(results["COM2"]["wire_seconds"], "0.364");
    EXPECT_EQ(results["COM1"]["code"], "verify_error");
    EXPECT_EQ(results["COM1"]["text"], "Verify error!");
    EXPECT_EQ(results["COM1"]["frame"], "3");
    auto& last = events.back();
    EXPECT_EQ(last["event"], "result");
    EXPECT_EQ(last.count("port"), 0u);
    EXPECT_EQ(last["exit"], "1");
    EXPECT_EQ(last["code"], "verify_error");
    EXPECT_EQ(last["written"], "1");
    EXPECT_EQ(last["failed"], "1");

    // A receipt for each board, the failure included, naming the image by its digest.
    std::map<std::string, tervan::testing::JsonMembers> receipt;
    for (const auto& line : linesOf(readFile(receipts))) {
        auto parsed = JsonLineReader::parse(line);
        ASSERT_TRUE(parsed) << line;
        receipt[(*parsed)["port"]] = *parsed;
    }
    ASSERT_EQ(receipt.size(), 2u);
    const std::string bytes = readFile(path);
    const std::string digest =
        cli::sha256Hex({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
    for (auto& [port, line] : receipt) {
        EXPECT_EQ(line["sha256"], digest) << port;
        EXPECT_EQ(line["size"], "4000") << port;
        EXPECT_EQ(line["padded"], "4096") << port;
    }
    EXPECT_EQ(receipt["COM2"]["all_x"], "true");
    EXPECT_EQ(receipt["COM2"]["pages_sent"], "16");
    EXPECT_EQ(receipt["COM1"]["ok"], "false");
    EXPECT_EQ(receipt["COM1"]["exit"], "1");
    EXPECT_EQ(receipt["COM1"]["first_rejection"],
              "{\"frame\":3,\"answer\":79,\"code\":\"verify_error\"}");

    // The trace holds both lines' bytes, the rejection among them, and only its owner may read
    // it: it holds the whole image.
    const std::string traced = readFile(trace);
    EXPECT_NE(traced.find(" COM2 out "), std::string::npos);
    EXPECT_NE(traced.find(" COM1 in 4f\n"), std::string::npos);
    EXPECT_EQ(fs::status(trace).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(CliProgramTest, EveryUsbDeviceAtOnceWithAll) {
    std::vector<sim::TargetSimulator*> boards{
        &startTarget([](sim::SimConfig& c) { c.transport = sim::SimConfig::Transport::Usb; })};
    boards.push_back(&startAnother([](sim::SimConfig& c) {
        c.transport = sim::SimConfig::Transport::Usb;
        c.deviceName = "target1";
    }));
    const std::string path = image(3000);
    const Finished r = run({"--usb", "--all", "--then", "reset", path});
    EXPECT_EQ(r.exit, 0) << r.out << r.err;
    for (auto* board : boards) {
        const auto flash = board->flash();
        EXPECT_EQ(std::string(flash.begin(), flash.begin() + 3000), readFile(path));
        ASSERT_FALSE(board->frames().empty());
        EXPECT_EQ(board->frames().back().command, 'R');
    }
    // Lines name their board; the summary closes the output.
    const auto lines = linesOf(r.out);
    const auto summary = std::find(lines.begin(), lines.end(), "Boards: 2 written, 0 failed");
    ASSERT_NE(summary, lines.end()) << r.out;
    EXPECT_EQ(lines.end() - summary, 3);
    for (auto line = lines.begin(); line != summary; ++line) {
        EXPECT_TRUE(line->rfind("target0: ", 0) == 0 || line->rfind("target1: ", 0) == 0) << *line;
    }
}

TEST_F(CliProgramTest, BoardAfterBoardOnOnePort) {
    auto& t = startTarget([](sim::SimConfig& c) { c.comNumber = 3; });
    const std::string path = image(1000);  // four pages
    // Each reset brings the loader back, as the next board would.
    const Finished three = run({"--port", "COM3", "--repeat", "3", "--then", "reset", path});
    EXPECT_EQ(three.exit, 0) << three.out << three.err;
    ASSERT_TRUE(t.waitForFrames(3 * 5, 2000));
    const auto frames = t.frames();
    EXPECT_EQ(std::count_if(frames.begin(), frames.end(),
                            [](const sim::FrameRecord& f) { return f.command == 'W'; }),
              12);
    const auto lines = linesOf(three.out);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[lines.size() - 4], "Boards: 3 written, 0 failed");
    EXPECT_EQ(lines.back().rfind("  COM3 board 3: written, 1000 bytes, ", 0), 0u) << lines.back();

    // Without a reset the next board never announces itself: --wait gives up on it.
    const Finished two = run({"--port", "COM3", "--repeat", "2", "--wait", "1", path});
    EXPECT_EQ(two.exit, 3) << two.out << two.err;
    EXPECT_NE(two.out.find("Boards: 1 written, 1 failed"), std::string::npos) << two.out;
    ASSERT_FALSE(two.err.empty());
    EXPECT_EQ(linesOf(two.err).front(), "Timeout. No Answer from device!");
}

TEST_F(CliProgramTest, CtrlCSigtermAndSighupStopTheRunWithStatus130) {
    startTarget([](sim::SimConfig& c) { c.comNumber = 4; });
    for (const auto& [signal, name] :
         {std::pair{SIGINT, "Ctrl-C"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}}) {
        SCOPED_TRACE(name);
        const std::string receipts = dir.file(std::string("receipts-") + name + ".jsonl");
        // Board after board until the signal, which comes while it waits for the second board.
        const Finished r =
            run({"--json", "--port", "COM4", "--repeat", "0", "--receipt", receipts, image(600)},
                true, [signal = signal](pid_t pid, const std::string& out) {
                    if (out.find("\"event\":\"result\"") == std::string::npos) {
                        return false;
                    }
                    ::kill(pid, signal);
                    return true;
                });
        EXPECT_EQ(r.exit, 130) << r.out << r.err;
        EXPECT_EQ(r.err,
                  std::string("tervan-cli: stopped by ") + name + "; every port is closed\n");
        auto events = eventsOf(r.out);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back()["event"], "result");
        EXPECT_EQ(events.back()["exit"], "130");
        EXPECT_EQ(events.back()["written"], "1");
        EXPECT_EQ(events.back()["code"], "interrupted");
        EXPECT_EQ(linesOf(readFile(receipts)).size(), 1u);
    }
}

// Every failure in the event stream carries a code, the stream opens with the start event,
// and a receipt or trace that cannot be written fails the run.
TEST_F(CliProgramTest, EveryFailureEventCarriesACode) {
    startTarget([](sim::SimConfig& c) { c.comNumber = 2; });
    tervan::testing::linkMissingPort(dir.path(), 9);
    const struct {
        std::vector<std::string> arguments;
        int exit;
        std::string code;
    } cases[] = {
        {{"--then", "run", image(300)}, 2, "bad_usage"},
        {{"--link", "COM3", dir.file("no-such-device")}, 2, "bad_usage"},
        {{"--port", "COM2", "--receipt", "/dev/full", image(300)}, 1, "receipt_failed"},
        {{"--port", "COM2", "--trace", "/dev/full", image(300)}, 1, "trace_failed"},
        {{"--port", "COM2", "--port", "COM9", "--receipt", "/dev/full", image(300)},
         3,
         "port_missing"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments{"--json"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const Finished r = run(arguments);
        SCOPED_TRACE(r.out + r.err);
        EXPECT_EQ(r.exit, c.exit);
        auto events = eventsOf(r.out);
        if (events.size() < 2) {
            ADD_FAILURE() << "no start and result";
            continue;
        }
        EXPECT_EQ(events.front()["event"], "start");
        for (auto& event : events) {
            if (event["ok"] == "false" || event["event"] == "fault") {
                EXPECT_FALSE(event["code"].empty()) << event["event"];
            }
        }
        EXPECT_EQ(events.back()["event"], "result");
        EXPECT_EQ(events.back()["code"], c.code);
    }
}

// The README's table of codes is the program's: none missing, none that the program lacks.
TEST(CliCodesTest, TheReadmeListsEveryCode) {
    std::ifstream readme(TERVAN_SOURCE_DIR "/README.md");
    ASSERT_TRUE(readme) << "README.md";
    std::set<std::string> documented;
    bool inTable = false;
    for (std::string line; std::getline(readme, line);) {
        if (line.rfind("| code |", 0) == 0) {
            inTable = true;
        } else if (inTable && line.rfind("| `", 0) == 0) {
            documented.insert(line.substr(3, line.find('`', 3) - 3));
        } else if (inTable && line.rfind("|", 0) != 0) {
            break;
        }
    }
    const auto codes = cli::failureCodes();
    EXPECT_EQ(documented, std::set<std::string>(codes.begin(), codes.end()));
}
