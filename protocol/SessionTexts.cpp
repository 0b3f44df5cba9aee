#include "protocol/SessionTexts.h"

namespace tervan {
namespace {

const char* rejectionText(OutcomeKind kind) {
    switch (kind) {
        case OutcomeKind::CrcError:
            return "CRC error!";
        case OutcomeKind::VerifyError:
            return "Verify error!";
        default:
            return "Unknown Answer!";
    }
}

// The message box that reports a frame that did not get through.
const char* frameFailureText(OutcomeKind kind) {
    switch (kind) {
        case OutcomeKind::NoAnswer:
        case OutcomeKind::LineLost:
            return "No Answer from device!";
        case OutcomeKind::SendFailed:
            return "Error while sending data!";
        default:
            return rejectionText(kind);
    }
}

Presentation imagePresentation(const Outcome& outcome) {
    switch (outcome.kind) {
        case OutcomeKind::ImageOverLimit:
            return {"File size is larger than 256KB !", "", std::nullopt};
        case OutcomeKind::ImageEmpty:
            return {"Nothing to download!", "", std::nullopt};
        case OutcomeKind::ImageTooBig:
            return {"File to big!", "File to big!", std::nullopt};
        default:
            return {"Could not load rom file!", "", std::nullopt};
    }
}

Presentation connectPresentation(const Outcome& outcome) {
    switch (outcome.kind) {
        case OutcomeKind::Done:
            return {"", kConnectedText, std::nullopt};
        case OutcomeKind::PortMissing:
        case OutcomeKind::PortBusy:
        case OutcomeKind::PortDenied:
        case OutcomeKind::PortFailed:
            return {"COM port not available!", "COM port not available!", std::nullopt};
        default:
            return {"", "Timeout. No Answer from device!", BeepKind::Exclamation};
    }
}

}  // namespace

std::string countdownText(int seconds) {
    return "Press reset on target! " + std::to_string(seconds) + " Seconds left!";
}

std::string returnCodeText(std::uint16_t status) {
    return "Return code: " + std::to_string(static_cast<std::int16_t>(status));
}

std::string addedDeviceText(std::int32_t count) {
    return "Added device " + std::to_string(count);
}

std::string deviceNotOpenableText(std::int32_t deviceNumber, const std::string& path) {
    return "Can not open device " + std::to_string(deviceNumber) + ", " + path;
}

std::string imageBeingWrittenText(const std::string& writer) {
    return "Rom file is still being written by " + writer + "!";
}

Presentation presentationOf(Sequence sequence, const Outcome& outcome) {
    if (isImageProblem(outcome.kind)) {
        return imagePresentation(outcome);
    }
    if (outcome.kind == OutcomeKind::Stopped) {
        return {};  // whoever stopped the session knows why
    }
    if (outcome.kind == OutcomeKind::NotConnected) {
        return {"Not connected!", "", std::nullopt};
    }
    switch (sequence) {
        case Sequence::Connect:
            return connectPresentation(outcome);
        case Sequence::Download:
            if (outcome.ok()) {
                return {"", "Write successfull!", BeepKind::Default};
            }
            return {frameFailureText(outcome.kind), "Error while flashing", std::nullopt};
        case Sequence::Command:
            if (outcome.ok()) {
                return {};
            }
            return {frameFailureText(outcome.kind), "", std::nullopt};
        case Sequence::ImageFile:
            return {};
    }
    return {};
}

}  // namespace tervan
