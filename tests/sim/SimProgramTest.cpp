#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "link/SystemPaths.h"
#include "sim/SimClient.h"
#include "sim/SimOptions.h"
#include "support/TempDir.h"

using namespace tervan;
using namespace tervan::testing;
using sim::SimConfig;

namespace {

bool parse(std::vector<std::string> args, sim::SimOptions& options, std::string& error) {
    options = {};
    return sim::parseSimOptions(args, options, error);
}

// Runs the program with `args`; returns its pid and a pipe from its standard output.
pid_t launch(const std::vector<std::string>& args, int& output) {
    int fds[2];
    if (::pipe(fds) != 0) {
        return -1;
    }
    const std::string program = executableDirectory() + "/tervan-target-sim";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::dup2(::open("/dev/null", O_WRONLY), STDERR_FILENO);
        ::close(fds[0]);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    output = fds[0];
    return pid;
}

int exitStatus(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Ends and reaps the program when a failed assertion leaves the test before it has done so.
class ProgramGuard {
public:
    explicit ProgramGuard(pid_t pid) : pid_(pid) {}
    ~ProgramGuard() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ProgramGuard(const ProgramGuard&) = delete;
    ProgramGuard& operator=(const ProgramGuard&) = delete;
    // The test has reaped the program itself.
    void release() { pid_ = -1; }

private:
    pid_t pid_;
};

}  // namespace

TEST(SimOptions, ValuesAndMistakes) {
    sim::SimOptions options;
    std::string error;
    ASSERT_TRUE(
        parse({"--usb", "--device=dev1", "--model", "64", "--force", "3:C,C,X", "--force", "7:-Q",
               "--no-ready", "--baud", "115200", "--no-reset-on-open", "--print-after-run", "hello",
               "--print-after-run=\\e[2J\\x07\\\\\\r\\n\\tx\\x7f", "--print-interval", "20"},
              options, error))
        << error;
    const SimConfig& c = options.config;
    EXPECT_EQ(c.transport, SimConfig::Transport::Usb);
    EXPECT_EQ(c.deviceName, "dev1");
    EXPECT_EQ(c.model, 1);
    EXPECT_EQ(c.forcedAnswers, (std::map<int, std::string>{{3, "CCX"}, {7, "-Q"}}));
    EXPECT_TRUE(c.neverReady);
    EXPECT_EQ(c.baudRate, 115200u);
    EXPECT_FALSE(c.resetOnOpen);
    EXPECT_TRUE(c.root.empty());  // the program fills in its own folder
    EXPECT_EQ(c.printAfterRun, (std::vector<std::string>{"hello", "\x1b[2J\a\\\r\n\tx\x7f"}));
    EXPECT_EQ(c.printIntervalMs, 20);

    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--com"},
                                                {"--com", "0"},
                                                {"--com", "2x"},
                                                {"--model", "512"},
                                                {"--force", "3"},
                                                {"--force", "x:C"},
                                                {"--force", "3:"},
                                                {"--noise", "-1"},
                                                {"--no-ready=1"},
                                                {"--print-after-run", "a\\"},
                                                {"--print-after-run", "\\x4"},
                                                {"--print-after-run", "\\x-1"},
                                                {"--print-after-run", "\\q"},
                                                {"--bogus"},
                                                {"COM1"}}) {
        EXPECT_FALSE(parse(bad, options, error)) << bad[0];
        EXPECT_FALSE(error.empty());
    }
}

TEST(SimOptions, ModelByItsChips) {
    const std::pair<const char*, int> cases[] = {
        {"256", 0}, {"128", 0}, {"0256", 0}, {"64", 1}, {"32", 1}};
    for (const auto& [size, model] : cases) {
        sim::SimOptions options;
        std::string error;
        ASSERT_TRUE(parse({"--model", size}, options, error)) << size << ": " << error;
        EXPECT_EQ(options.config.model, model) << size;
    }
    sim::SimOptions options;
    std::string error;
    EXPECT_FALSE(parse({"--model", "56"}, options, error));  // the tail of 256 is no chip
    EXPECT_EQ(error, "bad value for --model: 56 (256 or 64)");
}

TEST(SimProgram, RunsUntilTerminatedAndCleansUp) {
    TempDir dir;
    int output = -1;
    const pid_t pid = launch(
        {"--root", dir.path(), "--com", "4", "--model", "64", "--flash-out", dir.file("flash.bin")},
        output);
    ASSERT_GT(pid, 0);
    ProgramGuard guard(pid);
    std::FILE* lines = ::fdopen(output, "r");
    char line[512] = {};
    ASSERT_NE(std::fgets(line, sizeof line, lines), nullptr);
    EXPECT_EQ(std::string(line).rfind(
                  "serial target on COM4 (" + dir.file("ports/COM4") + " -> /dev/pts/", 0),
              0u)
        << line;
    EXPECT_NE(std::string(line).find("model SAM7S64/32"), std::string::npos);
    {
        SerialClient port(dir.file("ports/COM4"));
        ASSERT_TRUE(port.connect());
        EXPECT_EQ(sendImage(port, 1, kCommandWrite, makePattern(128)), 1u);
    }
    ::kill(pid, SIGTERM);
    EXPECT_EQ(exitStatus(pid), 0);
    guard.release();
    std::fclose(lines);
    EXPECT_FALSE(std::filesystem::exists(dir.file("ports")));
    const std::string flash = readFile(dir.file("flash.bin"));
    ASSERT_EQ(flash.size(), 65536u);
    const auto page = makePattern(128);
    EXPECT_TRUE(std::equal(page.begin(), page.end(), flash.begin()));

    const pid_t bad = launch({"--model", "7"}, output);
    EXPECT_EQ(exitStatus(bad), 2);
    ::close(output);
}
