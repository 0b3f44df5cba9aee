#include "cli/CliRun.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "app/DownloaderDialog.h"
#include "app/SettingsStore.h"
#include "cli/AppendFile.h"
#include "cli/CliOptions.h"
#include "cli/CliWindow.h"
#include "cli/JsonText.h"
#include "cli/OsReasons.h"
#include "cli/PortLink.h"
#include "cli/PortList.h"
#include "cli/Sha256.h"
#include "cli/SystemPorts.h"
#include "cli/Terminal.h"
#include "link/SerialPort.h"
#include "link/SystemPaths.h"
#include "link/UsbPipeLink.h"

#ifndef TERVAN_VERSION
#define TERVAN_VERSION "unknown"
#endif

namespace tervan::cli {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

constexpr const char* kProgram = "tervan-cli";

RenderMode renderModeFor(const CliOptions& options, std::FILE* out, bool severalPorts) {
    if (options.output == OutputStyle::Json) {
        return RenderMode::Json;
    }
    if (options.quiet) {
        return RenderMode::Quiet;
    }
    // Bars of several boards cannot share one line: each board writes whole lines.
    return !severalPorts && redrawsInPlace(out) ? RenderMode::Bar : RenderMode::Lines;
}

// "2026-12-07T16:51:43Z".
std::string utcTimeText() {
    const std::time_t now = std::time(nullptr);
    static std::mutex lock;  // gmtime's result is shared
    const std::lock_guard<std::mutex> hold(lock);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    return buffer;
}

// The receipts file: one JSON line per board, appended whole.
class ReceiptBook {
public:
    explicit ReceiptBook(std::string path) : path_(std::move(path)) {}
    // Creates the file when it is missing; the system's error code when it cannot be appended to.
    int check() const { return appendToFile(path_, {}); }
    int append(const std::string& line) const { return appendToFile(path_, line + "\n"); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The --trace file: every byte in and out of every board, with the time since the start.
class TraceFile {
public:
    explicit TraceFile(std::FILE* file) : file_(file), started_(SteadyClock::now()) {}
    ~TraceFile() { std::fclose(file_); }
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    // "   12.345678 COM3 out 57 00 01 ...".
    void record(const std::string& port, const char* direction,
                std::span<const std::uint8_t> bytes) {
        const double seconds = std::chrono::duration<double>(SteadyClock::now() - started_).count();
        std::string line;
        line.reserve(32 + port.size() + bytes.size() * 3);
        char head[40];
        std::snprintf(head, sizeof head, "%12.6f ", seconds);
        line += head;
        line += port;
        line += ' ';
        line += direction;
        static constexpr char kHex[] = "0123456789abcdef";
        for (const std::uint8_t byte : bytes) {
            line += ' ';
            line += kHex[byte >> 4];
            line += kHex[byte & 0x0F];
        }
        line += '\n';
        const std::lock_guard<std::mutex> hold(lock_);
        std::fputs(line.c_str(), file_);
    }

private:
    std::mutex lock_;
    std::FILE* file_;
    SteadyClock::time_point started_;
};

class BoardTrace final : public LineTrace {
public:
    BoardTrace(TraceFile& file, std::string port) : file_(file), port_(std::move(port)) {}
    void sent(std::span<const std::uint8_t> bytes) override { file_.record(port_, "out", bytes); }
    void received(std::span<const std::uint8_t> bytes) override {
        file_.record(port_, "in", bytes);
    }

private:
    TraceFile& file_;
    std::string port_;
};

// What every board of the run shares.
struct Shared {
    Shared(const CliOptions& options_, std::FILE* out_, std::FILE* err_, RenderMode mode_,
           bool severalPorts_, bool perBoardResults_)
        : options(options_),
          out(out_),
          err(err_),
          mode(mode_),
          severalPorts(severalPorts_),
          perBoardResults(perBoardResults_),
          settings(defaultSettingsPath()) {}

    const CliOptions& options;
    std::FILE* out;
    std::FILE* err;
    RenderMode mode;
    bool severalPorts;       // lines carry the port
    bool perBoardResults;    // a result event per board, then one for the run
    SettingsStore settings;  // read once per board's controller, before the threads start
    std::atomic<bool> stop{false};
    std::optional<ReceiptBook> receipts;
    std::unique_ptr<TraceFile> trace;
};

// Where one line of boards is written: a serial port or a USB device.
struct BoardPort {
    std::string label;  // as given: "COM3", "/dev/ttyUSB0", the USB device's name
    std::optional<PortChoice> serial;
    std::string usbDevice;  // USB: the device's path or name; empty for the single device
};

// How one board ended.
struct BoardResult {
    int board = 1;  // its number on its port
    int exit = kExitDone;
    std::optional<Outcome> outcome;
    std::string text;  // the window's words for the failure
    std::string reason;
    std::uint32_t bytes = 0;  // accepted by the target
    double seconds = 0;       // from the first frame to the last answer
    TransferRecord sent;
    std::uint32_t imageLength = 0;
    std::uint32_t paddedLength = 0;
    std::string sha256;
    bool transferred = false;  // a download started
};

// The serial adapter behind a port, where the system knows it: "0403:6001" and its serial.
struct AdapterIds {
    std::string ids;
    std::string serial;
};

AdapterIds adapterOf(const std::string& portPath) {
    const std::string device = os::resolveSerialPath(portPath.c_str());
    std::error_code error;
    for (const SerialDevice& found : findSerialDevices()) {
        if (found.path == device || fs::equivalent(found.path, device, error)) {
            if (found.vendorId.empty()) {
                return {};
            }
            return {found.vendorId + ":" + found.productId, found.serial};
        }
    }
    return {};
}

// One port: its boards, one after another, each through the window's controller.
class PortLine {
public:
    PortLine(Shared& shared, BoardPort port) : shared_(shared), port_(std::move(port)) {
        dialog_ = std::make_unique<DownloaderDialog>(shared_.settings);
        applyOptions();
        window_ = std::make_unique<CliWindow>(shared_.mode, shared_.out, shared_.err, port_.label,
                                              shared_.severalPorts);
        dialog_->setWindow(window_.get());
        window_->watch(&dialog_->session());
        TargetSession& session = dialog_->session();
        session.stopRequested = &shared_.stop;
    }

    // A follow-up that does not fit the memory: status 2, before any port is opened.
    int checkFollowUp();
    // A bad image ends the run before the user is asked to press reset.
    int checkImage(BoardResult& result);
    // Every board of this port, on the calling thread.
    void run();
    // Closes the port and ends the last line on the terminal.
    void close();

    CliWindow& window() { return *window_; }
    const std::string& label() const { return port_.label; }
    const std::vector<BoardResult>& results() const { return results_; }
    JsonObject resultEvent(const BoardResult& result) const;

private:
    void applyOptions();
    BoardResult board(int number);
    bool connect(BoardResult& result);
    bool transfer(BoardResult& result);
    bool followUp(BoardResult& result);
    // Keeps how the step ended and gives the board its exit status.
    void failed(BoardResult& result, const Outcome& outcome, bool connecting,
                std::size_t messagesBefore);
    // Shows the status text on stderr too when no message box reported the failure.
    void reportStatusIfSilent(std::size_t messagesBefore);
    void writeReceipt(const BoardResult& result);

    Shared& shared_;
    BoardPort port_;
    std::unique_ptr<DownloaderDialog> dialog_;  // over 256 KiB: not on the stack
    std::unique_ptr<CliWindow> window_;
    std::unique_ptr<BoardTrace> trace_;
    AdapterIds adapter_;
    std::vector<BoardResult> results_;
};

void PortLine::applyOptions() {
    const CliOptions& options = shared_.options;
    DownloaderDialog& d = *dialog_;
    TargetSession& session = d.session();
    if (options.interfaceKind) {
        session.interfaceKind = *options.interfaceKind;
    }
    if (options.targetModel) {
        session.targetModel = *options.targetModel;
    }
    session.applyModel();
    if (options.targetMemory) {
        session.targetMemory = *options.targetMemory;
    }
    if (port_.serial) {
        session.comPortPath = port_.serial->path;
        if (port_.serial->comIndex) {
            d.comIndex = *port_.serial->comIndex;
        }
    } else {
        // The stored port, named as the window names it.
        d.formatComPortPath();
    }
    session.usbDeviceName = port_.usbDevice;
    if (port_.label.empty()) {
        port_.label = session.interfaceKind == 0 ? "usb" : "COM" + std::to_string(d.comIndex + 1);
    }
    d.imagePath = options.imagePath;
}

int PortLine::checkFollowUp() {
    const FollowUp then = shared_.options.then;
    const bool ram = dialog_->session().targetMemory != 0;
    if (then == FollowUp::Run && !ram) {
        window_->report(std::string(kProgram) + ": --then run starts a program in RAM: add --ram");
        return kExitBadUsage;
    }
    if (then == FollowUp::Reset && ram) {
        window_->report(std::string(kProgram) +
                        ": --then reset follows a download to flash; after --ram use --then run");
        return kExitBadUsage;
    }
    return kExitDone;
}

int PortLine::checkImage(BoardResult& result) {
    DownloaderDialog& d = *dialog_;
    TargetSession& session = d.session();
    const std::string path = d.imagePath;
    const std::size_t before = window_->messages().size();
    if (const Outcome loaded = d.loadImage(true); !loaded.ok()) {
        result.reason =
            loaded.kind == OutcomeKind::ImageBeingWritten && d.imageWriter()
                ? path + " is still being written by " + os::writerText(*d.imageWriter())
                : imageFileReason(path);
        window_->explain(result.reason);
        failed(result, loaded, false, before);
        return result.exit;
    }
    if (const Outcome length = session.checkImageLength(); !length.ok()) {
        if (session.imageLength != 0) {
            result.reason =
                path + " holds " + std::to_string(session.imageLength) + " bytes; " +
                (session.targetMemory != 0 ? "RAM takes " : "this model's flash takes ") +
                std::to_string(session.imageLimit());
            window_->explain(result.reason);
        }
        failed(result, length, false, before);
        return result.exit;
    }
    return kExitDone;
}

void PortLine::run() {
    keepInterruptAway();
    TargetSession& session = dialog_->session();
    if (session.interfaceKind != 0 && shared_.receipts) {
        adapter_ = adapterOf(session.comPortPath);
    }
    if (shared_.trace) {
        trace_ = std::make_unique<BoardTrace>(*shared_.trace, port_.label);
        session.trace = trace_.get();
    }
    const int boards = shared_.options.repeat;
    for (int number = 1; boards == 0 || number <= boards; ++number) {
        if (shared_.stop.load()) {
            break;
        }
        // The first board is met by the countdown; each later one gets --wait, or all the
        // time it takes to change boards.
        session.connectSeconds =
            number == 1 ? kConnectSeconds : shared_.options.waitSeconds.value_or(0);
        BoardResult result = board(number);
        if (result.exit == kExitInterrupted && !result.transferred) {
            break;  // stopped while waiting for a board: there was none
        }
        writeReceipt(result);
        if (shared_.perBoardResults) {
            window_->emitJson(resultEvent(result).str());
        }
        const int exit = result.exit;
        results_.push_back(std::move(result));
        // A port that cannot be used, or a board that did not come, ends the line.
        if (exit == kExitNoConnection || exit == kExitBadUsage || exit == kExitInterrupted) {
            break;
        }
    }
}

BoardResult PortLine::board(int number) {
    BoardResult result;
    result.board = number;
    if (connect(result) && transfer(result)) {
        followUp(result);
    }
    return result;
}

void PortLine::failed(BoardResult& result, const Outcome& outcome, bool connecting,
                      std::size_t messagesBefore) {
    result.outcome = outcome;
    result.exit = outcome.kind == OutcomeKind::Stopped ? static_cast<int>(kExitInterrupted)
                                                       : exitStatusFor(outcome, connecting);
    const auto& messages = window_->messages();
    result.text =
        messages.size() > messagesBefore ? messages.back() : dialog_->session().statusText;
    if (outcome.kind == OutcomeKind::Stopped) {
        result.text.clear();
    }
}

bool PortLine::connect(BoardResult& result) {
    TargetSession& session = dialog_->session();
    const std::size_t before = window_->messages().size();
    const Outcome connected = session.connectTarget();
    if (connected.ok()) {
        if (session.interfaceKind != 0) {
            // Said once per port: a board after the first finds the timer as the first left it.
            window_->explain(latencyNote(session.serialLink.latency), "notice");
        }
        return true;
    }
    if (connected.kind != OutcomeKind::Stopped) {
        reportStatusIfSilent(before);
        if (session.interfaceKind != 0) {
            result.reason = serialPortReason(session.comPortPath);
        } else {
            result.reason = usbDeviceReason(session.foundDeviceCount);
        }
        window_->explain(result.reason);
    }
    failed(result, connected, true, before);
    return false;
}

bool PortLine::transfer(BoardResult& result) {
    DownloaderDialog& d = *dialog_;
    TargetSession& session = d.session();
    const std::size_t before = window_->messages().size();
    const int downloads = window_->downloads();
    const Outcome sent = d.downloadImage(session.targetMemory != 0 ? kCommandRam : kCommandWrite);
    // A download that failed before its first page (the image could not be read again) sent
    // nothing: the figures of the board before stay out of this one.
    result.transferred = window_->downloads() != downloads;
    if (result.transferred) {
        result.sent = session.lastTransfer;
        result.bytes = window_->bytesSent();
        result.seconds = window_->transferSeconds();
    }
    result.imageLength = session.imageLength;
    result.paddedLength = session.pageSize == 0 ? 0
                                                : (session.imageLength + session.pageSize - 1) /
                                                      session.pageSize * session.pageSize;
    if (shared_.receipts) {
        result.sha256 = sha256Hex({session.imageBuffer.data(), session.imageLength});
    }
    if (sent.ok()) {
        return true;
    }
    if (sent.kind != OutcomeKind::Stopped) {
        reportStatusIfSilent(before);
    }
    failed(result, sent, false, before);
    return false;
}

bool PortLine::followUp(BoardResult& result) {
    const FollowUp then = shared_.options.then;
    if (then == FollowUp::None) {
        return true;
    }
    const std::size_t before = window_->messages().size();
    const Outcome sent = dialog_->sendCommand(then == FollowUp::Reset ? kCommandReset : kCommandGo);
    if (!sent.ok()) {
        failed(result, sent, false, before);
    }
    return sent.ok();
}

void PortLine::reportStatusIfSilent(std::size_t messagesBefore) {
    const std::string& status = dialog_->session().statusText;
    if (window_->messages().size() == messagesBefore && !status.empty()) {
        window_->report(status);
    }
}

void PortLine::close() {
    dialog_->windowDestroyed();
    window_->finish();
}

// The ideal time on a 115200-baud line and its share of the time the transfer took.
void addWireFigures(JsonObject& object, const BoardResult& result) {
    const double wire = wireSeconds(result.sent.bytesOut + result.sent.bytesIn);
    object.number("wire_seconds", wire);
    if (result.seconds > 0) {
        object.number("wire_ratio", wire / result.seconds);
    }
}

// How a board ended, in a result event: the status, the transfer's figures and a failure's
// words.
void addResultFields(JsonObject& event, const BoardResult& result) {
    event.boolean("ok", result.exit == kExitDone)
        .number("exit", static_cast<std::int64_t>(result.exit));
    if (result.bytes > 0) {
        event.number("bytes", static_cast<std::int64_t>(result.bytes))
            .number("seconds", result.seconds);
        addWireFigures(event, result);
    }
    if (!result.reason.empty()) {
        event.text("reason", result.reason);
    }
    if (const auto& outcome = result.outcome) {
        event.text("code", eventCode(outcome->kind));
        if (!result.text.empty()) {
            event.text("text", result.text);
        }
        event.text("outcome", std::string(outcomeName(outcome->kind)));
        if (namesFrame(outcome->kind)) {
            event.number("frame", static_cast<std::int64_t>(outcome->frame));
        }
        if (outcome->answer != 0) {
            event.number("answer", static_cast<std::int64_t>(outcome->answer));
        }
        if (outcome->error != 0) {
            event.number("error", static_cast<std::int64_t>(outcome->error));
        }
    }
}

JsonObject PortLine::resultEvent(const BoardResult& result) const {
    JsonObject event = window_->event("result");
    event.number("board", static_cast<std::int64_t>(result.board));
    addResultFields(event, result);
    return event;
}

void PortLine::writeReceipt(const BoardResult& result) {
    if (!shared_.receipts) {
        return;
    }
    const TargetSession& session = dialog_->session();
    JsonObject receipt;
    receipt.text("time", utcTimeText())
        .text("version", TERVAN_VERSION)
        .text("port", port_.label)
        .number("board", static_cast<std::int64_t>(result.board));
    if (!adapter_.ids.empty()) {
        receipt.text("adapter", adapter_.ids);
    }
    if (!adapter_.serial.empty()) {
        receipt.text("adapter_serial", adapter_.serial);
    }
    receipt.text("image", shared_.options.imagePath);
    if (result.transferred) {
        receipt.number("size", static_cast<std::int64_t>(result.imageLength))
            .text("sha256", result.sha256)
            .number("padded", static_cast<std::int64_t>(result.paddedLength));
    }
    receipt.text("model", chipModel(session.targetModel).windowName)
        .text("memory", session.targetMemory != 0 ? "RAM" : "ROM")
        .number("pages_sent", static_cast<std::int64_t>(result.sent.pagesSent))
        .boolean("all_x", result.transferred && !result.sent.firstRejection &&
                              result.sent.pagesSent > 0 &&
                              (!result.outcome || result.outcome->kind != OutcomeKind::Stopped) &&
                              result.bytes == result.imageLength);
    if (const auto& rejected = result.sent.firstRejection) {
        receipt.raw("first_rejection",
                    JsonObject()
                        .number("frame", static_cast<std::int64_t>(rejected->frame))
                        .number("answer", static_cast<std::int64_t>(rejected->answer))
                        .text("code", eventCode(rejected->kind))
                        .str());
    }
    if (session.interfaceKind == 0) {
        receipt.number("resends", static_cast<std::int64_t>(result.sent.resends));
    }
    receipt.number("seconds", result.seconds)
        .boolean("ok", result.exit == kExitDone)
        .number("exit", static_cast<std::int64_t>(result.exit));
    if (result.outcome) {
        receipt.text("code", eventCode(result.outcome->kind));
    }
    if (const int error = shared_.receipts->append(receipt.str()); error != 0) {
        window_->report(std::string(kProgram) + ": cannot add to " + shared_.receipts->path() +
                        ": " + systemErrorText(error));
    }
}

// The whole run: the ports, their lines of boards, and the summary at the end.
class Run {
public:
    Run(const CliOptions& options, std::FILE* out, std::FILE* err)
        : options_(options), out_(out), err_(err) {}
    int download();

private:
    // The ports the options name; false when --all finds none.
    bool choosePorts(std::vector<BoardPort>& ports);
    // The receipts and the trace file; false (with the message given) when unusable.
    bool openFiles(Shared& shared);
    void startEvent(const std::vector<BoardPort>& ports);
    int usageFailure(const std::string& text);
    // --all found no device.
    int noUsbDevice();
    int summarise(Shared& shared, std::vector<std::unique_ptr<PortLine>>& lines, double seconds);

    const CliOptions& options_;
    std::FILE* out_;
    std::FILE* err_;
};

int Run::usageFailure(const std::string& text) {
    std::fprintf(err_, "%s: %s\n", kProgram, text.c_str());
    if (options_.output == OutputStyle::Json) {
        std::fprintf(out_, "%s\n",
                     JsonObject()
                         .text("event", "result")
                         .boolean("ok", false)
                         .number("exit", std::int64_t{kExitBadUsage})
                         .text("code", "bad_usage")
                         .text("reason", text)
                         .str()
                         .c_str());
    }
    return kExitBadUsage;
}

int Run::noUsbDevice() {
    const std::string reason = usbDeviceReason(0);
    std::fprintf(err_, "%s: --all found no USB device of the target's class\n", kProgram);
    if (!reason.empty()) {
        std::fprintf(err_, "  %s\n", reason.c_str());
    }
    if (options_.output == OutputStyle::Json) {
        std::fprintf(out_, "%s\n",
                     JsonObject()
                         .text("event", "result")
                         .boolean("ok", false)
                         .number("exit", std::int64_t{kExitNoConnection})
                         .text("code", eventCode(OutcomeKind::NoUsbDevice))
                         .text("reason", reason)
                         .str()
                         .c_str());
    }
    return kExitNoConnection;
}

bool Run::choosePorts(std::vector<BoardPort>& ports) {
    for (const PortChoice& port : options_.ports) {
        ports.push_back({port.given, port, {}});
    }
    for (const std::string& device : options_.usbDevices) {
        ports.push_back({device, std::nullopt, device});
    }
    if (options_.allUsbDevices) {
        UsbDevicePaths found;
        enumerateUsbDevices(found);
        if (found.empty()) {
            return false;
        }
        for (const std::string& path : found) {
            ports.push_back({fileNameOf(path), std::nullopt, path});
        }
    }
    if (ports.empty()) {
        ports.push_back({});  // the stored port, or the single USB device
    }
    return true;
}

bool Run::openFiles(Shared& shared) {
    if (!options_.receiptPath.empty()) {
        shared.receipts.emplace(options_.receiptPath);
        if (const int error = shared.receipts->check(); error != 0) {
            usageFailure("cannot write receipts to " + options_.receiptPath + ": " +
                         systemErrorText(error));
            return false;
        }
    }
    if (!options_.tracePath.empty()) {
        std::FILE* file = std::fopen(options_.tracePath.c_str(), "w");
        if (file == nullptr) {
            usageFailure("cannot write the trace to " + options_.tracePath + ": " +
                         systemErrorText(errno));
            return false;
        }
        shared.trace = std::make_unique<TraceFile>(file);
    }
    return true;
}

int Run::download() {
    std::vector<BoardPort> ports;
    const bool chosen = choosePorts(ports);
    const bool json = options_.output == OutputStyle::Json;
    const bool several = ports.size() > 1;
    Shared shared(options_, out_, err_, renderModeFor(options_, out_, several), several,
                  several || options_.repeat != 1);
    // The command line only reads the user's settings; it never writes them.
    shared.settings.readOnly = true;
    // The boards' controllers read the settings here; nothing is opened yet.
    std::vector<std::unique_ptr<PortLine>> lines;
    for (BoardPort& port : ports) {
        lines.push_back(std::make_unique<PortLine>(shared, std::move(port)));
    }
    if (json) {
        std::vector<std::string> labels;
        for (const auto& line : lines) {
            labels.push_back(line->label());
        }
        // The first line of the stream, before anything else can be said.
        const std::string start = JsonObject()
                                      .text("event", "start")
                                      .number("schema", std::int64_t{kEventSchema})
                                      .text("version", TERVAN_VERSION)
                                      .texts("ports", labels)
                                      .text("image", options_.imagePath)
                                      .number("repeat", static_cast<std::int64_t>(options_.repeat))
                                      .str() +
                                  "\n";
        std::fputs(start.c_str(), out_);
        std::fflush(out_);
    }
    if (!chosen) {
        return noUsbDevice();
    }
    if (!openFiles(shared)) {
        return kExitBadUsage;
    }

    PortLine& first = *lines.front();
    BoardResult checked;
    if (const int bad = first.checkFollowUp(); bad != kExitDone) {
        checked.exit = bad;
    } else {
        first.checkImage(checked);
    }
    if (checked.exit != kExitDone) {
        for (auto& line : lines) {
            line->close();
        }
        if (json) {
            // With one board its result; with several the run's, since no board began.
            JsonObject result = first.resultEvent(checked);
            if (shared.perBoardResults) {
                result = JsonObject();
                result.text("event", "result");
                addResultFields(result, checked);
            }
            first.window().emitJson(result.str());
        }
        return checked.exit;
    }

    catchInterrupt(shared.stop);
    const auto started = SteadyClock::now();
    std::vector<std::thread> threads;
    for (auto& line : lines) {
        threads.emplace_back([&line] { line->run(); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (auto& line : lines) {
        line->close();
    }
    return summarise(shared, lines,
                     std::chrono::duration<double>(SteadyClock::now() - started).count());
}

int Run::summarise(Shared& shared, std::vector<std::unique_ptr<PortLine>>& lines, double seconds) {
    const bool stopped = shared.stop.load();
    int worst = kExitDone;
    int written = 0;
    int failed = 0;
    for (const auto& line : lines) {
        for (const BoardResult& result : line->results()) {
            worst = std::max(worst, result.exit);
            ++(result.exit == kExitDone ? written : failed);
        }
    }
    if (stopped) {
        worst = kExitInterrupted;
        std::fprintf(err_, "%s: stopped by Ctrl-C; every port is closed\n", kProgram);
        std::fflush(err_);
    }
    PortLine& first = *lines.front();
    if (shared.mode == RenderMode::Json) {
        if (!shared.perBoardResults && !first.results().empty()) {
            // One board: its result is the run's.
            first.window().emitJson(first.resultEvent(first.results().front()).str());
            return worst;
        }
        JsonObject result;
        result.text("event", "result")
            .boolean("ok", worst == kExitDone)
            .number("exit", static_cast<std::int64_t>(worst))
            .number("boards", static_cast<std::int64_t>(written + failed))
            .number("written", static_cast<std::int64_t>(written))
            .number("failed", static_cast<std::int64_t>(failed))
            .number("seconds", seconds);
        if (stopped) {
            result.text("code", eventCode(OutcomeKind::Stopped));
        }
        first.window().emitJson(result.str());
        return worst;
    }
    if (shared.mode == RenderMode::Quiet || !shared.perBoardResults) {
        return worst;
    }
    // One line per board: port, board, result, bytes, seconds and the line's figures.
    std::string text =
        "Boards: " + std::to_string(written) + " written, " + std::to_string(failed) + " failed\n";
    for (const auto& line : lines) {
        for (const BoardResult& result : line->results()) {
            char figures[160];
            const double wire = wireSeconds(result.sent.bytesOut + result.sent.bytesIn);
            if (result.bytes > 0 && result.seconds > 0) {
                std::snprintf(figures, sizeof figures,
                              "%u bytes, %.2f s, wire time at %u baud %.2f s, ratio %.3f",
                              static_cast<unsigned>(result.bytes), result.seconds,
                              static_cast<unsigned>(kSerialBaudRate), wire, wire / result.seconds);
            } else {
                std::snprintf(figures, sizeof figures, "%u bytes, %.2f s",
                              static_cast<unsigned>(result.bytes), result.seconds);
            }
            std::string outcome = "written";
            if (result.outcome) {
                outcome = "failed: " + eventCode(result.outcome->kind);
                if (namesFrame(result.outcome->kind)) {
                    outcome += " at frame " + std::to_string(result.outcome->frame);
                }
            }
            text += "  " + line->label() + " board " + std::to_string(result.board) + ": " +
                    outcome + ", " + figures + "\n";
        }
    }
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
    return worst;
}

}  // namespace

std::string eventCode(OutcomeKind kind) {
    switch (kind) {
        case OutcomeKind::PortDenied:
            return "permission_denied";
        case OutcomeKind::Stopped:
            return "interrupted";
        default: {
            std::string code(outcomeName(kind));
            std::replace(code.begin(), code.end(), '-', '_');
            return code;
        }
    }
}

int exitStatusFor(const Outcome& outcome, bool connecting) {
    if (outcome.ok()) {
        return kExitDone;
    }
    if (outcome.kind == OutcomeKind::Stopped) {
        return kExitInterrupted;
    }
    if (isImageProblem(outcome.kind)) {
        return kExitBadUsage;
    }
    if (connecting || isConnectionProblem(outcome.kind)) {
        return kExitNoConnection;
    }
    return kExitTransferFailed;
}

int runCommandLine(const std::vector<std::string>& arguments, std::FILE* out, std::FILE* err) {
    const ParsedCommandLine parsed = parseCommandLine(arguments);
    const CliOptions& options = parsed.options;
    const bool json = options.output == OutputStyle::Json;
    if (options.action == CliAction::Help) {
        std::fputs(usageText(kProgram).c_str(), out);
        return kExitDone;
    }
    if (!parsed.error.empty()) {
        std::fprintf(err, "%s: %s\nTry '%s --help'.\n", kProgram, parsed.error.c_str(), kProgram);
        if (json) {
            std::fprintf(out, "%s\n%s\n",
                         JsonObject()
                             .text("event", "start")
                             .number("schema", std::int64_t{kEventSchema})
                             .text("version", TERVAN_VERSION)
                             .str()
                             .c_str(),
                         JsonObject()
                             .text("event", "result")
                             .boolean("ok", false)
                             .number("exit", std::int64_t{kExitBadUsage})
                             .text("code", "bad_usage")
                             .text("reason", parsed.error)
                             .str()
                             .c_str());
        }
        return kExitBadUsage;
    }
    if (options.action == CliAction::Version) {
        std::fprintf(out, "%s %s\n", kProgram, TERVAN_VERSION);
        return kExitDone;
    }
    if (!options.deviceRoot.empty()) {
        std::error_code error;
        const auto absolute = std::filesystem::absolute(options.deviceRoot, error);
        setDeviceRoot(error ? options.deviceRoot : absolute.lexically_normal().string());
    }
    if (options.action == CliAction::ListPorts) {
        if (json) {
            std::fprintf(out, "%s\n",
                         JsonObject()
                             .text("event", "start")
                             .number("schema", std::int64_t{kEventSchema})
                             .text("version", TERVAN_VERSION)
                             .str()
                             .c_str());
        }
        return printPortList(out, json);
    }
    if (options.action == CliAction::Link) {
        return runPortLink(options, out, err);
    }
    Run run(options, out, err);
    return run.download();
}

}  // namespace tervan::cli
