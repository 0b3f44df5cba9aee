#include "app/DownloaderDialog.h"

#include "app/ImageRead.h"
#include "app/StoredChoices.h"
#include "protocol/BoardRun.h"

namespace tervan {
namespace {

int controlOf(SessionButton button) {
    switch (button) {
        case SessionButton::Connect:
            return kConnectButton;
        case SessionButton::Disconnect:
            return kDisconnectButton;
        case SessionButton::Download:
            return kDownloadButton;
        case SessionButton::Reset:
            return kResetButton;
        case SessionButton::DownToRam:
            return kDownToRamButton;
        case SessionButton::RunRam:
            return kRunRamButton;
    }
    return 0;
}

}  // namespace

DownloaderDialog::DownloaderDialog(SettingsStore& settings, Clock& clock)
    : clock_(clock), session_(*this, clock_), settings_(settings) {
    const StoredChoices stored = readStoredChoices(settings_);
    SessionOptions chosen;
    chosen.interfaceKind = stored.interfaceKind;
    chosen.targetModel = stored.targetModel;
    chosen.targetMemory = stored.targetMemory;
    session_.configure(chosen);
    comIndex = stored.comIndex;
    imagePath = stored.imagePath;
    // A write that waits for another copy of the program keeps the window painted. A store
    // that only reads (the command line's) is left as it is.
    if (!settings_.readOnly) {
        settings_.clock = &clock_;
    }
}

DownloaderDialog::~DownloaderDialog() {
    if (settings_.clock == &clock_) {
        settings_.clock = nullptr;
    }
}

void DownloaderDialog::setWindow(DialogWindow* window) {
    window_ = window;
    handlers.setWindow(window);
    if (window != nullptr && window->keepsAlive()) {
        clock_.setKeepAlive([window] { window->keepAlive(); });
    } else {
        clock_.setKeepAlive(nullptr);
    }
}

void DownloaderDialog::initWindow() {
    refreshControls();
    session_.usbDevice = UsbDeviceRecord{};
    session_.attachCount = 0;
    session_.imageLength = 0;
    refreshControls();
    applyTargetButtons();
    formatComPortPath();
    if (session_.options().interfaceKind == 0) {
        window_->enableControl(kComList, false);
    }
    session_.disconnectTarget();
    if (!imagePath.empty()) {
        loadImage(false);
    }
}

void DownloaderDialog::formatComPortPath() {
    SessionOptions options = session_.options();
    options.comPortPath = comPortPathFor(comIndex);
    session_.configure(options);
}

// ---- exchange between state and controls ----

void DownloaderDialog::refreshControls() {
    exchanging_ = true;
    const auto radioPair = [this](int first, int second, std::int32_t value) {
        window_->setChecked(first, value == 0);
        window_->setChecked(second, value == 1);
    };
    window_->setControlText(kPathField, imagePath);
    window_->setControlText(kSizeLabel, sizeText);
    window_->setControlText(kStatusLine, session_.statusText);
    radioPair(kUsbRadio, kSerialRadio, session_.options().interfaceKind);
    radioPair(kModel256Radio, kModel64Radio, session_.options().targetModel);
    window_->selectListEntry(kComList, comIndex >= 0 && comIndex < kComPortCount ? comIndex : -1);
    radioPair(kRomRadio, kRamRadio, session_.options().targetMemory);
    exchanging_ = false;
    window_->repaint();
}

void DownloaderDialog::readControls() {
    exchanging_ = true;
    const auto checkedIndex = [this](int first, int second) {
        if (window_->isChecked(first)) {
            return 0;
        }
        return window_->isChecked(second) ? 1 : -1;
    };
    imagePath = window_->controlText(kPathField);
    sizeText = window_->controlText(kSizeLabel);
    session_.statusText = window_->controlText(kStatusLine);
    SessionOptions options = session_.options();
    options.interfaceKind = checkedIndex(kUsbRadio, kSerialRadio);
    options.targetModel = checkedIndex(kModel256Radio, kModel64Radio);
    comIndex = window_->selectedListEntry(kComList);
    options.targetMemory = checkedIndex(kRomRadio, kRamRadio);
    session_.configure(options);
    exchanging_ = false;
}

// The clicked button is the choice. Its group's checks are set here rather than left to the
// buttons' own handling, which leaves a disabled button of the group ("USB port") checked, so
// that the handler's readControls would read the old choice back.
void DownloaderDialog::chooseRadio(int first, int second, int clicked) {
    exchanging_ = true;
    window_->setChecked(first, clicked == first);
    window_->setChecked(second, clicked == second);
    exchanging_ = false;
}

// ---- events ----

void DownloaderDialog::controlClicked(int id) {
    if (exchanging_ || window_ == nullptr) {
        return;
    }
    switch (id) {
        case kCloseButton:
            okCommand();
            break;
        case kOpenButton:
            chooseImageFile();
            break;
        case kDownloadButton:
            downloadImage(kCommandWrite);
            break;
        case kDownToRamButton:
            downloadImage(kCommandRam);
            break;
        case kResetButton:
            sendCommand(kCommandReset);
            break;
        case kRunRamButton:
            sendCommand(kCommandGo);
            break;
        case kConnectButton:
            session_.connectTarget();
            break;
        case kDisconnectButton:
            session_.disconnectTarget();
            break;
        case kUsbRadio:
        case kSerialRadio:
            chooseRadio(kUsbRadio, kSerialRadio, id);
            interfaceChanged();
            break;
        case kModel256Radio:
        case kModel64Radio:
            chooseRadio(kModel256Radio, kModel64Radio, id);
            modelChanged();
            break;
        case kRomRadio:
        case kRamRadio:
            chooseRadio(kRomRadio, kRamRadio, id);
            targetChanged();
            break;
        default:
            break;
    }
}

void DownloaderDialog::comSelectionChanged() {
    if (exchanging_ || window_ == nullptr) {
        return;
    }
    comPortChanged();
}

void DownloaderDialog::okCommand() {
    readControls();
    window_->endDialog(DialogResult::Ok);
}

void DownloaderDialog::cancelCommand() {
    window_->endDialog(DialogResult::Cancel);
}

void DownloaderDialog::handleActivation(int state, bool minimized) {
    if (state != 1 || minimized || imagePath.empty() || window_ == nullptr) {
        return;
    }
    activationCheck_ = true;
    loadImage(false);
    activationCheck_ = false;
}

void DownloaderDialog::windowDestroyed() {
    if (session_.serialLink.isOpen() == 1) {
        session_.serialLink.close();
    }
    session_.detachUsbDevice();
}

// ---- handlers ----

void DownloaderDialog::applyTargetButtons() {
    if (session_.options().targetMemory == 0) {
        window_->enableControl(kDownToRamButton, false);
        window_->enableControl(kRunRamButton, false);
    } else {
        window_->enableControl(kDownloadButton, false);
        window_->enableControl(kResetButton, false);
    }
}

void DownloaderDialog::interfaceChanged() {
    readControls();
    if (session_.options().interfaceKind == 0) {
        if (session_.serialLink.isOpen()) {
            session_.serialLink.close();
            session_.showDisconnected();
        }
        window_->enableControl(kComList, false);
    } else {
        session_.detachUsbDevice();
        window_->enableControl(kComList, true);
    }
    settingStored(
        settings_.writeSettingInt(kSettingsSection, "interface", session_.options().interfaceKind));
}

void DownloaderDialog::modelChanged() {
    readControls();
    settingStored(
        settings_.writeSettingInt(kSettingsSection, "model", session_.options().targetModel));
}

void DownloaderDialog::comPortChanged() {
    readControls();
    formatComPortPath();
    if (session_.serialLink.probe(session_.options().comPortPath.c_str()) == kErrorNotFound) {
        message("This COM-Port is not available!");
        return;
    }
    settingStored(settings_.writeSettingInt(kSettingsSection, "com", comIndex));
    session_.disconnectTarget();
}

void DownloaderDialog::targetChanged() {
    readControls();
    applyTargetButtons();
    settingStored(
        settings_.writeSettingInt(kSettingsSection, "target", session_.options().targetMemory));
}

// A choice that could not be stored holds until the program ends; the user is told once,
// and again only after a later write has gone through. A settings file its owner made
// read-only is left alone without a word.
void DownloaderDialog::settingStored(bool stored) {
    const SettingsFailure failure = settings_.lastFailure();
    if (stored || failure == SettingsFailure::None) {
        settingsFailureShown_ = false;
        return;
    }
    if (failure == SettingsFailure::Refused || settingsFailureShown_) {
        return;
    }
    settingsFailureShown_ = true;
    const char* reason = failure == SettingsFailure::Busy
                             ? "another copy of the program kept it busy"
                         : failure == SettingsFailure::NoFolder ? "its folder could not be made"
                                                                : "it could not be written";
    message("Your choice could not be stored in " + settings_.settingsPath + ": " + reason +
            ". It holds until the program ends.");
}

// ---- image file ----

void DownloaderDialog::chooseImageFile() {
    const std::string initial = settings_.readSettingText(kSettingsSection, "file", "");
    const auto chosen = window_->chooseImageFile(initial);
    if (!chosen) {
        return;
    }
    imageFileGiven(*chosen);
}

void DownloaderDialog::imageFileGiven(const std::string& path) {
    if (window_ == nullptr) {
        return;
    }
    imagePath = path;
    loadImage(false);
}

Outcome DownloaderDialog::loadImage(bool readData) {
    // Only a read for a download reports a file that cannot be opened or read; a check
    // forgets the path silently.
    const auto fail = [this, readData](OutcomeKind kind) {
        const Outcome outcome{kind};
        if (readData) {
            session_.finish(Sequence::ImageFile, outcome);
        }
        return outcome;
    };
    // A file still being written is waited for a little, then refused, naming the process.
    // The path stays, so the next check or download takes the finished file.
    const ImageRead read =
        readImage(imagePath, clock_, readData ? session_.imageBuffer.data() : nullptr);
    imageWriter_ = read.writer;
    if (imageWriter_) {
        const std::pair<std::string, std::int64_t> writer{imagePath, imageWriter_->pid};
        const bool alreadyReported = activationCheck_ && reportedWriter_ == writer;
        reportedWriter_ = writer;
        if (!alreadyReported) {
            message(imageBeingWrittenText(os::writerText(*imageWriter_)));
        }
        return Outcome{OutcomeKind::ImageBeingWritten};
    }
    reportedWriter_.reset();
    if (read.kind == OutcomeKind::ImageMissing) {
        imagePath.clear();
        return fail(OutcomeKind::ImageMissing);
    }
    if (read.kind == OutcomeKind::ImageOverLimit) {
        session_.imageLength = 0;
        // Closing a message box activates the window again, which re-checks the file. A
        // re-check reports a file it has already reported only when the file has changed.
        const FileStamp stamp{imagePath, read.info.size, read.info.modified};
        const bool alreadyReported = activationCheck_ && reportedOversize_ == stamp;
        reportedOversize_ = stamp;
        const Outcome outcome{OutcomeKind::ImageOverLimit};
        if (!alreadyReported) {
            session_.finish(Sequence::ImageFile, outcome);
        }
        return outcome;
    }
    if (!read.ok()) {
        return fail(read.kind);
    }
    if (!readData) {
        settingStored(settings_.writeSettingText(kSettingsSection, "file", imagePath));
    }
    session_.imageLength = read.length;
    reportedOversize_.reset();
    sizeText = std::to_string(session_.imageLength) + " Bytes";
    refreshControls();
    return kDone;
}

Outcome DownloaderDialog::downloadImage(std::uint8_t command) {
    // The busy cursor stays for the whole handler.
    WaitCursor cursor(*this);
    if (const Outcome loaded = loadImage(true); !loaded.ok()) {
        return loaded;
    }
    return BoardRun(session_).download(command,
                                       {session_.imageBuffer.data(), session_.imageLength});
}

Outcome DownloaderDialog::sendCommand(std::uint8_t command) {
    WaitCursor cursor(*this);
    return BoardRun(session_).followUp(command);
}

// ---- the session's reports ----

void DownloaderDialog::message(const std::string& text) {
    window_->messageBox(text);
}

void DownloaderDialog::beep(BeepKind kind) {
    window_->beep(kind);
}

void DownloaderDialog::progressRange(std::uint16_t upper) {
    window_->setProgressRange(0, upper);
}

void DownloaderDialog::progress(std::int16_t position) {
    window_->setProgressPosition(position);
    refreshControls();
}

void DownloaderDialog::enableButton(SessionButton button, bool enabled) {
    window_->enableControl(controlOf(button), enabled);
}

void DownloaderDialog::waitCursor(bool on) {
    window_->setWaitCursor(on);
}

}  // namespace tervan
