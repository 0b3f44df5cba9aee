// How a connect, a download or a command ended. Every front end decides from these, never
// from the texts the window shows for them.
#pragma once

#include <cstdint>
#include <string_view>

namespace tervan {

enum class OutcomeKind {
    Done,
    // The target answered a frame with something other than 'X'.
    CrcError,       // 'C'
    VerifyError,    // 'O'
    UnknownAnswer,  // any other byte
    NoAnswer,       // nothing came back within the time-out (or only noise while connecting)
    LineLost,       // the port or pipe failed under the transfer
    SendFailed,     // the frame did not go out whole
    NotConnected,   // a download or command without a connection
    // Opening the serial port failed.
    PortMissing,
    PortBusy,
    PortDenied,
    PortFailed,  // for another reason
    // The USB device of the target's class.
    NoUsbDevice,
    TooManyUsbDevices,
    UsbDeviceNotOpenable,
    // The image file and its length.
    ImageMissing,       // cannot be opened
    ImageBeingWritten,  // a process still holds it open for writing
    ImageUnreadable,    // opened, but its size or its bytes could not be read
    ImageOverLimit,     // the file is larger than the largest image there is (256 KiB)
    ImageEmpty,
    ImageTooBig,  // more than the chosen memory takes
    // The front end asked the session to stop (the user ended the program).
    Stopped,
};

struct Outcome {
    OutcomeKind kind = OutcomeKind::Done;
    std::uint32_t frame = 0;  // the frame it concerns (0 the first page), where one does
    std::uint8_t answer = 0;  // the target's answer byte, for the three rejections
    int error = 0;            // the system's error code, where the system gave one

    bool ok() const { return kind == OutcomeKind::Done; }
    bool operator==(const Outcome&) const = default;
};

inline constexpr Outcome kDone{};

// Whether the outcome names a frame (the rejections and the transfer failures).
bool namesFrame(OutcomeKind kind);
// True for the image-file kinds.
bool isImageProblem(OutcomeKind kind);
// True for the kinds that mean no connection came about: the port, the USB device.
bool isConnectionProblem(OutcomeKind kind);
// A stable lower-case name ("crc-error", "port-busy", ...) for machine-readable output.
std::string_view outcomeName(OutcomeKind kind);

}  // namespace tervan
