#include "cli/CliRun.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "app/SettingsStore.h"
#include "app/UsbSetting.h"
#include "cli/AppendFile.h"
#include "cli/BoardLine.h"
#include "cli/CliOptions.h"
#include "cli/JsonText.h"
#include "cli/OsReasons.h"
#include "cli/PortCheck.h"
#include "cli/PortLink.h"
#include "cli/PortList.h"
#include "cli/RunFiles.h"
#include "cli/RunSummary.h"
#include "cli/Sha256.h"
#include "cli/Terminal.h"
#include "cli/UsbBus.h"
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

    const CliOptions& options_;
    std::FILE* out_;
    std::FILE* err_;
};

int Run::usageFailure(const std::string& text) {
    std::fprintf(err_, "%s: %s\n", kProgram, terminalText(text).c_str());
    if (options_.output == OutputStyle::Json) {
        std::fprintf(out_, "%s\n", failureEvent(kExitBadUsage, kCodeBadUsage, text).str().c_str());
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
                     failureEvent(kExitNoConnection, eventCode(OutcomeKind::NoUsbDevice), reason)
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
    const std::string& log = options_.logPath;
    // Checked before anything is opened: a pipe that no program reads would hold the run up
    // for ever.
    for (const auto& [path, what] :
         {std::pair{&receipts, "receipts"}, {&trace, "the trace"}, {&log, "the log"}}) {
        if (path->empty()) {
            continue;
        }
        if (const std::string problem = outputFileProblem(*path, what); !problem.empty()) {
            usageFailure(problem);
            return false;
        }
    }
    if (!log.empty()) {
        // The log shares no file with the receipts or the trace (a terminal or /dev/null may
        // take them all).
        std::error_code same;
        for (const std::string* other : {&receipts, &trace}) {
            if (!other->empty() && !fs::is_character_file(log, same) &&
                (*other == log || fs::equivalent(*other, log, same))) {
                usageFailure("--log names the same file as " +
                             std::string(other == &receipts ? "--receipt" : "--trace") + ", " +
                             log);
                return false;
            }
        }
        shared.log = std::make_unique<MonitorLog>(log);
        if (const int error = shared.log->check(); error != 0) {
            usageFailure("cannot write the log to " + log + ": " + fileErrorText(error));
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
    // The image is read and placed before anything is said, so that the first event can
    // tell where it goes; what was wrong with it is said in the order of the checks below.
    if (!lines.empty()) {
        lines.front()->loadImage();
    }
    if (json) {
        std::vector<std::string> labels;
        for (const auto& line : lines) {
            labels.push_back(line->label());
        }
        // The first line of the stream, before anything else can be said.
        JsonObject event = startEvent();
        event.texts("ports", labels).text("image", options_.imagePath);
        if (const RawImage& placed = shared.placed; shared.read.ok() && placed.ok) {
            event.text("format", imageFormatName(options_.imageFormat));
            // A raw image for RAM goes wherever the loader puts it.
            if (options_.imageFormat != ImageFormat::Bin || placed.base != 0) {
                event.number("base", static_cast<std::int64_t>(placed.base))
                    .number("end", static_cast<std::int64_t>(placed.end));
            }
            event.number("size", static_cast<std::int64_t>(placed.size))
                .number("fill", static_cast<std::int64_t>(placed.fill));
        }
        const std::string start =
            event.number("repeat", static_cast<std::int64_t>(options_.repeat)).str() + "\n";
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
    if (first.checkFollowUp(checked) == kExitDone && first.checkImage(checked) == kExitDone &&
        shared.receipts) {
        shared.sha256 = sha256Hex(shared.image);
        if (options_.imageFormat == ImageFormat::Bin) {
            shared.sourceSha256 = shared.sha256;  // a raw image is its own file
        }
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
            first.view().emitJson(result.str());
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
    if (shared.log && shared.log->error() != 0 && shared.monitorFault.empty()) {
        shared.monitorFault = "cannot write the log to " + shared.log->path() + ": " +
                              fileErrorText(shared.log->error());
    }
    // Ctrl-C (or a stop signal) that ends the monitor of every port is how a monitor ends:
    // the boards were written, and the run says so.
    bool allMonitored = true;
    for (const auto& line : lines) {
        allMonitored = allMonitored && line->monitored();
    }
    if (allMonitored && shared.stop.load()) {
        shared.stop.store(false);
    }
    const int traceError = shared.trace ? shared.trace->finish() : 0;
    return summarise(shared, lines,
                     std::chrono::duration<double>(SteadyClock::now() - started).count(),
                     traceError);
}

}  // namespace

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
            std::fprintf(out, "%s\n%s\n", startEvent().str().c_str(),
                         failureEvent(kExitBadUsage, kCodeBadUsage, parsed.error).str().c_str());
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
        std::fprintf(out, "%s\n", startEvent().str().c_str());
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
