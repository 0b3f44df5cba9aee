// The target on the USB bus itself (Linux, named by --usb-id or the stored usbid): the devices
// that could be it for --list-ports, the udev rule that lets the person at the seat open it,
// and why a connect to it failed.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "cli/JsonText.h"
#include "link/UsbBulk.h"
#include "link/UsbTarget.h"
#include "protocol/Outcome.h"

namespace tervan::cli {

// Where the rule goes and the file's name there.
inline constexpr const char* kUdevRuleFile = "/etc/udev/rules.d/70-tervan.rules";

// SUBSYSTEM=="usb", ATTR{idVendor}=="03eb", ATTR{idProduct}=="6124", TAG+="uaccess"
std::string udevRuleText(UsbId id);
// What --udev-rule prints: a comment on where the rule goes and how to load it, then the rule.
std::string udevRuleFileText(UsbId id);

// Why opening `device` failed with `error` (the system's code), and what to do about it.
// `holders` are the programs that hold its device file open ("process 1234 (name)").
std::string usbOpenAdvice(int error, const os::UsbBulkDevice& device,
                          const std::vector<std::string>& holders);

// Why the connect to the target on the bus ended with `outcome`: no device with its ids,
// several of them, or the one found that could not be opened. Empty when the device opened
// and the cause lies with the target (no answer).
std::string usbBusReason(const UsbTarget& target, const std::string& deviceName,
                         const Outcome& outcome);

// The ids and serial of the device a session used ("usb:1-2"), for the receipts; empty when
// it is no device on the bus or no longer there.
struct UsbDeviceIds {
    std::string ids;  // "03eb:6124"
    std::string serial;
};
UsbDeviceIds usbDeviceIdsOf(const std::string& devicePath);

// The --list-ports section of the devices on the bus that could be the target.
void writeUsbBusListText(std::FILE* out, const std::vector<os::UsbBulkDevice>& devices);
std::vector<JsonObject> usbBusListEvents(const std::vector<os::UsbBulkDevice>& devices);

// The programs that hold `node` open, one "process 1234 (name)" each (cli/posix; none on
// Windows).
std::vector<std::string> processesHolding(const std::string& node);

}  // namespace tervan::cli
