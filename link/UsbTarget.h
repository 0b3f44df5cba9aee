// Which USB device is the target when the system offers no driver of its own for it (Linux):
// the user names it by its vendor and product ids, and optionally its serial number. Once a
// target is named, device discovery lists the matching devices on the USB bus itself, each
// under a device path "usb:<bus path>" (bus path as the kernel writes it: "1-2", "3-1.4"), and
// UsbPipeLink reaches such a device through its bulk endpoints. Without a name the pipe
// folders stay in use.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tervan {

struct UsbId {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    bool operator==(const UsbId&) const = default;
};

// "03eb:6124" (hex, with or without 0x, any case) into its two ids; nothing for anything else.
std::optional<UsbId> parseUsbId(const std::string& text);
// The ids as lsusb writes them: "03eb:6124".
std::string usbIdText(UsbId id);

struct UsbTarget {
    UsbId id;
    std::string serial;  // empty: any serial number
};

// The device named for this process; nothing while the pipe folders are used.
std::optional<UsbTarget> usbTarget();
void setUsbTarget(const std::optional<UsbTarget>& target);

// The device path of the device at `busPath`, and back: the bus path of a device path, empty
// when the path names no device on the bus (a pipe folder).
inline constexpr const char* kUsbBusPathPrefix = "usb:";
std::string usbBusDevicePath(const std::string& busPath);
std::string busPathOf(const std::string& devicePath);

}  // namespace tervan
