#include "protocol/TargetSession.h"

#include <algorithm>

#include "protocol/SessionAnswers.h"

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

}  // namespace

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
    if (options_.interfaceKind != 0) {
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

        const Outcome sent =
            options_.interfaceKind != 0 ? sendFrameSerial(block) : sendFrameUsb(block);
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
    if (options_.interfaceKind == 0) {
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
    const LinkResult sent = options_.interfaceKind != 0 ? serialLink.write(bytes, length)
                                                        : usbLink.write(bytes, length);
    const std::uint32_t count = std::min(sent.count, length);
    transfer_.bytesOut += count;
    if (trace != nullptr && count > 0) {
        trace->sent({bytes, count});
    }
    return sent;
}

LinkResult TargetSession::lineRead(std::uint8_t* bytes, std::uint32_t length) {
    const LinkResult read =
        options_.interfaceKind != 0 ? serialLink.read(bytes, length) : usbLink.read(bytes, length);
    const std::uint32_t count = std::min(read.count, length);
    transfer_.bytesIn += count;
    if (trace != nullptr && count > 0) {
        trace->received({bytes, count});
    }
    return read;
}
}  // namespace tervan
