// tervan-bench-boards: tervan-cli writing one 256 KiB image to N boards at once, N = 1, 2, 4, 8,
// each a virtual target paced at 115200 baud. For each N: the wall time of the whole run, each
// board's line efficiency (the ideal wire time of its bytes against the time its transfer
// took, as the program's own result reports it) and the program's CPU time per board, as a
// share of one core over the run. Nothing here fails; it only reports.
//
// Usage: tervan-bench-boards [N...]   (default: 1 2 4 8)
#include <fcntl.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "link/SystemPaths.h"
#include "sim/TargetSimulator.h"

extern char** environ;

namespace {

using namespace tervan;
namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

constexpr std::size_t kImageSize = 262144;

// The number after "key": in a JSON line, or -1.
double member(const std::string& line, const std::string& key) {
    const std::string marker = "\"" + key + "\":";
    const auto at = line.find(marker);
    return at == std::string::npos ? -1 : std::stod(line.substr(at + marker.size()));
}

struct Row {
    int boards = 0;
    int exit = -1;
    double wall = 0;
    double cpu = 0;  // user and system seconds of the program
    std::vector<double> efficiency;
};

Row runBoards(int boards, const std::string& root, const std::string& image) {
    Row row;
    row.boards = boards;
    std::vector<std::unique_ptr<sim::TargetSimulator>> targets;
    for (int n = 1; n <= boards; ++n) {
        sim::SimConfig config;
        config.root = root;
        config.comNumber = n;
        config.baudRate = 115200;
        targets.push_back(std::make_unique<sim::TargetSimulator>(config));
        std::string error;
        if (!targets.back()->start(&error)) {
            std::fprintf(stderr, "tervan-bench-boards: %s\n", error.c_str());
            return row;
        }
    }
    std::vector<std::string> arguments{executableDirectory() + "/tervan-cli", "--json", "--root",
                                       root};
    for (int n = 1; n <= boards; ++n) {
        arguments.push_back("--port");
        arguments.push_back("COM" + std::to_string(n));
    }
    arguments.push_back(image);
    const std::string outPath = root + "/out.jsonl";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (auto& a : arguments) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const auto started = SteadyClock::now();
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        std::fprintf(stderr, "tervan-bench-boards: cannot start %s\n", argv[0]);
        return row;
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    row.wall = std::chrono::duration<double>(SteadyClock::now() - started).count();
    row.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    row.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream out(outPath);
    for (std::string line; std::getline(out, line);) {
        if (line.find("\"event\":\"result\"") != std::string::npos &&
            line.find("\"wire_ratio\":") != std::string::npos) {
            row.efficiency.push_back(member(line, "wire_ratio"));
        }
    }
    for (auto& target : targets) {
        target->stop();
    }
    return row;
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one;
    std::string five;
    in >> one >> five;
    return one + " " + five;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> counts;
    for (int i = 1; i < argc; ++i) {
        counts.push_back(std::atoi(argv[i]));
    }
    if (counts.empty()) {
        counts = {1, 2, 4, 8};
    }
    // As in tervan-bench-wire: the targets keep the line's time to the microsecond.
    ::prctl(PR_SET_TIMERSLACK, 1UL);
    const fs::path root =
        fs::temp_directory_path() / ("tervan-bench-boards-" + std::to_string(::getpid()));
    fs::create_directories(root);
    const std::string image = (root / "image.bin").string();
    {
        std::mt19937 generator(1);
        std::string bytes(kImageSize, '\0');
        for (auto& b : bytes) {
            b = static_cast<char>(generator() & 0xFF);
        }
        std::ofstream(image, std::ios::binary) << bytes;
    }
    std::printf("machine: %u CPUs (nproc); load average %s at the start\n",
                std::thread::hardware_concurrency(), loadAverage().c_str());
    std::printf(
        "\n| boards | wall | line efficiency, each board | tool CPU per board | exit |\n"
        "|---|---|---|---|---|\n");
    for (const int boards : counts) {
        const Row row = runBoards(boards, root.string(), image);
        std::string efficiency;
        for (const double e : row.efficiency) {
            char buffer[16];
            std::snprintf(buffer, sizeof buffer, "%s%.3f", efficiency.empty() ? "" : " ", e);
            efficiency += buffer;
        }
        const double share = row.wall > 0 ? row.cpu / boards / row.wall : 0;
        std::printf("| %d | %.2f s | %s | %.2f %% of a core (%.3f s) | %d |\n", boards, row.wall,
                    efficiency.c_str(), share * 100, row.cpu / boards, row.exit);
        std::fflush(stdout);
    }
    std::printf("load average %s at the end\n", loadAverage().c_str());
    std::error_code ignored;
    fs::remove_all(root, ignored);
    return 0;
}
