#include "app/DownloaderDialog.h"

#include <chrono>
#include <thread>

#include "app/ImageFile.h"

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

// Closes the image file when the scope is left.
class OpenImage {
public:
    explicit OpenImage(const std::string& path) : handle(os::openImageFile(path)) {}
    ~OpenImage() { close(); }
    OpenImage(const OpenImage&) = delete;
    OpenImage& operator=(const OpenImage&) = delete;
    void close() {
        os::closeImageFile(handle);
        handle = kInvalidHandle;
    }
    PlatformHandle handle;
};

}  // namespace

DownloaderDialog::DownloaderDialog(SettingsStore& settings)
    : TargetSession(static_cast<SessionUi&>(*this)), settings_(settings) {
    interfaceKind = settings_.readSettingInt(kSettingsSection, "interface", 1);
    targetModel = settings_.readSettingInt(kSettingsSection, "model", 0);
    comIndex = settings_.readSettingInt(kSettingsSection, "com", 0);
    imagePath = settings_.readSettingText(kSettingsSection, "file", "");
    targetMemory = settings_.readSettingInt(kSettingsSection, "target", 0);
}

DownloaderDialog::~DownloaderDialog() = default;

void DownloaderDialog::initWindow() {
    refreshControls();
    usbDevice = UsbDeviceRecord{};
    attachCount = 0;
    imageLength = 0;
    refreshControls();
    applyModel();
    applyTargetButtons();
    formatComPortPath();
    if (interfaceKind == 0) {
        window_->enableControl(kComList, false);
    }
    disconnectTarget();
    if (!imagePath.empty()) {
        loadImage(false);
    }
}

void DownloaderDialog::formatComPortPath() {
    comPortPath = "\\\\.\\COM" + std::to_string(static_cast<std::int64_t>(comIndex) + 1);
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
    window_->setControlText(kStatusLine, statusText);
    radioPair(kUsbRadio, kSerialRadio, interfaceKind);
    radioPair(kModel256Radio, kModel64Radio, targetModel);
    window_->selectListEntry(kComList, comIndex >= 0 && comIndex < kComPortCount ? comIndex : -1);
    radioPair(kRomRadio, kRamRadio, targetMemory);
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
    statusText = window_->controlText(kStatusLine);
    interfaceKind = checkedIndex(kUsbRadio, kSerialRadio);
    targetModel = checkedIndex(kModel256Radio, kModel64Radio);
    comIndex = window_->selectedListEntry(kComList);
    targetMemory = checkedIndex(kRomRadio, kRamRadio);
    exchanging_ = false;
}

// ---- events ----

void DownloaderDialog::controlClicked(int id) {
    if (exchanging_ || window_ == nullptr) {
        return;
    }
    // The long operations keep the busy cursor for the whole handler.
    const auto busy = [this](auto&& work) {
        WaitCursor cursor(*this);
        work();
    };
    switch (id) {
        case kCloseButton:
            okCommand();
            break;
        case kOpenButton:
            chooseImageFile();
            break;
        case kDownloadButton:
            busy([this] { downloadImage(kCommandWrite); });
            break;
        case kDownToRamButton:
            busy([this] { downloadImage(kCommandRam); });
            break;
        case kResetButton:
            busy([this] {
                if (sendCommand(kCommandReset)) {
                    disconnectTarget();
                }
            });
            break;
        case kRunRamButton:
            busy([this] {
                if (sendCommand(kCommandGo)) {
                    disconnectTarget();
                }
            });
            break;
        case kConnectButton:
            connectTarget();
            break;
        case kDisconnectButton:
            disconnectTarget();
            break;
        case kUsbRadio:
        case kSerialRadio:
            interfaceChanged();
            break;
        case kModel256Radio:
        case kModel64Radio:
            modelChanged();
            break;
        case kRomRadio:
        case kRamRadio:
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
    if (serialLink.isOpen() == 1) {
        serialLink.close();
    }
    detachUsbDevice();
}

// ---- handlers ----

void DownloaderDialog::applyTargetButtons() {
    if (targetMemory == 0) {
        window_->enableControl(kDownToRamButton, false);
        window_->enableControl(kRunRamButton, false);
    } else {
        window_->enableControl(kDownloadButton, false);
        window_->enableControl(kResetButton, false);
    }
}

void DownloaderDialog::interfaceChanged() {
    readControls();
    if (interfaceKind == 0) {
        if (serialLink.isOpen()) {
            serialLink.close();
            showDisconnected();
        }
        window_->enableControl(kComList, false);
    } else {
        detachUsbDevice();
        window_->enableControl(kComList, true);
    }
    settings_.writeSettingInt(kSettingsSection, "interface", interfaceKind);
}

void DownloaderDialog::modelChanged() {
    readControls();
    applyModel();
    settings_.writeSettingInt(kSettingsSection, "model", targetModel);
}

void DownloaderDialog::comPortChanged() {
    readControls();
    formatComPortPath();
    if (serialLink.probe(comPortPath.c_str()) == kErrorNotFound) {
        messageBox("This COM-Port is not available!");
        return;
    }
    settings_.writeSettingInt(kSettingsSection, "com", comIndex);
    disconnectTarget();
}

void DownloaderDialog::targetChanged() {
    readControls();
    applyTargetButtons();
    settings_.writeSettingInt(kSettingsSection, "target", targetMemory);
}

// ---- image file ----

void DownloaderDialog::chooseImageFile() {
    const std::string initial = settings_.readSettingText(kSettingsSection, "file", "");
    const auto chosen = window_->chooseImageFile(initial);
    if (!chosen) {
        return;
    }
    imagePath = *chosen;
    loadImage(false);
}

bool DownloaderDialog::loadImage(bool readData) {
    OpenImage file(imagePath);
    if (file.handle == kInvalidHandle) {
        imagePath.clear();
        if (readData) {
            messageBox("Could not load rom file!");
        }
        return false;
    }
    os::ImageFileInfo info;
    if (!os::imageFileInfo(file.handle, &info)) {
        file.close();
        if (readData) {
            messageBox("Could not load rom file!");
        }
        return false;
    }
    // The whole 64-bit length is compared: a file of 4 GiB and a few bytes must not pass as
    // a few bytes.
    if (info.size > kMaxImageSize) {
        file.close();
        imageLength = 0;
        // Closing a message box activates the window again, which re-checks the file. A
        // re-check reports a file it has already reported only when the file has changed.
        const FileStamp stamp{imagePath, info.size, info.modified};
        const bool alreadyReported = activationCheck_ && reportedOversize_ == stamp;
        reportedOversize_ = stamp;
        if (!alreadyReported) {
            messageBox("File size is larger than 256KB !");
        }
        return false;
    }
    const auto length = static_cast<std::uint32_t>(info.size);
    if (readData) {
        // A read that stays short of the file's length is a failure, never a download of
        // what the buffer held before.
        if (os::readImageFile(file.handle, imageBuffer.data(), length) != length) {
            file.close();
            messageBox("Could not load rom file!");
            return false;
        }
    } else {
        settings_.writeSettingText(kSettingsSection, "file", imagePath);
    }
    file.close();
    imageLength = length;
    reportedOversize_.reset();
    sizeText = std::to_string(imageLength) + " Bytes";
    refreshControls();
    return true;
}

// ---- window services ----

void DownloaderDialog::messageBox(const std::string& text) {
    window_->messageBox(text);
}

void DownloaderDialog::beep(BeepKind kind) {
    window_->beep(kind);
}

void DownloaderDialog::setProgressRange(std::uint16_t upper) {
    window_->setProgressRange(0, upper);
}

void DownloaderDialog::setProgressPosition(std::int16_t position) {
    window_->setProgressPosition(position);
}

void DownloaderDialog::enableButton(SessionButton button, bool enabled) {
    window_->enableControl(controlOf(button), enabled);
}

void DownloaderDialog::setWaitCursor(bool on) {
    window_->setWaitCursor(on);
}

void DownloaderDialog::sleepMs(int milliseconds) {
    if (sleeper) {
        sleeper(milliseconds);
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
}

}  // namespace tervan
