// tervan-bench-wire: the tool measured against the virtual target. Each figure comes from one
// run of this program; nothing here fails, it only reports.
//
//   efficiency  a 256 KiB flash download with the target paced at 115200 baud, against the
//               time the bytes alone need on the line (with and without a page-write delay)
//   host        the same download unpaced over a pseudo-terminal, over the USB pipes and over
//               the USB link on the bus (libusb, to the target on an emulated bus, measured
//               in a copy of this program run beneath umockdev's preload): time per frame for
//               the whole tool
//   reaction    from the loader's 'X' to the tool's 'H', over 100 connects
//   startup     tervan-cli --help: wall time and peak memory
//
// Usage: tervan-bench-wire [efficiency] [host] [reaction] [startup] [--default-slack]
//        (default: all four)
#include <fcntl.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/ImageRead.h"
#include "cli/BoardView.h"
#include "link/SystemPaths.h"
#include "link/UsbTarget.h"
#include "protocol/BoardRun.h"
#include "sim/TargetSimulator.h"
#ifdef TERVAN_HAVE_USB_BUS
#include "sim/UsbBus.h"
#endif

extern char** environ;

namespace {

using namespace tervan;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr std::uint32_t kImageSize = 262144;
constexpr double kLineRate = 115200.0;
constexpr double kBitsPerByte = 10.0;

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double percentile(std::vector<double> values, double share) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1));
    return values[index];
}

double threadCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// A folder below /tmp for one measurement, removed afterwards.
class Scratch {
public:
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "tervan-bench-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::string path;
};

std::string writeImage(const std::string& folder, std::uint32_t size) {
    std::mt19937 generator(2024);
    std::string bytes(size, '\0');
    for (auto& b : bytes) {
        b = static_cast<char>(generator() & 0xFF);
    }
    const std::string path = folder + "/image.bin";
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

// The command line's view of a board, also noting when each page was accepted and how much
// CPU time the tool's thread had used by then.
class TimedView : public cli::BoardView {
public:
    using BoardView::BoardView;
    void progress(std::int16_t position) override {
        BoardView::progress(position);
        pageTimes.push_back(Clock::now());
        pageCpu.push_back(threadCpuSeconds());
    }
    std::vector<Clock::time_point> pageTimes;
    std::vector<double> pageCpu;
};

// The tool as tervan-cli runs a board: a session reporting to the terminal's view, here
// without output or writing JSON lines to /dev/null, and the image read for each download.
struct Tool {
    Tool(const std::string& root, cli::RenderMode mode)
        : sink(std::fopen("/dev/null", "w")), view(mode, sink, sink) {
        setDeviceRoot(root);
        session_ = std::make_unique<TargetSession>(view);
        view.watch(&session_->lastTransfer());
    }
    ~Tool() {
        session_->serialLink.close();
        session_->detachUsbDevice();
        std::fclose(sink);
        setDeviceRoot("");
    }
    void choose(bool usb, const std::string& image) {
        SessionOptions chosen = session().options();
        chosen.interfaceKind = usb ? 0 : 1;
        chosen.targetModel = 0;
        chosen.targetMemory = 0;
        chosen.comPortPath = "\\\\.\\COM1";
        session().configure(chosen);
        imagePath = image;
    }
    bool connect() { return session().connectTarget().ok(); }
    void download() {
        std::vector<std::uint8_t> bytes(kMaxImageSize);
        const ImageRead read = readImage(imagePath, session().clock(), bytes.data());
        bytes.resize(read.length);
        BoardRun(session()).download(kCommandWrite, bytes);
    }
    TargetSession& session() { return *session_; }

    std::FILE* sink;
    TimedView view;
    std::unique_ptr<TargetSession> session_;
    std::string imagePath;
};

std::unique_ptr<sim::TargetSimulator> makeTarget(
    const std::string& root, const std::function<void(sim::SimConfig&)>& setUp) {
    sim::SimConfig config;
    config.root = root;
    config.comNumber = 1;
    setUp(config);
    auto target = std::make_unique<sim::TargetSimulator>(config);
    std::string error;
    if (!target->start(&error)) {
        std::fprintf(stderr, "virtual target: %s\n", error.c_str());
        return nullptr;
    }
    return target;
}

bool flashHolds(const sim::TargetSimulator& target, const std::string& imagePath) {
    std::ifstream in(imagePath, std::ios::binary);
    const std::string image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const auto flash = target.flash();
    return flash.size() >= image.size() &&
           std::equal(image.begin(), image.end(), flash.begin(),
                      [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
}

std::vector<std::string> summary;

void addSummary(const std::string& row) {
    summary.push_back(row);
}

std::string format(const char* pattern, double a, double b = 0, double c = 0, double d = 0) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, pattern, a, b, c, d);
    return buffer;
}

// ---- 1. line efficiency -----------------------------------------------------------------

void lineEfficiency(int pageDelayMs) {
    Scratch scratch;
    const std::string image = writeImage(scratch.path, kImageSize);
    auto target = makeTarget(scratch.path, [pageDelayMs](sim::SimConfig& c) {
        c.baudRate = static_cast<std::uint32_t>(kLineRate);
        c.pageWriteDelayMs = pageDelayMs;
    });
    if (!target) {
        return;
    }
    Tool tool(scratch.path, cli::RenderMode::Quiet);
    tool.choose(false, image);
    if (!tool.connect()) {
        std::printf("efficiency: no connection (%s)\n", tool.session().statusText.c_str());
        return;
    }
    tool.view.pageTimes.clear();
    const auto started = Clock::now();
    tool.download();
    const double measured = seconds(Clock::now() - started);
    const bool ok = tool.session().statusText == "Write successfull!" && flashHolds(*target, image);

    // Where the time above the wire goes, frame by frame, from the target's own records:
    // the target seeing the whole frame later than its last byte's paced arrival, the
    // target's answer leaving later than one byte time after that, and the tool's turn (from
    // the answer leaving to the next frame's first byte arriving, less that byte's time).
    const auto records = target->frames();
    const auto sent = target->sentBytes();
    const auto byteTime = std::chrono::nanoseconds(static_cast<long long>(1e10 / kLineRate));
    const auto pageDelay = std::chrono::milliseconds(pageDelayMs);
    std::vector<double> frameLate;
    std::vector<double> answerLate;
    std::vector<double> toolTurn;
    std::vector<double> toolWakes;            // answer leaving -> the tool has taken it
    std::vector<double> toolSends;            // the tool has taken it -> the next frame arrives
    const auto& pages = tool.view.pageTimes;  // [0] the start position, [k + 1] frame k
    std::size_t s = 0;
    for (std::size_t k = 0; k + 1 < records.size(); ++k) {
        while (s < sent.size() && sent[s].at < records[k].receivedAt) {
            ++s;
        }
        if (s == sent.size()) {
            break;
        }
        const auto lastByte = records[k].startedAt + 260 * byteTime;
        frameLate.push_back(micros(records[k].receivedAt - lastByte));
        answerLate.push_back(micros(sent[s].at - (records[k].receivedAt + byteTime + pageDelay)));
        toolTurn.push_back(micros(records[k + 1].startedAt - byteTime - sent[s].at));
        if (k + 1 < pages.size()) {
            toolWakes.push_back(micros(pages[k + 1] - sent[s].at));
            toolSends.push_back(micros(records[k + 1].startedAt - byteTime - pages[k + 1]));
        }
    }

    const double frames = kImageSize / 256.0;
    const double wire = (frames * 261 + frames) * kBitsPerByte / kLineRate;
    const double ideal = wire + frames * pageDelayMs / 1000.0;
    const double share = ideal / measured;
    // The virtual target's own lateness is no part of the tool or the wire: a loader driven by
    // its UART answers on time. Taken out, what remains above the ideal is the tool and the OS.
    double targetLate = 0;
    for (std::size_t k = 0; k < frameLate.size(); ++k) {
        targetLate += std::max(0.0, frameLate[k]) + std::max(0.0, answerLate[k]);
    }
    targetLate *= 1e-6;
    const double toolShare = ideal / (measured - targetLate);
    std::printf(
        "efficiency: 256 KiB to flash at 115200 baud, page write %d ms: %.3f s, ideal %.3f s, "
        "ideal/measured %.4f%s\n",
        pageDelayMs, measured, ideal, share, ok ? "" : "  (DOWNLOAD FAILED)");
    std::printf(
        "efficiency: %.0f us a frame above the wire: the target sees the frame %.0f us late and "
        "its answer leaves %.0f us late; the tool's turn takes %.0f us (medians)\n",
        (measured - ideal) / frames * 1e6, percentile(frameLate, 0.5), percentile(answerLate, 0.5),
        percentile(toolTurn, 0.5));
    std::printf(
        "efficiency: of the tool's turn, %.0f us pass until the tool has the answer and %.0f us "
        "from there until the target has the next frame's first byte (medians)\n",
        percentile(toolWakes, 0.5), percentile(toolSends, 0.5));
    const auto stalls =
        std::count_if(toolTurn.begin(), toolTurn.end(), [](double us) { return us > 1000; });
    std::printf("efficiency: tool's turn p99 %.0f us, %ld of %zu turns over 1 ms\n",
                percentile(toolTurn, 0.99), static_cast<long>(stalls), toolTurn.size());
    std::printf(
        "efficiency: the target's own lateness adds %.3f s; without it ideal/measured "
        "is %.4f\n",
        targetLate, toolShare);
    char row[256];
    std::snprintf(row, sizeof row,
                  "| line efficiency, page write %d ms | %.3f s (ideal %.3f s): **%.4f**; "
                  "without the target's own lateness %.4f | %s |",
                  pageDelayMs, measured, ideal, share, toolShare,
                  share >= 0.99 ? "met (>= 0.99)" : "MISSED (< 0.99)");
    addSummary(row);
    std::fflush(stdout);
}

// ---- 2. host cost per frame -------------------------------------------------------------

enum class HostLink { Serial, Pipes, Bus };

void hostCost(HostLink link, cli::RenderMode mode) {
    Scratch scratch;
    const bool usb = link != HostLink::Serial;
    const std::string image = writeImage(scratch.path, kImageSize);
    auto target = makeTarget(scratch.path, [usb](sim::SimConfig& c) {
        c.transport = usb ? sim::SimConfig::Transport::Usb : sim::SimConfig::Transport::Serial;
        c.readyDelayMs = 1;
    });
    if (!target) {
        return;
    }
#ifdef TERVAN_HAVE_USB_BUS
    // The same loader as a device on the emulated bus, reached through libusb.
    std::unique_ptr<sim::EmulatedUsbBus> bus;
    if (link == HostLink::Bus) {
        bus = std::make_unique<sim::EmulatedUsbBus>();
        sim::EmulatedUsbDevice device;
        device.pipeFolder = target->devicePath();
        if (!bus->active() || bus->add(device) < 0) {
            std::printf("host: no emulated USB bus (%s)\n", bus->reason().c_str());
            return;
        }
        setUsbTarget(UsbTarget{device.id, {}});
    }
#endif
    Tool tool(scratch.path, mode);
    tool.choose(usb, image);
    if (!tool.connect()) {
        std::printf("host: no connection (%s)\n", tool.session().statusText.c_str());
        return;
    }
    tool.view.pageTimes.clear();
    tool.view.pageCpu.clear();
    const double cpuBefore = threadCpuSeconds();
    const auto started = Clock::now();
    tool.download();
    const auto total = Clock::now() - started;
    const double cpu = threadCpuSeconds() - cpuBefore;
    const bool ok = tool.session().statusText == "Write successfull!" && flashHolds(*target, image);

    // Page times: [0] is the start position, then one per accepted page.
    std::vector<double> roundTrips;
    std::vector<double> cpuPerFrame;
    for (std::size_t i = 2; i < tool.view.pageTimes.size(); ++i) {
        roundTrips.push_back(micros(tool.view.pageTimes[i] - tool.view.pageTimes[i - 1]));
        cpuPerFrame.push_back((tool.view.pageCpu[i] - tool.view.pageCpu[i - 1]) * 1e6);
    }
    // The tool's turn as the target sees it: from sending its answer to the first byte of the
    // next frame.
    const auto frames = target->frames();
    const auto sent = target->sentBytes();
    std::vector<double> turns;
    std::size_t s = 0;
    for (std::size_t k = 1; k < frames.size(); ++k) {
        // Strictly before: a frame taken in one piece has its own answer stamped with the
        // same instant.
        while (s + 1 < sent.size() && sent[s + 1].at < frames[k].startedAt) {
            ++s;
        }
        if (sent[s].at < frames[k].startedAt) {
            turns.push_back(micros(frames[k].startedAt - sent[s].at));
        }
    }
    const double frameCount = static_cast<double>(frames.size());
    const char* transport = link == HostLink::Bus     ? "USB bus (libusb, emulated device)"
                            : link == HostLink::Pipes ? "USB pipes"
                                                      : "pseudo-terminal";
    const char* output = mode == cli::RenderMode::Json ? "JSON lines" : "quiet";
    const double cpuMedian = percentile(cpuPerFrame, 0.5);
    std::printf(
        "host: %s, %s output: %zu frames in %.1f ms; per frame: tool CPU median %.1f us (p99 "
        "%.1f, mean %.1f), round trip median %.1f us (p99 %.1f), tool's turn as the target sees "
        "it median %.1f us%s\n",
        transport, output, frames.size(), seconds(total) * 1000, cpuMedian,
        percentile(cpuPerFrame, 0.99), cpu / frameCount * 1e6, percentile(roundTrips, 0.5),
        percentile(roundTrips, 0.99), percentile(turns, 0.5), ok ? "" : "  (DOWNLOAD FAILED)");
    // The host's cost is the tool's own CPU time; the round trip adds the target's work and
    // the kernel waking each side, which vary from run to run on a virtual machine.
    addSummary(std::string("| host per frame, ") + transport + ", " + output + " | " +
               format("tool CPU median %.1f us (mean %.1f); round trip median %.1f us", cpuMedian,
                      cpu / frameCount * 1e6, percentile(roundTrips, 0.5)) +
               " | " +
               (link == HostLink::Bus
                    ? "no target: every usbfs call crosses umockdev's socket to the emulated device"
                    : (cpuMedian < 50 ? "met (< 50 us)" : "MISSED (>= 50 us)")) +
               " |");
    setUsbTarget(std::nullopt);
    std::fflush(stdout);
}

// The rows of the USB link on the bus come from a copy of this program run beneath umockdev's
// preload (kUsbBusRows), so that the preload weighs on no other figure: its lines are shown
// and its summary rows taken over.
constexpr const char* kUsbBusRows = "--usb-bus-rows";

void hostCostOnBus() {
    const std::string command = "'" + executablePath() + "' " + kUsbBusRows;
    std::FILE* child = ::popen(command.c_str(), "r");
    if (child == nullptr) {
        std::printf("host: cannot run %s\n", command.c_str());
        return;
    }
    char line[1024];
    while (std::fgets(line, sizeof line, child) != nullptr) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        if (text.rfind("| ", 0) == 0) {
            addSummary(text);
        } else {
            std::printf("%s\n", text.c_str());
        }
    }
    ::pclose(child);
    std::fflush(stdout);
}

// ---- 3. reaction to the loader ----------------------------------------------------------

void reaction(int connects) {
    Scratch scratch;
    auto target = makeTarget(scratch.path, [](sim::SimConfig& c) { c.readyDelayMs = 2; });
    if (!target) {
        return;
    }
    Tool tool(scratch.path, cli::RenderMode::Quiet);
    tool.choose(false, scratch.path + "/none.bin");
    std::vector<double> delays;
    for (int i = 0; i < connects; ++i) {
        if (!tool.connect()) {
            std::printf("reaction: connect %d failed (%s)\n", i, tool.session().statusText.c_str());
            break;
        }
        const bool arrived = target->waitUntil(
            [i](const sim::SimCounters& c) { return c.handshakeBytes >= i + 1; }, 1000);
        const auto counters = target->counters();
        if (arrived && counters.lastReadyAt && counters.lastHandshakeAt) {
            delays.push_back(micros(*counters.lastHandshakeAt - *counters.lastReadyAt));
        }
        tool.session().disconnectTarget();
    }
    const double worst = delays.empty() ? 0 : *std::max_element(delays.begin(), delays.end());
    std::printf(
        "reaction: 'X' to 'H' over %zu connects: median %.1f us, p90 %.1f us, worst %.1f us\n",
        delays.size(), percentile(delays, 0.5), percentile(delays, 0.9), worst);
    addSummary(format("| 'X' to 'H', %.0f connects | median %.1f us, worst %.1f us |",
                      delays.size(), percentile(delays, 0.5), worst) +
               (worst < 1000 ? " met (worst < 1 ms) |" : " MISSED (worst >= 1 ms) |"));
    std::fflush(stdout);
}

// ---- 4. start-up and memory -------------------------------------------------------------

struct ChildRun {
    double seconds = 0;
    long peakKiB = 0;
    int status = -1;
};

ChildRun runChild(std::vector<std::string> arguments) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (auto& a : arguments) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    ChildRun run;
    const auto started = Clock::now();
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return run;
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    run.seconds = seconds(Clock::now() - started);
    run.peakKiB = usage.ru_maxrss;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

void startup(int runs) {
    const std::string program = executableDirectory() + "/tervan-cli";
    std::vector<double> walls;
    long peak = 0;
    for (int i = 0; i < runs; ++i) {
        const ChildRun run = runChild({program, "--help"});
        if (run.status != 0) {
            std::printf("startup: %s --help failed\n", program.c_str());
            return;
        }
        walls.push_back(run.seconds * 1000);
        peak = std::max(peak, run.peakKiB);
    }
    std::printf(
        "startup: tervan-cli --help over %d runs: median %.2f ms, worst %.2f ms, peak RSS %ld "
        "KiB\n",
        runs, percentile(walls, 0.5), percentile(walls, 1.0), peak);

    // For comparison, a whole download (unpaced) in the same program.
    Scratch scratch;
    const std::string image = writeImage(scratch.path, kImageSize);
    auto target = makeTarget(scratch.path, [](sim::SimConfig& c) { c.readyDelayMs = 1; });
    ChildRun download;
    if (target) {
        download = runChild({program, "--quiet", "--root", scratch.path, "--port", "COM1", image});
    }
    std::printf(
        "startup: tervan-cli download of 256 KiB (unpaced): %.1f ms, peak RSS %ld KiB, exit %d\n",
        download.seconds * 1000, download.peakKiB, download.status);
    addSummary(format("| tervan-cli --help | median %.2f ms wall, peak RSS %.0f KiB |",
                      percentile(walls, 0.5), static_cast<double>(peak)) +
               " reported |");
    addSummary(format("| tervan-cli, 256 KiB download unpaced | %.1f ms wall, peak RSS %.0f KiB |",
                      download.seconds * 1000, static_cast<double>(download.peakKiB)) +
               " reported |");
    std::fflush(stdout);
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one;
    std::string five;
    in >> one >> five;
    return one + " " + five;
}

std::string cpuModel() {
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("model name", 0) == 0) {
            const auto colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    }
    return "unknown CPU";
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> chosen(argv + 1, argv + argc);
    if (chosen.size() == 1 && chosen.front() == kUsbBusRows) {
#ifdef TERVAN_HAVE_USB_BUS
        sim::runBeneathUsbPreload(argv);
        ::prctl(PR_SET_TIMERSLACK, 1UL);
        hostCost(HostLink::Bus, cli::RenderMode::Quiet);
        hostCost(HostLink::Bus, cli::RenderMode::Json);
        for (const auto& row : summary) {
            std::printf("%s\n", row.c_str());
        }
#else
        std::printf("host: USB bus: built without umockdev, no emulated bus\n");
#endif
        return 0;
    }
    const auto wanted = [&chosen](const char* name) {
        return chosen.empty() || std::find(chosen.begin(), chosen.end(), name) != chosen.end();
    };
    // The virtual target paces the line with timers, and the kernel lets a thread's timers
    // run up to 50 us late by default (its timer slack); a UART keeps better time than that.
    // Threads inherit the slack of the thread that starts them, so setting it here sharpens
    // the target's clock. The tool never waits on a timer while data flows: it is not affected.
    // --default-slack measures with the kernel's default instead.
    const bool defaultSlack =
        std::find(chosen.begin(), chosen.end(), "--default-slack") != chosen.end();
    chosen.erase(std::remove(chosen.begin(), chosen.end(), "--default-slack"), chosen.end());
    if (!defaultSlack) {
        ::prctl(PR_SET_TIMERSLACK, 1UL);
    }
    for (const auto& name : chosen) {
        if (name != "efficiency" && name != "host" && name != "reaction" && name != "startup") {
            std::fprintf(stderr,
                         "tervan-bench-wire: unknown part '%s' (efficiency, host, reaction, "
                         "startup, --default-slack)\n",
                         name.c_str());
            return 2;
        }
    }
    std::printf("machine: %u CPUs (nproc), %s; load average %s; target timer slack %s\n",
                std::thread::hardware_concurrency(), cpuModel().c_str(), loadAverage().c_str(),
                defaultSlack ? "the kernel's default" : "1 ns");
    if (wanted("efficiency")) {
        lineEfficiency(0);
        lineEfficiency(6);
    }
    if (wanted("host")) {
        hostCost(HostLink::Serial, cli::RenderMode::Quiet);
        hostCost(HostLink::Pipes, cli::RenderMode::Quiet);
        hostCost(HostLink::Serial, cli::RenderMode::Json);
        hostCost(HostLink::Pipes, cli::RenderMode::Json);
        hostCostOnBus();
    }
    if (wanted("reaction")) {
        reaction(100);
    }
    if (wanted("startup")) {
        startup(20);
    }
    std::printf("\n| figure | measured | target |\n|---|---|---|\n");
    for (const auto& row : summary) {
        std::printf("%s\n", row.c_str());
    }
    return 0;
}
