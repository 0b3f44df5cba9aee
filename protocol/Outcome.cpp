#include "protocol/Outcome.h"

namespace tervan {

bool namesFrame(OutcomeKind kind) {
    switch (kind) {
        case OutcomeKind::CrcError:
        case OutcomeKind::VerifyError:
        case OutcomeKind::UnknownAnswer:
        case OutcomeKind::NoAnswer:
        case OutcomeKind::LineLost:
        case OutcomeKind::SendFailed:
            return true;
        default:
            return false;
    }
}

bool isImageProblem(OutcomeKind kind) {
    switch (kind) {
        case OutcomeKind::ImageMissing:
        case OutcomeKind::ImageBeingWritten:
        case OutcomeKind::ImageUnreadable:
        case OutcomeKind::ImageOverLimit:
        case OutcomeKind::ImageEmpty:
        case OutcomeKind::ImageTooBig:
            return true;
        default:
            return false;
    }
}

bool isConnectionProblem(OutcomeKind kind) {
    switch (kind) {
        case OutcomeKind::NotConnected:
        case OutcomeKind::PortMissing:
        case OutcomeKind::PortBusy:
        case OutcomeKind::PortDenied:
        case OutcomeKind::PortFailed:
        case OutcomeKind::NoUsbDevice:
        case OutcomeKind::TooManyUsbDevices:
        case OutcomeKind::UsbDeviceNotOpenable:
            return true;
        default:
            return false;
    }
}

std::string_view outcomeName(OutcomeKind kind) {
    switch (kind) {
        case OutcomeKind::Done:
            return "done";
        case OutcomeKind::CrcError:
            return "crc-error";
        case OutcomeKind::VerifyError:
            return "verify-error";
        case OutcomeKind::UnknownAnswer:
            return "unknown-answer";
        case OutcomeKind::NoAnswer:
            return "no-answer";
        case OutcomeKind::LineLost:
            return "line-lost";
        case OutcomeKind::SendFailed:
            return "send-failed";
        case OutcomeKind::NotConnected:
            return "not-connected";
        case OutcomeKind::PortMissing:
            return "port-missing";
        case OutcomeKind::PortBusy:
            return "port-busy";
        case OutcomeKind::PortDenied:
            return "port-denied";
        case OutcomeKind::PortFailed:
            return "port-failed";
        case OutcomeKind::NoUsbDevice:
            return "no-usb-device";
        case OutcomeKind::TooManyUsbDevices:
            return "too-many-usb-devices";
        case OutcomeKind::UsbDeviceNotOpenable:
            return "usb-device-not-openable";
        case OutcomeKind::ImageMissing:
            return "image-missing";
        case OutcomeKind::ImageBeingWritten:
            return "image-being-written";
        case OutcomeKind::ImageUnreadable:
            return "image-unreadable";
        case OutcomeKind::ImageOverLimit:
            return "image-over-limit";
        case OutcomeKind::ImageEmpty:
            return "image-empty";
        case OutcomeKind::ImageTooBig:
            return "image-too-big";
        case OutcomeKind::Stopped:
            return "stopped";
    }
    return "unknown";
}

}  // namespace tervan
