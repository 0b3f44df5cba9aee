// The settings that name the target on the USB bus itself (Linux): `usbid` holds its vendor and
// product ids as lsusb shows them ("03eb:6124"), `usbserial` optionally its serial number.
// With usbid set, the USB choice (interface=0) reaches the device on the bus; without it, the
// target's pipe folders.
#pragma once

#include <optional>

#include "app/SettingsStore.h"
#include "link/UsbTarget.h"

namespace tervan {

inline constexpr const char* kUsbIdKey = "usbid";
inline constexpr const char* kUsbSerialKey = "usbserial";

// The target the settings name; nothing when usbid is missing or names no ids.
std::optional<UsbTarget> storedUsbTarget(const SettingsStore& settings);

}  // namespace tervan
