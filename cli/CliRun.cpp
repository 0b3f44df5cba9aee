#include "cli/CliRun.h"

#include <filesystem>
#include <memory>
#include <optional>

#include "app/DownloaderDialog.h"
#include "app/SettingsStore.h"
#include "cli/CliOptions.h"
#include "cli/CliWindow.h"
#include "cli/JsonText.h"
#include "cli/OsReasons.h"
#include "cli/PortLink.h"
#include "cli/PortList.h"
#include "cli/Terminal.h"
#include "link/SystemPaths.h"

#ifndef TERVAN_VERSION
#define TERVAN_VERSION "unknown"
#endif

namespace tervan::cli {
namespace {

constexpr const char* kProgram = "tervan-cli";

RenderMode renderModeFor(const CliOptions& options, std::FILE* out) {
    if (options.output == OutputStyle::Json) {
        return RenderMode::Json;
    }
    if (options.quiet) {
        return RenderMode::Quiet;
    }
    return redrawsInPlace(out) ? RenderMode::Bar : RenderMode::Lines;
}

class Run {
public:
    Run(const CliOptions& options, std::FILE* out, std::FILE* err)
        : options_(options), window_(renderModeFor(options, out), out, err) {}

    int download();

private:
    int end(int status);
    void applyOptions();
    int checkImage();
    int connect();
    int transfer();
    int followUp();
    // Keeps how the step ended for the result and gives its exit status.
    int ended(const Outcome& outcome, bool connecting = false);
    // Shows the status text on stderr too when no message box reported the failure.
    void reportStatusIfSilent(std::size_t messagesBefore);

    const CliOptions& options_;
    CliWindow window_;
    SettingsStore settings_{defaultSettingsPath()};
    std::unique_ptr<DownloaderDialog> dialog_;  // over 256 KiB: not on the stack
    std::string reason_;
    std::optional<Outcome> outcome_;
};

int Run::download() {
    // The command line only reads the user's settings; it never writes them.
    settings_.readOnly = true;
    dialog_ = std::make_unique<DownloaderDialog>(settings_);
    dialog_->setWindow(&window_);
    window_.watch(&dialog_->session());
    applyOptions();

    const bool ram = dialog_->session().targetMemory != 0;
    if (options_.then == FollowUp::Run && !ram) {
        window_.report(std::string(kProgram) + ": --then run starts a program in RAM: add --ram");
        return end(kExitBadUsage);
    }
    if (options_.then == FollowUp::Reset && ram) {
        window_.report(std::string(kProgram) +
                       ": --then reset follows a download to flash; after --ram use --then run");
        return end(kExitBadUsage);
    }

    for (const auto step : {&Run::checkImage, &Run::connect, &Run::transfer, &Run::followUp}) {
        if (const int status = (this->*step)(); status != kExitDone) {
            return end(status);
        }
    }
    return end(kExitDone);
}

int Run::end(int status) {
    if (dialog_) {
        dialog_->windowDestroyed();
    }
    window_.finish();
    if (window_.mode() == RenderMode::Json) {
        JsonObject result;
        result.text("event", "result")
            .boolean("ok", status == kExitDone)
            .number("exit", static_cast<std::int64_t>(status));
        if (window_.bytesSent() > 0) {
            result.number("bytes", static_cast<std::int64_t>(window_.bytesSent()))
                .number("seconds", window_.transferSeconds());
        }
        if (!reason_.empty()) {
            result.text("reason", reason_);
        }
        if (outcome_) {
            result.text("outcome", std::string(outcomeName(outcome_->kind)));
            if (namesFrame(outcome_->kind)) {
                result.number("frame", static_cast<std::int64_t>(outcome_->frame));
            }
            if (outcome_->answer != 0) {
                result.number("answer", static_cast<std::int64_t>(outcome_->answer));
            }
            if (outcome_->error != 0) {
                result.number("error", static_cast<std::int64_t>(outcome_->error));
            }
        }
        window_.emitJson(result.str());
    }
    return status;
}

void Run::applyOptions() {
    DownloaderDialog& d = *dialog_;
    TargetSession& session = d.session();
    if (options_.interfaceKind) {
        session.interfaceKind = *options_.interfaceKind;
    }
    if (options_.targetModel) {
        session.targetModel = *options_.targetModel;
    }
    session.applyModel();
    if (options_.targetMemory) {
        session.targetMemory = *options_.targetMemory;
    }
    if (options_.comPortPath) {
        session.comPortPath = *options_.comPortPath;
        if (options_.comIndex) {
            d.comIndex = *options_.comIndex;
        }
    } else {
        // The stored port, named as the window names it.
        d.formatComPortPath();
    }
    d.imagePath = options_.imagePath;
}

int Run::ended(const Outcome& outcome, bool connecting) {
    outcome_ = outcome;
    return exitStatusFor(outcome, connecting);
}

// A bad image ends the run before the user is asked to press reset.
int Run::checkImage() {
    DownloaderDialog& d = *dialog_;
    TargetSession& session = d.session();
    const std::string path = d.imagePath;
    if (const Outcome loaded = d.loadImage(true); !loaded.ok()) {
        reason_ = imageFileReason(path);
        window_.explain(reason_);
        return ended(loaded);
    }
    if (const Outcome length = session.checkImageLength(); !length.ok()) {
        if (session.imageLength != 0) {
            reason_ = path + " holds " + std::to_string(session.imageLength) + " bytes; " +
                      (session.targetMemory != 0 ? "RAM takes " : "this model's flash takes ") +
                      std::to_string(session.imageLimit());
            window_.explain(reason_);
        }
        return ended(length);
    }
    return kExitDone;
}

int Run::connect() {
    TargetSession& session = dialog_->session();
    const std::size_t before = window_.messages().size();
    const Outcome connected = session.connectTarget();
    if (connected.ok()) {
        if (session.interfaceKind != 0) {
            window_.explain(latencyNote(session.serialLink.latency), "notice");
        }
        return kExitDone;
    }
    reportStatusIfSilent(before);
    if (session.interfaceKind != 0) {
        reason_ = serialPortReason(session.comPortPath);
    } else {
        reason_ = usbDeviceReason(session.foundDeviceCount);
    }
    window_.explain(reason_);
    return ended(connected, true);
}

int Run::transfer() {
    DownloaderDialog& d = *dialog_;
    const std::size_t before = window_.messages().size();
    const Outcome sent =
        d.downloadImage(d.session().targetMemory != 0 ? kCommandRam : kCommandWrite);
    if (sent.ok()) {
        return kExitDone;
    }
    reportStatusIfSilent(before);
    return ended(sent);
}

int Run::followUp() {
    if (options_.then == FollowUp::None) {
        return kExitDone;
    }
    const Outcome sent =
        dialog_->sendCommand(options_.then == FollowUp::Reset ? kCommandReset : kCommandGo);
    return sent.ok() ? kExitDone : ended(sent);
}

void Run::reportStatusIfSilent(std::size_t messagesBefore) {
    const std::string& status = dialog_->session().statusText;
    if (window_.messages().size() == messagesBefore && !status.empty()) {
        window_.report(status);
    }
}

}  // namespace

int exitStatusFor(const Outcome& outcome, bool connecting) {
    if (outcome.ok()) {
        return kExitDone;
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
            std::fprintf(out, "%s\n",
                         JsonObject()
                             .text("event", "result")
                             .boolean("ok", false)
                             .number("exit", std::int64_t{kExitBadUsage})
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
        return printPortList(out, json);
    }
    if (options.action == CliAction::Link) {
        return runPortLink(options, out, err);
    }
    Run run(options, out, err);
    return run.download();
}

}  // namespace tervan::cli
