#include "protocol/TargetSession.h"

#include <algorithm>
#include <cstring>

#include "link/PortFault.h"

namespace tervan {
namespace {

OutcomeKind rejectionOf(std::uint8_t answer) {
    switch (answer) {
        case kAnswerCrcError:
            return OutcomeKind::CrcError;
        case kAnswerVerifyError:
            return OutcomeKind::VerifyError;
        default:
            return OutcomeKind::UnknownAnswer;
    }
}

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

// A read that brought no answer: the line stayed silent, or it failed under the read.
Outcome missingAnswer(const LinkResult& read, std::uint32_t frame) {
    if (read.error == 0 || read.error == kErrorTimedOut) {
        return {OutcomeKind::NoAnswer, frame};
    }
    return {OutcomeKind::LineLost, frame, 0, read.error};
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

void TargetSession::setStatus(const std::string& text) {
    statusText = text;
    sink_.status(statusText);
}

Outcome TargetSession::finish(Sequence sequence, const Outcome& outcome) {
    const Presentation shown = presentationOf(sequence, outcome);
    if (!shown.message.empty()) {
        sink_.message(shown.message);
    }
    if (!shown.status.empty()) {
        setStatus(shown.status);
    }
    if (shown.beep) {
        sink_.beep(*shown.beep);
    }
    return outcome;
}

void TargetSession::enableConnectedButtons() {
    sink_.enableButton(SessionButton::Connect, false);
    sink_.enableButton(SessionButton::Disconnect, true);
    if (targetMemory != 0) {
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
    const Outcome outcome = interfaceKind != 0 ? connectSerial() : connectUsb();
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
    const bool endless = connectSeconds <= 0;
    int seconds = connectSeconds;
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
            if (!serialLink.open(comPortPath.c_str(), kSerialBaudRate)) {
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
    const bool endless = connectSeconds <= 0;
    Outcome last{OutcomeKind::NoUsbDevice};
    for (int seconds = connectSeconds; endless || seconds >= 1;) {
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
    if (interfaceKind == 0) {
        detachUsbDevice();
    } else {
        serialLink.close();
    }
    showDisconnected();
}

Outcome TargetSession::checkImageLength() {
    if (imageLength == 0) {
        return finish(Sequence::Download, {OutcomeKind::ImageEmpty});
    }
    if (imageLength > imageLimit()) {
        return finish(Sequence::Download, {OutcomeKind::ImageTooBig});
    }
    return kDone;
}

Outcome TargetSession::downloadImage(std::uint8_t command, std::span<const std::uint8_t> image) {
    if (image.size() > imageBuffer.size()) {
        imageLength = 0;
        return finish(Sequence::Download, {OutcomeKind::ImageOverLimit});
    }
    std::copy(image.begin(), image.end(), imageBuffer.begin());
    imageLength = static_cast<std::uint32_t>(image.size());
    return downloadImage(command);
}

Outcome TargetSession::downloadImage(std::uint8_t command) {
    if (const Outcome length = checkImageLength(); !length.ok()) {
        return length;
    }
    if (interfaceKind != 0) {
        if (!serialLink.isOpen()) {
            return finish(Sequence::Download, {OutcomeKind::NotConnected});
        }
        serialLink.purge();
    } else if (usbDevice.present == 0) {
        return finish(Sequence::Download, {OutcomeKind::NotConnected});
    } else {
        // A byte left in the pipe would be read as the first frame's answer, and every answer
        // after it as the one before: a rejected last page would pass.
        usbLink.discardPending();
    }

    transfer_ = TransferRecord{};
    transfer_.begun = true;
    transfer_.imageLength = imageLength;
    transfer_.paddedLength = (imageLength + pageSize() - 1) / pageSize() * pageSize();
    transfer_.started = clock_.now();
    transfer_.ended = transfer_.started;
    const auto range = static_cast<std::uint16_t>(imageLength / pageSize());
    statusText = kDownloadingText;
    sink_.progressRange(range);
    sink_.progress(0);
    sink_.status(statusText);
    SessionProgress progress;
    progress.phase = SessionPhase::Started;
    progress.total = imageLength;
    progress.range = range;
    sink_.progressed(progress);

    const Outcome sent = sendPages(command);
    transfer_.ended = clock_.now();
    progress.phase = SessionPhase::Ended;
    progress.pages = transfer_.pagesAccepted;
    progress.bytes = transfer_.bytesAccepted;
    sink_.progressed(progress);
    return finish(Sequence::Download, sent);
}

Outcome TargetSession::sendPages(std::uint8_t command) {
    SessionProgress progress;
    progress.phase = SessionPhase::Page;
    progress.total = imageLength;
    progress.range = static_cast<std::uint16_t>(imageLength / pageSize());
    std::uint32_t remaining = imageLength;
    const std::uint8_t* source = imageBuffer.data();
    std::uint16_t block = 0;
    for (;;) {
        const std::uint32_t chunk = std::min(pageSize(), remaining);
        if (stopping()) {
            return {OutcomeKind::Stopped, block};
        }
        buildFrame(frameBuffer.data(), model(), command, block, source, chunk);
        transfer_.pagesSent = static_cast<std::uint32_t>(block) + 1;

        const Outcome sent = interfaceKind != 0 ? sendFrameSerial(block) : sendFrameUsb(block);
        if (!sent.ok()) {
            return sent;
        }
        transfer_.pagesAccepted = transfer_.pagesSent;
        transfer_.bytesAccepted = imageLength - remaining + chunk;
        progress.position = static_cast<std::int16_t>(transfer_.bytesAccepted / pageSize());
        progress.pages = transfer_.pagesAccepted;
        progress.bytes = transfer_.bytesAccepted;
        sink_.progress(progress.position);
        sink_.progressed(progress);
        if (chunk == remaining) {
            return kDone;
        }
        remaining -= chunk;
        source += chunk;
        ++block;
    }
}

Outcome TargetSession::sendCommand(std::uint8_t command) {
    buildFrame(frameBuffer.data(), model(), command, 0, nullptr, 0);
    if (interfaceKind == 0) {
        usbLink.discardPending();
        return finish(Sequence::Command, sendFrameUsb());
    }
    // Over the serial line the loader does not answer 'G' or 'R'.
    if (const LinkResult sent = lineWrite(frameBuffer.data(), frameLength());
        sent.count != frameLength()) {
        return finish(Sequence::Command, {OutcomeKind::SendFailed, 0, 0, sent.error});
    }
    return kDone;
}

Outcome TargetSession::sendFrameUsb(std::uint32_t frame) {
    // A rejected frame is sent again up to two more times; the last answer names the failure.
    int attempts = 3;
    LinkResult sent = lineWrite(frameBuffer.data(), frameLength());
    for (;;) {
        if (sent.count != frameLength()) {
            return {OutcomeKind::SendFailed, frame, 0, sent.error};
        }
        std::uint8_t answer = 0;
        if (const LinkResult read = lineRead(&answer, 1); linkStatusOf(read) != LINK_OK) {
            return missingAnswer(read, frame);
        }
        ++transfer_.answers;
        if (answer == kAnswerAccepted) {
            return kDone;
        }
        const Outcome rejected{rejectionOf(answer), frame, answer};
        if (!transfer_.firstRejection) {
            transfer_.firstRejection = rejected;
        }
        if (--attempts == 0) {
            return rejected;
        }
        ++transfer_.resends;
        sent = lineWrite(frameBuffer.data(), frameLength());
    }
}

Outcome TargetSession::sendFrameSerial(std::uint32_t frame) {
    if (const LinkResult sent = lineWrite(frameBuffer.data(), frameLength());
        sent.count != frameLength()) {
        return {OutcomeKind::SendFailed, frame, 0, sent.error};
    }
    std::uint8_t answer = 0;
    if (const LinkResult read = lineRead(&answer, 1); read.count == 0) {
        return missingAnswer(read, frame);
    }
    ++transfer_.answers;
    serialLink.purge();
    if (answer == kAnswerAccepted) {
        return kDone;
    }
    const Outcome rejected{rejectionOf(answer), frame, answer};
    if (!transfer_.firstRejection) {
        transfer_.firstRejection = rejected;
    }
    return rejected;
}

LinkResult TargetSession::lineWrite(const std::uint8_t* bytes, std::uint32_t length) {
    const LinkResult sent =
        interfaceKind != 0 ? serialLink.write(bytes, length) : usbLink.write(bytes, length);
    const std::uint32_t count = std::min(sent.count, length);
    transfer_.bytesOut += count;
    if (trace != nullptr && count > 0) {
        trace->sent({bytes, count});
    }
    return sent;
}

LinkResult TargetSession::lineRead(std::uint8_t* bytes, std::uint32_t length) {
    const LinkResult read =
        interfaceKind != 0 ? serialLink.read(bytes, length) : usbLink.read(bytes, length);
    const std::uint32_t count = std::min(read.count, length);
    transfer_.bytesIn += count;
    if (trace != nullptr && count > 0) {
        trace->received({bytes, count});
    }
    return read;
}

Outcome TargetSession::attachUsbDevice() {
    foundDeviceCount = enumerateUsbDevices(foundDevicePaths);
    if (!usbDeviceName.empty()) {
        // Only the named device counts: the others belong to other sessions.
        std::erase_if(foundDevicePaths, [this](const std::string& path) {
            return !isUsbDeviceNamed(path, usbDeviceName);
        });
        foundDeviceCount = static_cast<std::int32_t>(foundDevicePaths.size());
    }
    if (foundDeviceCount == 0) {
        detachUsbDevice();
        return {OutcomeKind::NoUsbDevice};
    }
    if (foundDeviceCount > 1) {
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

}  // namespace tervan
