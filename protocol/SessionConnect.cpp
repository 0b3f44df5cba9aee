// The session's connection: the connect wait over the serial line or the USB pipes, the USB
// device it records, and the disconnected state.
#include <algorithm>
#include <cstring>

#include "link/PortFault.h"
#include "protocol/SessionAnswers.h"
#include "protocol/TargetSession.h"

namespace tervan {
namespace {

Outcome portOutcome(int error) {
    switch (portFaultOf(error)) {
        case PortFault::Missing:
            return {OutcomeKind::PortMissing, 0, 0, error};
        case PortFault::Busy:
            return {OutcomeKind::PortBusy, 0, 0, error};
        case PortFault::Denied:
            return {OutcomeKind::PortDenied, 0, 0, error};
        default:
            return {OutcomeKind::PortFailed, 0, 0, error};
    }
}

}  // namespace

bool isUsbDeviceNamed(const std::string& path, const std::string& name) {
    if (path == name) {
        return true;
    }
    // "usb:1-2" (a device on the bus) is named by its bus path as well.
    const auto slash = path.find_last_of("/\\:");
    return slash != std::string::npos && path.compare(slash + 1, std::string::npos, name) == 0;
}

Outcome TargetSession::attachUsbDevice() {
    foundDeviceCount_ = enumerateUsbDevices(foundDevicePaths);
    if (!options_.usbDeviceName.empty()) {
        // Only the named device counts: the others belong to other sessions.
        std::erase_if(foundDevicePaths, [this](const std::string& path) {
            return !isUsbDeviceNamed(path, options_.usbDeviceName);
        });
        foundDeviceCount_ = static_cast<std::int32_t>(foundDevicePaths.size());
    }
    if (foundDeviceCount_ == 0) {
        detachUsbDevice();
        return {OutcomeKind::NoUsbDevice};
    }
    if (foundDeviceCount_ > 1) {
        detachUsbDevice();
        setStatus(kTooManyDevicesText);
        return {OutcomeKind::TooManyUsbDevices};
    }
    if (usbDevice.present == 0) {
        usbDevice.present = 1;
        const std::string& found = foundDevicePaths.front();
        const std::size_t length = std::min(found.size(), kDevicePathSize - 1);
        std::memcpy(usbDevice.path, found.data(), length);
        usbDevice.path[length] = '\0';
        usbDevice.deviceNumber = attachCount;
        ++attachCount;
        setStatus(addedDeviceText(attachCount));
    }
    // A device recorded earlier keeps its recorded path.
    if (const LinkStatus status = usbLink.open(usbDevice.path); status != LINK_OK) {
        setStatus(deviceNotOpenableText(usbDevice.deviceNumber, usbDevice.path));
        return {OutcomeKind::UsbDeviceNotOpenable, 0, 0, status};
    }
    return kDone;
}

void TargetSession::detachUsbDevice() {
    if (usbDevice.present == 0) {
        return;
    }
    usbLink.close();
    usbDevice = UsbDeviceRecord{};
}

void TargetSession::enableConnectedButtons() {
    sink_.enableButton(SessionButton::Connect, false);
    sink_.enableButton(SessionButton::Disconnect, true);
    if (options_.targetMemory != 0) {
        sink_.enableButton(SessionButton::DownToRam, true);
        sink_.enableButton(SessionButton::RunRam, true);
    } else {
        sink_.enableButton(SessionButton::Download, true);
        sink_.enableButton(SessionButton::Reset, true);
    }
}

void TargetSession::showDisconnected() {
    sink_.progress(0);
    setStatus(kDisconnectedText);
    sink_.enableButton(SessionButton::Connect, true);
    sink_.enableButton(SessionButton::Disconnect, false);
    sink_.enableButton(SessionButton::Download, false);
    sink_.enableButton(SessionButton::DownToRam, false);
    sink_.enableButton(SessionButton::Reset, false);
    sink_.enableButton(SessionButton::RunRam, false);
}

void TargetSession::showWaiting(bool endless, int seconds) {
    SessionProgress waiting;
    waiting.secondsLeft = endless ? 0 : seconds;
    sink_.progressed(waiting);
    setStatus(endless ? std::string(kWaitingForTargetText) : countdownText(seconds));
}

Outcome TargetSession::connectTarget() {
    WaitCursor busy(sink_);
    const Outcome outcome = options_.interfaceKind != 0 ? connectSerial() : connectUsb();
    finish(Sequence::Connect, outcome);
    if (outcome.ok()) {
        enableConnectedButtons();
    }
    return outcome;
}

Outcome TargetSession::connectSerial() {
    // The port stays open from pass to pass; a pass ends after one read time-out (about a
    // second) without a byte. Stray bytes do not count down, but more than kMaxStrayBytes of
    // them end a wait that has a deadline.
    const bool endless = options_.connectSeconds <= 0;
    int seconds = options_.connectSeconds;
    int stray = 0;
    LinkResult read;
    while (endless || seconds != 0) {
        if (stopping()) {
            serialLink.close();
            return {OutcomeKind::Stopped};
        }
        showWaiting(endless, seconds);
        if (!serialLink.isOpen()) {
            serialLink.close();
            if (!serialLink.open(options_.comPortPath.c_str(), kSerialBaudRate)) {
                const int error = serialLink.openError;
                serialLink.close();
                return portOutcome(error);
            }
        }
        std::uint8_t byte = 0;
        read = lineRead(&byte, 1);
        if (read.count == 0) {
            if (!endless) {
                --seconds;
            } else if (read.error != 0 && read.error != kErrorTimedOut) {
                break;  // the port failed: waiting on would spin
            }
            continue;
        }
        if (byte == kAnswerAccepted) {
            lineWrite(&kHandshakeReply, 1);
            return kDone;
        }
        if (!endless && ++stray > kMaxStrayBytes) {
            break;
        }
    }
    serialLink.close();
    return missingAnswer(read, 0);
}

Outcome TargetSession::connectUsb() {
    // Every pass enumerates the devices and opens the pipes again.
    const bool endless = options_.connectSeconds <= 0;
    Outcome last{OutcomeKind::NoUsbDevice};
    for (int seconds = options_.connectSeconds; endless || seconds >= 1;) {
        if (stopping()) {
            detachUsbDevice();
            return {OutcomeKind::Stopped};
        }
        showWaiting(endless, seconds);
        last = attachUsbDevice();
        // A recorded device is read even when its pipes would not open: the failed read
        // forgets it, so that the next pass looks for it afresh.
        if (usbDevice.present != 0) {
            std::uint8_t byte = 0;
            const LinkResult read = lineRead(&byte, 1);
            if (const LinkStatus status = linkStatusOf(read); status != LINK_OK) {
                detachUsbDevice();
                setStatus(returnCodeText(status));
                if (last.ok()) {
                    last = missingAnswer(read, 0);
                }
            } else if (byte == kAnswerAccepted) {
                return kDone;
            } else {
                last = {OutcomeKind::NoAnswer};
            }
        }
        clock_.sleepFor(std::chrono::milliseconds(1000));
        if (!endless) {
            --seconds;
        }
    }
    detachUsbDevice();
    return last;
}

void TargetSession::disconnectTarget() {
    if (options_.interfaceKind == 0) {
        detachUsbDevice();
    } else {
        serialLink.close();
    }
    showDisconnected();
}

void TargetSession::handOverSerialLink(SerialLink& receiver) {
    receiver.takeOver(serialLink);
    serialLink.close();
    showDisconnected();
}

}  // namespace tervan
