#include "protocol/TargetSession.h"

#include <algorithm>
#include <cstring>

namespace tervan {
namespace {

std::string countdownText(int seconds) {
    return "Press reset on target! " + std::to_string(seconds) + " Seconds left!";
}

const char* rejectionText(std::uint8_t answer) {
    switch (answer) {
        case kAnswerCrcError:
            return "CRC error!";
        case kAnswerVerifyError:
            return "Verify error!";
        default:
            return "Unknown Answer!";
    }
}

}  // namespace

void TargetSession::applyModel() {
    const ModelParameters params = modelParameters(targetModel);
    pageSize = params.pageSize;
    flashSize = params.flashSize;
    frameLength = params.frameLength;
}

void TargetSession::setStatus(const std::string& text) {
    statusText = text;
    ui_.refresh();
}

void TargetSession::showConnected() {
    setStatus("Connected");
    ui_.enableButton(SessionButton::Connect, false);
    ui_.enableButton(SessionButton::Disconnect, true);
    if (targetMemory != 0) {
        ui_.enableButton(SessionButton::DownToRam, true);
        ui_.enableButton(SessionButton::RunRam, true);
    } else {
        ui_.enableButton(SessionButton::Download, true);
        ui_.enableButton(SessionButton::Reset, true);
    }
}

void TargetSession::showDisconnected() {
    ui_.setProgressPosition(0);
    setStatus("Disconnected");
    ui_.enableButton(SessionButton::Connect, true);
    ui_.enableButton(SessionButton::Disconnect, false);
    ui_.enableButton(SessionButton::Download, false);
    ui_.enableButton(SessionButton::DownToRam, false);
    ui_.enableButton(SessionButton::Reset, false);
    ui_.enableButton(SessionButton::RunRam, false);
}

void TargetSession::connectTarget() {
    WaitCursor busy(ui_);
    if (interfaceKind != 0) {
        // Serial: the port stays open from pass to pass; a pass ends after one read time-out
        // (about a second) without a byte. Stray bytes do not count down, but more than
        // kMaxStrayBytes of them end the wait.
        int seconds = kConnectSeconds;
        int stray = 0;
        while (seconds != 0) {
            setStatus(countdownText(seconds));
            if (!serialLink.isOpen()) {
                serialLink.close();
                if (!serialLink.open(comPortPath.c_str(), kSerialBaudRate)) {
                    serialLink.close();
                    ui_.messageBox("COM port not available!");
                    setStatus("COM port not available!");
                    return;
                }
            }
            std::uint8_t byte = 0;
            if (serialLink.read(&byte, 1).count == 0) {
                --seconds;
                continue;
            }
            if (byte == kAnswerAccepted) {
                serialLink.write(&kHandshakeReply, 1);
                showConnected();
                return;
            }
            if (++stray > kMaxStrayBytes) {
                break;
            }
        }
        serialLink.close();
    } else {
        // USB: every pass enumerates the devices and opens the pipes again.
        for (int seconds = kConnectSeconds; seconds >= 1; --seconds) {
            setStatus(countdownText(seconds));
            attachUsbDevice();
            if (usbDevice.present != 0) {
                std::uint8_t byte = 0;
                const LinkStatus status = linkStatusOf(usbLink.read(&byte, 1));
                if (status != LINK_OK) {
                    detachUsbDevice();
                    setStatus("Return code: " + std::to_string(static_cast<std::int16_t>(status)));
                } else if (byte == kAnswerAccepted) {
                    showConnected();
                    return;
                }
            }
            ui_.sleepMs(1000);
        }
        detachUsbDevice();
    }
    setStatus("Timeout. No Answer from device!");
    ui_.beep(BeepKind::Exclamation);
}

void TargetSession::disconnectTarget() {
    if (interfaceKind == 0) {
        detachUsbDevice();
    } else {
        serialLink.close();
    }
    showDisconnected();
}

bool TargetSession::checkImageLength() {
    if (imageLength == 0) {
        ui_.messageBox("Nothing to download!");
        return false;
    }
    if (imageLength > imageLimit()) {
        ui_.messageBox("File to big!");
        setStatus("File to big!");
        return false;
    }
    return true;
}

void TargetSession::downloadImage(std::uint8_t command) {
    if (!ui_.loadImage(true) || !checkImageLength()) {
        return;
    }
    if (interfaceKind != 0) {
        if (!serialLink.isOpen()) {
            ui_.messageBox("Not connected!");
            return;
        }
        serialLink.purge();
    } else if (usbDevice.present == 0) {
        ui_.messageBox("Not connected!");
        return;
    } else {
        // A byte left in the pipe would be read as the first frame's answer, and every answer
        // after it as the one before: a rejected last page would pass.
        usbLink.discardPending();
    }

    statusText = "Downloading...";
    ui_.setProgressRange(static_cast<std::uint16_t>(imageLength / pageSize));
    ui_.setProgressPosition(0);
    ui_.refresh();

    std::uint32_t remaining = imageLength;
    const std::uint8_t* source = imageBuffer.data();
    std::uint16_t block = 0;
    for (;;) {
        const std::uint32_t chunk = std::min(pageSize, remaining);
        buildFrame(frameBuffer.data(), model(), command, block, source, chunk);

        const bool accepted = interfaceKind != 0 ? sendFrameSerial() : sendFrameUsb();
        if (!accepted) {
            setStatus("Error while flashing");
            return;
        }
        ui_.setProgressPosition(
            static_cast<std::int16_t>((imageLength - remaining + chunk) / pageSize));
        ui_.refresh();
        if (chunk == remaining) {
            break;
        }
        remaining -= chunk;
        source += chunk;
        ++block;
    }
    setStatus("Write successfull!");
    ui_.beep(BeepKind::Default);
}

bool TargetSession::sendCommand(std::uint8_t command) {
    buildFrame(frameBuffer.data(), model(), command, 0, nullptr, 0);
    if (interfaceKind == 0) {
        usbLink.discardPending();
        return sendFrameUsb();
    }
    // Over the serial line the loader does not answer 'G' or 'R'.
    std::uint32_t written = 0;
    written = serialLink.write(frameBuffer.data(), frameLength).count;
    if (written != frameLength) {
        ui_.messageBox("Error while sending data!");
        return false;
    }
    return true;
}

bool TargetSession::sendFrameUsb() {
    // A rejected frame is sent again up to two more times; the last answer names the failure.
    int attempts = 3;
    std::uint32_t written = 0;
    written = usbLink.write(frameBuffer.data(), frameLength).count;
    for (;;) {
        if (written != frameLength) {
            ui_.messageBox("Error while sending data!");
            return false;
        }
        std::uint8_t answer = 0;
        if (linkStatusOf(usbLink.read(&answer, 1)) != LINK_OK) {
            ui_.messageBox("No Answer from device!");
            return false;
        }
        if (answer == kAnswerAccepted) {
            return true;
        }
        if (--attempts == 0) {
            ui_.messageBox(rejectionText(answer));
            return false;
        }
        written = 0;
        written = usbLink.write(frameBuffer.data(), frameLength).count;
    }
}

bool TargetSession::sendFrameSerial() {
    std::uint32_t written = 0;
    written = serialLink.write(frameBuffer.data(), frameLength).count;
    if (written != frameLength) {
        ui_.messageBox("Error while sending data!");
        return false;
    }
    std::uint8_t answer = 0;
    if (serialLink.read(&answer, 1).count == 0) {
        ui_.messageBox("No Answer from device!");
        return false;
    }
    serialLink.purge();
    if (answer == kAnswerAccepted) {
        return true;
    }
    ui_.messageBox(rejectionText(answer));
    return false;
}

void TargetSession::attachUsbDevice() {
    foundDeviceCount = enumerateUsbDevices(foundDevicePaths);
    if (foundDeviceCount == 0) {
        detachUsbDevice();
        return;
    }
    if (foundDeviceCount > 1) {
        detachUsbDevice();
        setStatus("To many devices!\n");
        return;
    }
    if (usbDevice.present == 0) {
        usbDevice.present = 1;
        const std::string& found = foundDevicePaths.front();
        const std::size_t length = std::min(found.size(), kDevicePathSize - 1);
        std::memcpy(usbDevice.path, found.data(), length);
        usbDevice.path[length] = '\0';
        usbDevice.deviceNumber = attachCount;
        ++attachCount;
        setStatus("Added device " + std::to_string(attachCount));
    }
    // A device recorded earlier keeps its recorded path.
    if (usbLink.open(usbDevice.path) != LINK_OK) {
        setStatus("Can not open device " + std::to_string(usbDevice.deviceNumber) + ", " +
                  usbDevice.path);
    }
}

void TargetSession::detachUsbDevice() {
    if (usbDevice.present == 0) {
        return;
    }
    usbLink.close();
    usbDevice = UsbDeviceRecord{};
}

}  // namespace tervan
