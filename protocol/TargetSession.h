// The connection to the download loader: handshake, download and command sequences over the
// serial line or the USB pipes. It reports to the user only through SessionUi, which the
// window's controller implements.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "link/SerialLink.h"
#include "link/UsbPipeLink.h"
#include "protocol/Frame.h"

namespace tervan {

enum class BeepKind { Default = 0, Exclamation = 0x30 };

// The six connection and action buttons whose enabled states record the connection.
enum class SessionButton { Connect, Disconnect, Download, Reset, DownToRam, RunRam };

inline constexpr std::uint32_t kSerialBaudRate = 115200;
inline constexpr int kConnectSeconds = 5;
inline constexpr int kMaxStrayBytes = 500;

// What the sequences need from the window that owns them.
class SessionUi {
public:
    // Makes the state visible: every state field into its control, then a repaint.
    virtual void refresh() = 0;
    virtual void messageBox(const std::string& text) = 0;
    virtual void beep(BeepKind kind) = 0;
    virtual void setProgressRange(std::uint16_t upper) = 0;  // lower bound 0
    virtual void setProgressPosition(std::int16_t position) = 0;
    virtual void enableButton(SessionButton button, bool enabled) = 0;
    virtual void setWaitCursor(bool on) = 0;
    // Reads (readData true) or checks the image file named by the window's path.
    virtual bool loadImage(bool readData) = 0;
    // The pause between two USB connect passes.
    virtual void sleepMs(int milliseconds) = 0;

protected:
    ~SessionUi() = default;
};

// Shows the wait cursor from construction until the scope is left, on every path.
class WaitCursor {
public:
    explicit WaitCursor(SessionUi& ui) : ui_(ui) { ui_.setWaitCursor(true); }
    ~WaitCursor() { ui_.setWaitCursor(false); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

private:
    SessionUi& ui_;
};

class TargetSession {
public:
    explicit TargetSession(SessionUi& ui) : ui_(ui) {}
    TargetSession(const TargetSession&) = delete;
    TargetSession& operator=(const TargetSession&) = delete;

    // Sets pageSize, flashSize and frameLength from targetModel.
    void applyModel();
    // Opens the chosen transport and waits for the loader's 'X' over five passes.
    void connectTarget();
    void disconnectTarget();
    // Sends the whole image page by page: command 'W' to flash, 'M' to RAM.
    void downloadImage(std::uint8_t command);
    // Sends one data-less frame ('R' reset, 'G' run RAM); true when it went through.
    bool sendCommand(std::uint8_t command);
    // Send the first frameLength bytes of frameBuffer and evaluate the answer; false after the
    // failure has been reported.
    bool sendFrameUsb();
    bool sendFrameSerial();
    // Enumerates the USB devices, records the single one and opens its pipes.
    void attachUsbDevice();
    // Closes the pipes and forgets the recorded device.
    void detachUsbDevice();
    // The window's disconnected state: progress 0, "Disconnected", only Connect enabled.
    void showDisconnected();
    // The largest image the chosen memory takes: RAM 64 KiB under any model, flash flashSize.
    std::uint32_t imageLimit() const { return targetMemory != 0 ? kRamSize : flashSize; }
    // Checks the loaded image's length: an empty image or one over the limit is reported
    // ("Nothing to download!", "File to big!") and gives false.
    bool checkImageLength();

    std::string statusText;
    std::int32_t interfaceKind = 1;  // 0 USB, any other value serial
    std::int32_t targetModel = 0;    // 0 the 256/128 KB parts, any other value the 64/32 KB parts
    std::int32_t targetMemory = 0;   // 0 ROM (flash), any other value RAM
    std::uint32_t pageSize = 256;
    std::uint32_t flashSize = 262144;
    std::uint32_t frameLength = 261;
    std::uint32_t imageLength = 0;
    std::array<std::uint8_t, kMaxImageSize> imageBuffer;
    UsbPipeLink usbLink;
    UsbDeviceRecord usbDevice;
    std::int32_t attachCount = 0;
    std::int32_t foundDeviceCount = 0;
    UsbDevicePaths foundDevicePaths;
    std::array<std::uint8_t, kFrameBufferSize> frameBuffer;
    std::string comPortPath;
    SerialLink serialLink;

private:
    void setStatus(const std::string& text);
    void showConnected();
    ModelParameters model() const { return {pageSize, flashSize, frameLength}; }

    SessionUi& ui_;
};

}  // namespace tervan
