// The connection to the download loader: handshake, download and command sequences over the
// serial line or the USB pipes. A session stands alone: it holds the connection's state, reads
// time from its clock and reports to its sink, and each sequence returns how it ended.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "link/Clock.h"
#include "link/SerialLink.h"
#include "link/UsbPipeLink.h"
#include "protocol/ChipModel.h"
#include "protocol/Frame.h"
#include "protocol/LineTrace.h"
#include "protocol/Outcome.h"
#include "protocol/SessionSink.h"
#include "protocol/SessionTexts.h"

namespace tervan {

inline constexpr std::uint32_t kSerialBaudRate = 115200;
inline constexpr int kConnectSeconds = 5;
inline constexpr int kMaxStrayBytes = 500;

// Whether the USB device path `path` is the device `name`: the path itself, or its last part
// (the device's folder on POSIX).
bool isUsbDeviceNamed(const std::string& path, const std::string& name);

// What the last download put on the line and what came back, for the figures a front end
// reports about it. Cleared when a download starts.
struct TransferRecord {
    bool begun = false;  // the first page was about to go out
    std::uint32_t imageLength = 0;
    std::uint32_t paddedLength = 0;  // the image rounded up to whole pages, as it went out
    std::uint32_t pagesSent = 0;     // pages that went out at least once
    std::uint32_t pagesAccepted = 0;
    std::uint32_t bytesAccepted = 0;  // the image's bytes in the accepted pages
    std::uint32_t answers = 0;        // answers read, one per transmission that got one
    std::uint32_t resends = 0;        // USB: transmissions of a page after a rejection
    // The first answer other than 'X' (kind, frame and answer), also one a resend got past.
    std::optional<Outcome> firstRejection;
    std::uint64_t bytesOut = 0;  // every byte written, frames and resends
    std::uint64_t bytesIn = 0;   // every byte read: the answers
    // On the session's clock: before the first page, and after the last answer or the failure.
    Clock::TimePoint started{};
    Clock::TimePoint ended{};

    double seconds() const { return std::chrono::duration<double>(ended - started).count(); }
};

// The choices a session runs with, handed over in one piece with `configure`.
struct SessionOptions {
    std::int32_t interfaceKind = 1;  // 0 USB, any other value serial
    std::int32_t targetModel = 0;    // 0 the first chip model, any other value the second
    std::int32_t targetMemory = 0;   // 0 ROM (flash), any other value RAM
    std::string comPortPath;
    // Passes of the connect wait, one a second; 0 waits until the loader announces itself
    // (stray bytes then never end the wait).
    int connectSeconds = kConnectSeconds;
    // USB: the one device to use, by its path or the last part of it; empty takes the single
    // device there is.
    std::string usbDeviceName;
};

class TargetSession {
public:
    // Every time-out of the links and every pause between connect passes reads `clock`.
    explicit TargetSession(SessionSink& sink, Clock& clock = realClock())
        : usbLink(clock), serialLink(clock), sink_(sink), clock_(clock) {}
    TargetSession(const TargetSession&) = delete;
    TargetSession& operator=(const TargetSession&) = delete;

    // Opens the chosen transport and waits for the loader's 'X' over five passes.
    Outcome connectTarget();
    void disconnectTarget();
    // The disconnected state as disconnectTarget() leaves it, except that the open serial port
    // goes to `receiver` instead of being closed: whoever watches the board after a reset or
    // a run keeps the very port the download used, with nothing lost in between.
    void handOverSerialLink(SerialLink& receiver);
    // Sends the image in imageBuffer (imageLength bytes) page by page: command 'W' to flash,
    // 'M' to RAM.
    Outcome downloadImage(std::uint8_t command);
    // The same for an image handed over as bytes.
    Outcome downloadImage(std::uint8_t command, std::span<const std::uint8_t> image);
    // Sends one data-less frame ('R' reset, 'G' run RAM).
    Outcome sendCommand(std::uint8_t command);
    // Enumerates the USB devices, records the single one and opens its pipes. Done when the
    // pipes are open.
    Outcome attachUsbDevice();
    // Closes the pipes and forgets the recorded device.
    void detachUsbDevice();
    // The disconnected state: progress 0, "Disconnected", only Connect enabled.
    void showDisconnected();
    // The largest image the chosen memory takes: the model's RAM, or its flash.
    std::uint32_t imageLimit() const {
        return options_.targetMemory != 0 ? chipModel(options_.targetModel).ramSize : flashSize();
    }
    // The chosen model's figures, read from the chip table whenever asked.
    std::uint32_t pageSize() const { return model().pageSize; }
    std::uint32_t flashSize() const { return model().flashSize; }
    std::uint32_t frameLength() const { return model().frameLength; }
    // Checks the loaded image's length: an empty image or one over the limit is reported.
    Outcome checkImageLength();
    // Shows how a sequence ended the window's way (message box, status line, beep) and returns
    // the outcome.
    Outcome finish(Sequence sequence, const Outcome& outcome);

    // The choices the session's sequences run with, replaced whole.
    void configure(const SessionOptions& options) { options_ = options; }
    const SessionOptions& options() const { return options_; }

    SessionSink& sink() { return sink_; }
    Clock& clock() { return clock_; }

    std::string statusText;
    std::uint32_t imageLength = 0;
    std::array<std::uint8_t, kMaxImageSize> imageBuffer;
    UsbPipeLink usbLink;
    UsbDeviceRecord usbDevice;
    std::int32_t attachCount = 0;
    SerialLink serialLink;

    // When set and true, the connect wait ends at its next pass and a download before its next
    // frame, with OutcomeKind::Stopped. Another thread may set it.
    const std::atomic<bool>* stopRequested = nullptr;
    // Sees every byte in and out when set.
    LineTrace* trace = nullptr;
    // How many USB devices the last attach found (after the name filter, when one is given).
    std::int32_t foundDeviceCount() const { return foundDeviceCount_; }
    // What the last download put on the line; cleared when a download starts.
    const TransferRecord& lastTransfer() const { return transfer_; }

private:
    // Send the first frameLength() bytes of frameBuffer and evaluate the answer; `frame` is the
    // index the outcome names.
    Outcome sendFrameUsb(std::uint32_t frame = 0);
    Outcome sendFrameSerial(std::uint32_t frame = 0);
    ModelParameters model() const { return modelParameters(options_.targetModel); }
    void setStatus(const std::string& text);
    bool stopping() const { return stopRequested != nullptr && stopRequested->load(); }
    // The chosen transport's write and read, counted into lastTransfer and shown to the trace.
    LinkResult lineWrite(const std::uint8_t* bytes, std::uint32_t length);
    LinkResult lineRead(std::uint8_t* bytes, std::uint32_t length);
    void enableConnectedButtons();
    Outcome connectSerial();
    Outcome connectUsb();
    // Announces a connect pass and shows its countdown, or the endless wait's text.
    void showWaiting(bool endless, int seconds);
    // The pages of a download; the caller closes the record and reports the ending.
    Outcome sendPages(std::uint8_t command);

    SessionSink& sink_;
    Clock& clock_;
    SessionOptions options_;
    std::array<std::uint8_t, kFrameBufferSize> frameBuffer{};
    UsbDevicePaths foundDevicePaths;
    std::int32_t foundDeviceCount_ = 0;
    TransferRecord transfer_;
};

}  // namespace tervan
