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
#include "app/UsbSetting.h"
#include "cli/AppendFile.h"
#include "cli/CliOptions.h"
#include "cli/CliWindow.h"
#include "cli/JsonText.h"
#include "cli/OsReasons.h"
#include "cli/PortCheck.h"
#include "cli/PortLink.h"
#include "cli/PortList.h"
#include "cli/RunFiles.h"
#include "cli/Sha256.h"
#include "cli/SystemPorts.h"
#include "cli/Terminal.h"
#include "cli/UsbBus.h"
#include "link/PortFault.h"
#include "link/SerialPort.h"
#include "link/SystemPaths.h"
#include "link/UsbPipeLink.h"
#include "link/UsbTarget.h"

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

// What every board of the run shares.
struct Shared {
    Shared(const CliOptions& options_, std::FILE* out_, std::FILE* err_, RenderMode mode_,
           bool severalPorts_, bool perBoardResults_, std::atomic<bool>& stop_)
        : options(options_),
          out(out_),
          err(err_),
          mode(mode_),
          severalPorts(severalPorts_),
          perBoardResults(perBoardResults_),
          settings(defaultSettingsPath()),
          stop(stop_) {}

    const CliOptions& options;
    std::FILE* out;
    std::FILE* err;
    RenderMode mode;
    bool severalPorts;        // lines carry the port
    bool perBoardResults;     // a result event per board, then one for the run
    SettingsStore settings;   // read once per board's controller, before the threads start
    std::atomic<bool>& stop;  // raised by Ctrl-C, SIGTERM or SIGHUP
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
    std::string code;  // a failure that is no outcome of the session: "receipt_failed", ...
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
    int checkFollowUp(BoardResult& result);
    // A bad image ends the run before the user is asked to press reset.
    int checkImage(BoardResult& result);
    // Every board of this port, on the calling thread.
    void run();
    // Closes the port and ends the last line on the terminal.
    void close();

    CliWindow& window() { return *window_; }
    const std::string& label() const { return port_.label; }
    // The port this line will open, for the checks made before any is.
    PortUse portUse() const {
        const TargetSession& session = dialog_->session();
        return session.interfaceKind != 0 ? PortUse{port_.label, true, session.comPortPath}
                                          : PortUse{port_.label, false, session.usbDeviceName};
    }
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
    // 0 when the board's receipt is in the file whole (or none is asked for), otherwise the
    // error code.
    int writeReceipt(const BoardResult& result);
    // Says that the receipt could not be written, and fails the board that was otherwise done.
    void receiptFailed(BoardResult& result, int error);

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

int PortLine::checkFollowUp(BoardResult& result) {
    const FollowUp then = shared_.options.then;
    const bool ram = dialog_->session().targetMemory != 0;
    if (then == FollowUp::Run && !ram) {
        result.reason = "--then run starts a program in RAM: add --ram";
    } else if (then == FollowUp::Reset && ram) {
        result.reason = "--then reset follows a download to flash; after --ram use --then run";
    } else {
        return kExitDone;
    }
    window_->report(std::string(kProgram) + ": " + result.reason);
    result.exit = kExitBadUsage;
    result.code = kCodeBadUsage;
    return result.exit;
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
        const int receiptError = writeReceipt(result);
        if (receiptError != 0) {
            receiptFailed(result, receiptError);
        }
        if (shared_.perBoardResults) {
            window_->emitJson(resultEvent(result).str());
        }
        const int exit = result.exit;
        results_.push_back(std::move(result));
        // A port that cannot be used, or a board that did not come, ends the line; so does a
        // receipt that could not be written, since the next board would have no proof either.
        if (exit == kExitNoConnection || exit == kExitBadUsage || exit == kExitInterrupted ||
            receiptError != 0) {
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
        if (session.interfaceKind == 0 && shared_.receipts) {
            // The device on the bus goes into the receipts as a serial adapter does.
            const UsbDeviceIds ids = usbDeviceIdsOf(session.usbDevice.path);
            adapter_ = {ids.ids, ids.serial};
        }
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
        } else if (const auto target = usbTarget()) {
            result.reason = usbBusReason(*target, port_.usbDevice, connected);
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

// The word for how a board ended: its session's outcome, or what failed around it; empty when
// it was written.
std::string codeOf(const BoardResult& result) {
    if (result.outcome) {
        return eventCode(result.outcome->kind);
    }
    return result.code;
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
    if (!result.outcome && !result.code.empty()) {
        event.text("code", result.code);
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

int PortLine::writeReceipt(const BoardResult& result) {
    if (!shared_.receipts) {
        return 0;
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
    if (const std::string code = codeOf(result); !code.empty()) {
        receipt.text("code", code);
    }
    return shared_.receipts->append(receipt.str());
}

void PortLine::receiptFailed(BoardResult& result, int error) {
    const std::string text =
        "cannot add to " + shared_.receipts->path() + ": " + fileErrorText(error);
    window_->report(std::string(kProgram) + ": " + text);
    JsonObject fault = window_->event("fault");
    fault.number("board", static_cast<std::int64_t>(result.board))
        .text("code", kCodeReceiptFailed)
        .text("reason", text);
    window_->emitJson(fault.str());
    // A board that failed keeps its own code; one that was written has no proof of it.
    if (result.exit == kExitDone) {
        result.exit = kExitTransferFailed;
        result.code = kCodeReceiptFailed;
        result.reason = text;
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
    // A receipt or trace path that names what is never written to, or the image itself.
    std::string outputFileProblem(const std::string& path, const char* what) const;
    int usageFailure(const std::string& text);
    // --all found no device.
    int noUsbDevice();
    // The summary, and the run's status. `traceError` is how writing the trace ended.
    int summarise(Shared& shared, std::vector<std::unique_ptr<PortLine>>& lines, double seconds,
                  int traceError);

    const CliOptions& options_;
    std::FILE* out_;
    std::FILE* err_;
};

int Run::usageFailure(const std::string& text) {
    std::fprintf(err_, "%s: %s\n", kProgram, terminalText(text).c_str());
    if (options_.output == OutputStyle::Json) {
        std::fprintf(out_, "%s\n",
                     JsonObject()
                         .text("event", "result")
                         .boolean("ok", false)
                         .number("exit", std::int64_t{kExitBadUsage})
                         .text("code", kCodeBadUsage)
                         .text("reason", text)
                         .str()
                         .c_str());
    }
    return kExitBadUsage;
}

int Run::noUsbDevice() {
    const auto target = usbTarget();
    const std::string reason =
        target ? usbBusReason(*target, {}, {OutcomeKind::NoUsbDevice}) : usbDeviceReason(0);
    std::fprintf(err_, "%s: --all found no USB device of the target's class\n", kProgram);
    if (!reason.empty()) {
        std::fprintf(err_, "  %s\n", terminalText(reason).c_str());
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

std::string Run::outputFileProblem(const std::string& path, const char* what) const {
    if (const std::string kind = unwritableKind(path); !kind.empty()) {
        return std::string("cannot write ") + what + " to " + path + ": it is " + kind +
               "; give a file, or a character device such as /dev/stdout";
    }
    // Appending to the image, or emptying it for the trace, would destroy what is to be written.
    std::error_code error;
    if (fs::equivalent(path, options_.imagePath, error)) {
        return std::string("cannot write ") + what + " to " + path + ": it is the image";
    }
    return {};
}

bool Run::openFiles(Shared& shared) {
    const std::string& receipts = options_.receiptPath;
    const std::string& trace = options_.tracePath;
    // Checked before anything is opened: a pipe that no program reads would hold the run up
    // for ever.
    for (const auto& [path, what] : {std::pair{&receipts, "receipts"}, {&trace, "the trace"}}) {
        if (path->empty()) {
            continue;
        }
        if (const std::string problem = outputFileProblem(*path, what); !problem.empty()) {
            usageFailure(problem);
            return false;
        }
    }
    if (!receipts.empty()) {
        shared.receipts.emplace(receipts);
        if (const int error = shared.receipts->check(); error != 0) {
            usageFailure("cannot write receipts to " + receipts + ": " + fileErrorText(error));
            return false;
        }
    }
    // One terminal or /dev/null may take both; one file may not (the receipts file is there
    // by now, so another spelling of it is found too).
    std::error_code same;
    if (!receipts.empty() && !trace.empty() && !fs::is_character_file(trace, same) &&
        (receipts == trace || fs::equivalent(receipts, trace, same))) {
        usageFailure("--receipt and --trace name the same file, " + trace);
        return false;
    }
    if (!trace.empty()) {
        int error = 0;
        shared.trace = TraceFile::create(trace, error);
        if (!shared.trace) {
            usageFailure("cannot write the trace to " + trace + ": " + fileErrorText(error));
            return false;
        }
    }
    return true;
}

int Run::download() {
    std::vector<BoardPort> ports;
    const bool chosen = choosePorts(ports);
    const bool json = options_.output == OutputStyle::Json;
    const bool several = ports.size() > 1;
    // From here a stop signal lets every board stop and close its port; the run then says so
    // (a signal before the boards start leaves them unstarted).
    struct StopSignals {
        std::atomic<bool>& flag = catchInterrupt();
        ~StopSignals() { interruptHandled(); }
    } signals;
    Shared shared(options_, out_, err_, renderModeFor(options_, out_, several), several,
                  several || options_.repeat != 1, signals.flag);
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
    std::vector<PortUse> uses;
    for (const auto& line : lines) {
        uses.push_back(line->portUse());
    }
    if (const std::string refused = checkPortsBeforeOpening(uses); !refused.empty()) {
        return usageFailure(refused);
    }
    if (!openFiles(shared)) {
        return kExitBadUsage;
    }

    PortLine& first = *lines.front();
    BoardResult checked;
    if (first.checkFollowUp(checked) == kExitDone) {
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
    const int traceError = shared.trace ? shared.trace->finish() : 0;
    return summarise(shared, lines,
                     std::chrono::duration<double>(SteadyClock::now() - started).count(),
                     traceError);
}

int Run::summarise(Shared& shared, std::vector<std::unique_ptr<PortLine>>& lines, double seconds,
                   int traceError) {
    const bool stopped = shared.stop.load();
    int worst = kExitDone;
    int written = 0;
    int failed = 0;
    std::string worstCode;  // the first board with the worst status names the run's failure
    for (const auto& line : lines) {
        for (const BoardResult& result : line->results()) {
            if (result.exit > worst) {
                worst = result.exit;
                worstCode = codeOf(result);
            }
            ++(result.exit == kExitDone ? written : failed);
        }
    }
    PortLine& first = *lines.front();
    std::string traceText;
    if (traceError != 0) {
        // Every board may be written, but the trace asked for is not whole.
        traceText =
            "cannot write the trace to " + shared.trace->path() + ": " + fileErrorText(traceError);
        const std::string& text = traceText;
        first.window().report(std::string(kProgram) + ": " + text);
        first.window().emitJson(JsonObject()
                                    .text("event", "fault")
                                    .text("code", kCodeTraceFailed)
                                    .text("reason", text)
                                    .str());
        if (worst == kExitDone) {
            worst = kExitTransferFailed;
            worstCode = kCodeTraceFailed;
        }
    }
    if (stopped) {
        worst = kExitInterrupted;
        worstCode = eventCode(OutcomeKind::Stopped);
        std::fprintf(err_, "%s: stopped by %s; every port is closed\n", kProgram, interruptName());
        std::fflush(err_);
    }
    if (shared.mode == RenderMode::Json) {
        if (!shared.perBoardResults && !first.results().empty()) {
            // One board: its result is the run's.
            BoardResult result = first.results().front();
            if (result.exit == kExitDone && worst != kExitDone) {
                result.exit = worst;
                result.code = worstCode;
                result.reason = traceText;
            }
            first.window().emitJson(first.resultEvent(result).str());
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
        if (!worstCode.empty()) {
            result.text("code", worstCode);
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
            if (result.exit != kExitDone) {
                outcome = "failed: " + codeOf(result);
            }
            if (result.outcome && namesFrame(result.outcome->kind)) {
                outcome += " at frame " + std::to_string(result.outcome->frame);
            }
            text += "  " + terminalText(line->label()) + " board " + std::to_string(result.board) +
                    ": " + outcome + ", " + figures + "\n";
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

std::vector<std::string> failureCodes() {
    std::vector<std::string> codes{kCodeBadUsage, kCodeReceiptFailed, kCodeTraceFailed};
    // Every kind after Done, up to Stopped, the last.
    for (int kind = static_cast<int>(OutcomeKind::Done) + 1;
         kind <= static_cast<int>(OutcomeKind::Stopped); ++kind) {
        codes.push_back(eventCode(static_cast<OutcomeKind>(kind)));
    }
    return codes;
}

int exitStatusFor(const Outcome& outcome, bool connecting) {
    if (outcome.ok()) {
        return kExitDone;
    }
    if (outcome.kind == OutcomeKind::Stopped) {
        return kExitInterrupted;
    }
    // A file named as a port is a wrong command line, like a bad image.
    if (isImageProblem(outcome.kind) || portFaultOf(outcome.error) == PortFault::NotAPort) {
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
        std::fprintf(err, "%s: %s\nTry '%s --help'.\n", kProgram,
                     terminalText(parsed.error).c_str(), kProgram);
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
                             .text("code", kCodeBadUsage)
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
    if (json && (options.action == CliAction::ListPorts || options.action == CliAction::Link)) {
        // Every stream opens with its version, whatever the run does.
        std::fprintf(out, "%s\n",
                     JsonObject()
                         .text("event", "start")
                         .number("schema", std::int64_t{kEventSchema})
                         .text("version", TERVAN_VERSION)
                         .str()
                         .c_str());
    }
    if (options.action == CliAction::ListPorts) {
        return printPortList(out, json);
    }
    if (options.action == CliAction::Link) {
        return runPortLink(options, out, err);
    }
    if (options.action == CliAction::UdevRule) {
        std::fputs(udevRuleFileText(*options.udevRuleId).c_str(), out);
        return kExitDone;
    }
    // The target on the USB bus: named on the command line, or else in the settings.
    if (options.usbId) {
        setUsbTarget(UsbTarget{*options.usbId, options.usbSerial});
    } else {
        setUsbTarget(storedUsbTarget(SettingsStore(defaultSettingsPath())));
    }
    Run run(options, out, err);
    return run.download();
}

}  // namespace tervan::cli
