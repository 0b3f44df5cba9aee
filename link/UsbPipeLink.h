// The USB transport: the pair of pipe files the target's driver exposes for one device.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/Clock.h"
#include "link/Handle.h"
#include "link/LinkResult.h"
#include "link/LinkStatus.h"
#include "link/UsbBulk.h"

namespace tervan {

// The device interface class under which the target's driver announces each device.
inline constexpr const char* kUsbInterfaceClass = "{E6EF7DCD-1795-4A08-9FBF-AA78423C26F0}";
inline constexpr const char* kReadPipeName = "\\PIPE01";   // host reads
inline constexpr const char* kWritePipeName = "\\PIPE00";  // host writes
inline constexpr std::size_t kDevicePathSize = 260;        // 259 characters and the zero
inline constexpr std::size_t kMaxUsbDevices = 128;

class UsbPipeLink {
public:
    // Every time-out of the pipes' transfers is measured on `clock`.
    explicit UsbPipeLink(Clock& clock = realClock()) : clock_(clock) {}
    // Closes the pipes still held, so that no handle outlives the link.
    virtual ~UsbPipeLink();
    UsbPipeLink(const UsbPipeLink&) = delete;
    UsbPipeLink& operator=(const UsbPipeLink&) = delete;

    // LINK_OK when both pipes are open; otherwise a non-zero status with both handles invalid.
    // Handles still held from an earlier open are closed first. A device path longer than
    // kDevicePathSize - 8 characters (so that a pipe name would not fit) is refused, not cut.
    // A device on the bus ("usb:<bus path>", see link/UsbTarget.h) is opened through its bulk
    // endpoints instead: the OUT endpoint stands for the write pipe, the IN endpoint for the
    // read pipe, and the two handles hold the endpoints' addresses.
    LinkStatus open(const char* devicePath);
    LinkStatus close();  // always LINK_OK
    // Fills exactly `length` bytes in at most five platform reads, or fails: kErrorNotOpen
    // (tested first), kErrorBadArgument for no buffer or no length, kErrorTimedOut for a pipe
    // that stayed silent or still short after five reads, or the platform's error. The count
    // says what came. linkStatusOf() gives the status shown to the user.
    LinkResult read(void* buffer, std::uint32_t length);
    // Throws away answers nobody waits for (a second 'X' from a second press of reset), so the
    // next read gets the answer to the next frame.
    void discardPending();
    // One platform write; a short write is no failure and shows only in the count.
    // kErrorNotOpen, or kErrorBadArgument for no buffer (a length of 0 is passed on).
    LinkResult write(const void* buffer, std::uint32_t length);

    PlatformHandle readPipe = kInvalidHandle;
    PlatformHandle writePipe = kInvalidHandle;

private:
    LinkStatus openOnBus(const std::string& busPath);

    Clock& clock_;
    std::unique_ptr<os::UsbBulkChannel> bulk_;  // a device on the bus, while it is open
};

// The one device the window works with.
struct UsbDeviceRecord {
    char path[kDevicePathSize] = {};
    std::int32_t deviceNumber = 0;
    std::int32_t present = 0;
};

// The device paths found by one enumeration: at most kMaxUsbDevices, each a usable path.
using UsbDevicePaths = std::vector<std::string>;

// Lists the present device interfaces of kUsbInterfaceClass into pathsOut (replacing what it
// held) and returns their number. Interfaces whose path cannot be read are left out.
int enumerateUsbDevices(UsbDevicePaths& pathsOut);

}  // namespace tervan
