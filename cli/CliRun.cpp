#include "cli/CliRun.h"

#include <filesystem>
#include <memory>

#include "app/DownloaderDialog.h"
#include "app/SettingsStore.h"
#include "cli/CliOptions.h"
#include "cli/CliWindow.h"
#include "cli/JsonText.h"
#include "cli/OsReasons.h"
#include "cli/PortList.h"
#include "cli/Terminal.h"
#include "link/SystemPaths.h"

#ifndef TERVAN_VERSION
#define TERVAN_VERSION "unknown"
#endif

namespace tervan::cli {
namespace {

constexpr const char* kProgram = "tervan-cli";

// The controller's texts, as the window shows them.
constexpr const char* kConnectedText = "Connected";
constexpr const char* kWrittenText = "Write successfull!";

RenderMode renderModeFor(const CliOptions& options, std::FILE* out) {
    if (options.output == OutputStyle::Json) {
        return RenderMode::Json;
    }
    if (options.quiet) {
        return RenderMode::Quiet;
    }
    return redrawsInPlace(out) ? RenderMode::Bar : RenderMode::Lines;
}

// The outcome of one step: done, or the exit status its first failure text stands for.
// A failed step never gives kExitDone, even with texts this program does not know.
int failedStepStatus(const CliWindow& window, std::size_t messagesBefore, int fallback) {
    const auto& messages = window.messages();
    for (std::size_t i = messagesBefore; i < messages.size(); ++i) {
        if (const int status = exitStatusForText(messages[i]); status != kExitDone) {
            return status;
        }
    }
    if (const int status = exitStatusForText(window.status()); status != kExitDone) {
        return status;
    }
    return fallback;
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
    // Shows the status text on stderr too when no message box reported the failure.
    void reportStatusIfSilent(std::size_t messagesBefore);

    const CliOptions& options_;
    CliWindow window_;
    SettingsStore settings_{defaultSettingsPath()};
    std::unique_ptr<DownloaderDialog> dialog_;  // over 256 KiB: not on the stack
    std::string reason_;
};

int Run::download() {
    // The command line only reads the user's settings; it never writes them.
    settings_.readOnly = true;
    dialog_ = std::make_unique<DownloaderDialog>(settings_);
    dialog_->setWindow(&window_);
    window_.watch(dialog_.get());
    applyOptions();

    const bool ram = dialog_->targetMemory != 0;
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
        window_.emitJson(result.str());
    }
    return status;
}

void Run::applyOptions() {
    DownloaderDialog& d = *dialog_;
    if (options_.interfaceKind) {
        d.interfaceKind = *options_.interfaceKind;
    }
    if (options_.targetModel) {
        d.targetModel = *options_.targetModel;
    }
    d.applyModel();
    if (options_.targetMemory) {
        d.targetMemory = *options_.targetMemory;
    }
    if (options_.comPortPath) {
        d.comPortPath = *options_.comPortPath;
        if (options_.comIndex) {
            d.comIndex = *options_.comIndex;
        }
    } else {
        // The stored port, named as the window names it.
        d.formatComPortPath();
    }
    d.imagePath = options_.imagePath;
}

// A bad image ends the run before the user is asked to press reset.
int Run::checkImage() {
    DownloaderDialog& d = *dialog_;
    const std::string path = d.imagePath;
    const std::size_t before = window_.messages().size();
    if (!d.loadImage(true)) {
        reason_ = imageFileReason(path);
        window_.explain(reason_);
        return failedStepStatus(window_, before, kExitBadUsage);
    }
    if (!d.checkImageLength()) {
        if (d.imageLength != 0) {
            reason_ = path + " holds " + std::to_string(d.imageLength) + " bytes; " +
                      (d.targetMemory != 0 ? "RAM takes " : "this model's flash takes ") +
                      std::to_string(d.imageLimit());
            window_.explain(reason_);
        }
        return kExitBadUsage;
    }
    return kExitDone;
}

int Run::connect() {
    DownloaderDialog& d = *dialog_;
    const std::size_t before = window_.messages().size();
    d.connectTarget();
    if (d.statusText == kConnectedText) {
        return kExitDone;
    }
    reportStatusIfSilent(before);
    if (d.interfaceKind != 0) {
        reason_ = serialPortReason(d.comPortPath);
    } else {
        reason_ = usbDeviceReason(d.foundDeviceCount);
    }
    window_.explain(reason_);
    return failedStepStatus(window_, before, kExitNoConnection);
}

int Run::transfer() {
    DownloaderDialog& d = *dialog_;
    const std::size_t before = window_.messages().size();
    d.downloadImage(d.targetMemory != 0 ? kCommandRam : kCommandWrite);
    if (d.statusText == kWrittenText) {
        return kExitDone;
    }
    reportStatusIfSilent(before);
    return failedStepStatus(window_, before, kExitTransferFailed);
}

int Run::followUp() {
    DownloaderDialog& d = *dialog_;
    if (options_.then == FollowUp::None) {
        return kExitDone;
    }
    const std::size_t before = window_.messages().size();
    if (!d.sendCommand(options_.then == FollowUp::Reset ? kCommandReset : kCommandGo)) {
        return failedStepStatus(window_, before, kExitTransferFailed);
    }
    d.disconnectTarget();
    return kExitDone;
}

void Run::reportStatusIfSilent(std::size_t messagesBefore) {
    if (window_.messages().size() == messagesBefore && !dialog_->statusText.empty()) {
        window_.report(dialog_->statusText);
    }
}

}  // namespace

int exitStatusForText(const std::string& text) {
    static const std::pair<const char*, int> kTexts[] = {
        // The image.
        {"Could not load rom file!", kExitBadUsage},
        {"File size is larger than 256KB !", kExitBadUsage},
        {"Nothing to download!", kExitBadUsage},
        {"File to big!", kExitBadUsage},
        // The connection.
        {"COM port not available!", kExitNoConnection},
        {"Timeout. No Answer from device!", kExitNoConnection},
        {"Not connected!", kExitNoConnection},
        {"To many devices!\n", kExitNoConnection},
        // The transfer.
        {"Error while flashing", kExitTransferFailed},
        {"Error while sending data!", kExitTransferFailed},
        {"No Answer from device!", kExitTransferFailed},
        {"CRC error!", kExitTransferFailed},
        {"Verify error!", kExitTransferFailed},
        {"Unknown Answer!", kExitTransferFailed},
    };
    for (const auto& [known, status] : kTexts) {
        if (text == known) {
            return status;
        }
    }
    return kExitDone;
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
    Run run(options, out, err);
    return run.download();
}

}  // namespace tervan::cli
