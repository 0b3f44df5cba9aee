#include "cli/BoardLine.h"

#include <filesystem>

#include "app/ImageRead.h"
#include "app/StoredChoices.h"
#include "cli/OsReasons.h"
#include "cli/Sha256.h"
#include "cli/SystemPorts.h"
#include "cli/Terminal.h"
#include "cli/UsbBus.h"
#include "link/SerialPort.h"
#include "link/UsbTarget.h"
#include "protocol/BoardRun.h"

namespace tervan::cli {
namespace {

namespace fs = std::filesystem;

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

// The words that go with an ending: its message, or else the status it leaves.
std::string failureText(Sequence sequence, const Outcome& outcome, const std::string& status) {
    if (outcome.kind == OutcomeKind::Stopped) {
        return {};
    }
    const Presentation shown = presentationOf(sequence, outcome);
    return !shown.message.empty() ? shown.message : status;
}

}  // namespace

PortLine::PortLine(Shared& shared, BoardPort port) : shared_(shared), port_(std::move(port)) {
    // The stored choices, overridden by the options.
    const CliOptions& options = shared_.options;
    const StoredChoices stored = readStoredChoices(shared_.settings);
    const std::int32_t interfaceKind = options.interfaceKind.value_or(stored.interfaceKind);
    std::int32_t comIndex = stored.comIndex;
    std::string comPortPath = comPortPathFor(comIndex);
    if (port_.serial) {
        comPortPath = port_.serial->path;
        comIndex = port_.serial->comIndex.value_or(comIndex);
    }
    if (port_.label.empty()) {
        port_.label = interfaceKind == 0 ? "usb" : "COM" + std::to_string(comIndex + 1);
    }
    view_ = std::make_unique<BoardView>(shared_.mode, shared_.out, shared_.err, port_.label,
                                        shared_.severalPorts);
    session_ = std::make_unique<TargetSession>(*view_);
    TargetSession& session = *session_;
    SessionOptions chosen;
    chosen.interfaceKind = interfaceKind;
    chosen.targetModel = options.targetModel.value_or(stored.targetModel);
    chosen.targetMemory = options.targetMemory.value_or(stored.targetMemory);
    chosen.comPortPath = comPortPath;
    chosen.usbDeviceName = port_.usbDevice;
    session.configure(chosen);
    session.stopRequested = &shared_.stop;
    view_->watch(&session.lastTransfer());
    if (options.monitorBaud) {
        watched_ = std::make_unique<SerialLink>();
    }
}

PortUse PortLine::portUse() const {
    const SessionOptions& chosen = session_->options();
    return chosen.interfaceKind != 0 ? PortUse{port_.label, true, chosen.comPortPath}
                                     : PortUse{port_.label, false, chosen.usbDeviceName};
}

int PortLine::checkFollowUp(BoardResult& result) {
    const FollowUp then = shared_.options.then;
    const bool ram = session_->options().targetMemory != 0;
    if (then == FollowUp::Run && !ram) {
        result.reason = "--then run starts a program in RAM: add --ram";
    } else if (then == FollowUp::Reset && ram) {
        result.reason = "--then reset follows a download to flash; after --ram use --then run";
    } else if (shared_.options.monitorBaud && session_->options().interfaceKind == 0) {
        result.reason =
            "--monitor watches a serial port; the USB pipes carry no output of the board";
    } else {
        return kExitDone;
    }
    view_->report(std::string(kProgram) + ": " + result.reason);
    result.exit = kExitBadUsage;
    result.code = kCodeBadUsage;
    return result.exit;
}

void PortLine::loadImage() {
    const CliOptions& options = shared_.options;
    const SessionOptions& chosen = session_->options();
    RawImage& placed = shared_.placed;
    if (options.imageFormat == ImageFormat::Bin) {
        // A raw image is sent as it stands, under the limits it always had.
        shared_.image.resize(kMaxImageSize);
        shared_.read = readImage(options.imagePath, session_->clock(), shared_.image.data());
        shared_.image.resize(shared_.read.ok() ? shared_.read.length : 0);
        placed.ok = true;
        placed.base = chosen.targetMemory == 0 ? kFlashAddress : 0;
        placed.size = static_cast<std::uint32_t>(shared_.image.size());
        placed.end = placed.base + placed.size;
        return;
    }
    std::vector<std::uint8_t> file;
    shared_.read = readImageSource(options.imagePath, session_->clock(), kMaxImageSourceSize, file);
    if (!shared_.read.ok()) {
        return;
    }
    ImageOptions wanted;
    wanted.format = options.imageFormat;
    wanted.memory = chosen.targetMemory == 0 ? ImageMemory::Flash : ImageMemory::Ram;
    wanted.model = chosen.targetModel;
    wanted.base = options.imageBase;
    placed = makeRawImage(file, wanted);
    shared_.image = std::move(placed.bytes);
    placed.bytes.clear();
    if (!options.receiptPath.empty()) {
        shared_.sourceSha256 = sha256Hex(file);
    }
}

int PortLine::checkImage(BoardResult& result) {
    TargetSession& session = *session_;
    const std::string& path = shared_.options.imagePath;
    const ImageRead& read = shared_.read;
    const RawImage& placed = shared_.placed;
    if (!read.ok()) {
        const Outcome loaded{read.kind};
        if (read.writer) {
            const std::string writer = os::writerText(*read.writer);
            result.text = imageBeingWrittenText(writer);
            view_->message(result.text);
            result.reason = path + " is still being written by " + writer;
        } else {
            session.finish(Sequence::ImageFile, loaded);
            result.reason = read.kind == OutcomeKind::ImageOverLimit &&
                                    shared_.options.imageFormat != ImageFormat::Bin
                                ? path + " is larger than the " +
                                      std::to_string(kMaxImageSourceSize >> 20) +
                                      " MiB read of an image file with addresses"
                                : imageFileReason(path);
        }
        view_->explain(result.reason);
        const std::string text = result.text;
        failed(result, Sequence::ImageFile, loaded);
        if (!text.empty()) {
            result.text = text;
        }
        return result.exit;
    }
    if (!placed.ok) {
        // Nothing of a file that gives no whole image is sent.
        result.reason = path + ": " + placed.reason;
        view_->report(std::string(kProgram) + ": " + result.reason);
        result.exit = kExitBadUsage;
        result.code = kCodeBadImage;
        return result.exit;
    }
    if (placed.format != ImageFormat::Bin && placed.size > 0 &&
        (view_->mode() == RenderMode::Bar || view_->mode() == RenderMode::Lines)) {
        view_->line(shared_.out, "image: " + terminalText(path) + " (" +
                                     imageFormatName(placed.format) + "), " +
                                     imageRangeText(placed));
    }
    session.imageLength = static_cast<std::uint32_t>(shared_.image.size());
    if (const Outcome length = session.checkImageLength(); !length.ok()) {
        if (session.imageLength != 0) {
            result.reason =
                path + " holds " + std::to_string(session.imageLength) + " bytes; " +
                (session.options().targetMemory != 0 ? "RAM takes " : "this model's flash takes ") +
                std::to_string(session.imageLimit());
            view_->explain(result.reason);
        }
        failed(result, Sequence::Download, length);
        return result.exit;
    }
    return kExitDone;
}

void PortLine::run() {
    keepInterruptAway();
    TargetSession& session = *session_;
    if (session.options().interfaceKind != 0 && shared_.receipts) {
        adapter_ = adapterOf(session.options().comPortPath);
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
        SessionOptions chosen = session.options();
        chosen.connectSeconds =
            number == 1 ? kConnectSeconds : shared_.options.waitSeconds.value_or(0);
        session.configure(chosen);
        BoardResult result = board(number);
        if (result.exit == kExitInterrupted && !result.transferred) {
            break;  // stopped while waiting for a board: there was none
        }
        const int receiptError = writeReceipt(shared_, session, port_.label, adapter_, result);
        if (receiptError != 0) {
            receiptFailed(shared_, *view_, result, receiptError);
        }
        if (shared_.perBoardResults) {
            view_->emitJson(resultEvent(result).str());
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
    if (watched_ && watched_->isOpen() && !results_.empty() && results_.back().exit == kExitDone &&
        !shared_.stop.load()) {
        monitor();
    }
}

void PortLine::monitor() {
    monitored_ = true;
    const CliOptions& options = shared_.options;
    MonitorSetup setup;
    setup.baud = *options.monitorBaud;
    setup.seconds = options.monitorSeconds;
    setup.timestamps = options.timestamps;
    setup.log = shared_.log.get();
    setup.stop = &shared_.stop;
    setup.exitKey = &shared_.exitKey;
    setup.out = shared_.out;
    setup.err = shared_.err;
    setup.notices = !options.quiet;
    setup.severalPorts = shared_.severalPorts;
    view_->finish();
    {
        // The terminal reads keys only while some port is watched.
        const std::lock_guard<std::mutex> hold(shared_.monitorLock);
        if (shared_.monitoring++ == 0) {
            shared_.keyWatch = std::make_unique<ExitKeyWatch>(shared_.exitKey);
        }
    }
    const bool watched = monitorPort(setup, *view_, *watched_, session_->options().comPortPath);
    {
        const std::lock_guard<std::mutex> hold(shared_.monitorLock);
        if (--shared_.monitoring == 0) {
            shared_.keyWatch.reset();
        }
        if (!watched && shared_.monitorFault.empty()) {
            shared_.monitorFault = port_.label + " does not take " + std::to_string(setup.baud) +
                                   " baud; nothing was monitored";
        }
    }
    watched_->close();
}

void PortLine::connected() {
    TargetSession& session = *session_;
    if (session.options().interfaceKind == 0 && shared_.receipts) {
        // The device on the bus goes into the receipts as a serial adapter does.
        const UsbDeviceIds ids = usbDeviceIdsOf(session.usbDevice.path);
        adapter_ = {ids.ids, ids.serial};
    }
    if (session.options().interfaceKind != 0) {
        // Said once per port: a board after the first finds the timer as the first left it.
        view_->explain(latencyNote(session.serialLink.latency), "notice");
    }
}

BoardResult PortLine::board(int number) {
    TargetSession& session = *session_;
    BoardResult result;
    result.board = number;
    std::optional<std::uint8_t> then;
    if (shared_.options.then != FollowUp::None) {
        then = shared_.options.then == FollowUp::Reset ? kCommandReset : kCommandGo;
    }
    BoardRun steps(session);
    steps.keepSerialLinkIn(watched_.get());
    const BoardOutcome ended =
        steps.run(shared_.image, session.options().targetMemory != 0 ? kCommandRam : kCommandWrite,
                  then, [this] { connected(); });
    result.transferred = ended.transfer.begun;
    if (result.transferred) {
        result.sent = ended.transfer;
        result.bytes = ended.transfer.bytesAccepted;
        result.seconds = ended.transfer.seconds();
    }
    if (ended.outcome.ok()) {
        return result;
    }
    const bool stopped = ended.outcome.kind == OutcomeKind::Stopped;
    switch (ended.step) {
        case BoardStep::Connect:
            if (!stopped) {
                reportStatusIfSilent(Sequence::Connect, ended.outcome);
                result.reason = connectReason(ended.outcome);
                view_->explain(result.reason);
            }
            failed(result, Sequence::Connect, ended.outcome);
            break;
        case BoardStep::Download:
            if (!stopped) {
                reportStatusIfSilent(Sequence::Download, ended.outcome);
            }
            failed(result, Sequence::Download, ended.outcome);
            break;
        case BoardStep::FollowUp:
            failed(result, Sequence::Command, ended.outcome);
            break;
    }
    return result;
}

std::string PortLine::connectReason(const Outcome& outcome) const {
    const TargetSession& session = *session_;
    if (session.options().interfaceKind != 0) {
        return serialPortReason(session.options().comPortPath);
    }
    if (const auto target = usbTarget()) {
        return usbBusReason(*target, port_.usbDevice, outcome);
    }
    return usbDeviceReason(session.foundDeviceCount());
}

void PortLine::failed(BoardResult& result, Sequence sequence, const Outcome& outcome) {
    result.outcome = outcome;
    result.exit = exitStatusFor(outcome, sequence == Sequence::Connect);
    result.text = failureText(sequence, outcome, session_->statusText);
}

void PortLine::reportStatusIfSilent(Sequence sequence, const Outcome& outcome) {
    const std::string& status = session_->statusText;
    if (presentationOf(sequence, outcome).message.empty() && !status.empty()) {
        view_->report(status);
    }
}

void PortLine::close() {
    session_->serialLink.close();
    if (watched_) {
        watched_->close();
    }
    session_->detachUsbDevice();
    view_->finish();
}

JsonObject PortLine::resultEvent(const BoardResult& result) const {
    JsonObject event = view_->event("result");
    event.number("board", static_cast<std::int64_t>(result.board));
    addResultFields(event, result);
    return event;
}

}  // namespace tervan::cli
