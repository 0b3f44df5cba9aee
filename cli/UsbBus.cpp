#include "cli/UsbBus.h"

#include <cerrno>
#include <cstring>

#include "protocol/TargetSession.h"

namespace tervan::cli {
namespace {

std::string hex4(std::uint16_t value) {
    return usbIdText({value, 0}).substr(0, 4);
}

const char* kReloadCommand = "sudo udevadm control --reload-rules && sudo udevadm trigger";

std::string interfaceName(const os::UsbBulkDevice& device) {
    return device.busPath + ":1." + std::to_string(device.interfaceNumber);
}

std::string joined(const std::vector<std::string>& items, const char* separator) {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : separator) + item;
    }
    return text;
}

// The devices on the bus that are the target the user named.
std::vector<os::UsbBulkDevice> targetDevices(const UsbTarget& target,
                                             const std::string& deviceName) {
    std::vector<os::UsbBulkDevice> found;
    for (os::UsbBulkDevice& device : os::listUsbBulkDevices()) {
        if (device.id == target.id && (target.serial.empty() || device.serial == target.serial) &&
            (deviceName.empty() ||
             isUsbDeviceNamed(usbBusDevicePath(device.busPath), deviceName))) {
            found.push_back(std::move(device));
        }
    }
    return found;
}

}  // namespace

std::string udevRuleText(UsbId id) {
    return "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"" + hex4(id.vendor) + "\", ATTR{idProduct}==\"" +
           hex4(id.product) + "\", TAG+=\"uaccess\"";
}

std::string udevRuleFileText(UsbId id) {
    return "# Lets the person at the seat open the target's USB device (" + usbIdText(id) +
           ") without root.\n"
           "# Put this line into " +
           std::string(kUdevRuleFile) +
           " (the number must stay below 73),\n"
           "# then load it with: " +
           kReloadCommand +
           "\n"
           "# (or unplug the board and plug it in again).\n" +
           udevRuleText(id) + "\n";
}

std::string usbOpenAdvice(int error, const os::UsbBulkDevice& device,
                          const std::vector<std::string>& holders) {
    const std::string node = device.node.empty() ? device.busPath : device.node;
    switch (error) {
        case EACCES:
        case EPERM:
            return "permission denied on " + node +
                   ": a udev rule gives the device to the person at the seat; put the line\n  " +
                   udevRuleText(device.id) + "\n  into " + kUdevRuleFile +
                   " and load it with: " + kReloadCommand +
                   " (or plug the board in again); tervan-cli --udev-rule " + usbIdText(device.id) +
                   " prints it";
        case EBUSY:
            if (!holders.empty()) {
                return "the device " + device.busPath + " is busy: " + joined(holders, ", ") +
                       " holds " + node + " open; end it and connect again";
            }
            if (!device.kernelDriver.empty() && device.kernelDriver != "usbfs") {
                return "the kernel driver " + device.kernelDriver + " is bound to interface " +
                       interfaceName(device) + " and did not let go of it; unbind it with: echo " +
                       interfaceName(device) + " | sudo tee /sys/bus/usb/drivers/" +
                       device.kernelDriver + "/unbind";
            }
            return "the device " + device.busPath +
                   " is busy: another program has claimed its interface " + interfaceName(device);
        case ENOENT:
        case ENODEV:
            return "the device " + device.busPath +
                   " went away while it was opened; is the board still plugged in?";
        default:
            return "cannot open " + node + ": " + std::strerror(error);
    }
}

std::string usbBusReason(const UsbTarget& target, const std::string& deviceName,
                         const Outcome& outcome) {
    std::string named = "the ids " + usbIdText(target.id);
    if (!target.serial.empty()) {
        named += " and the serial number " + target.serial;
    }
    if (!deviceName.empty()) {
        named += " at " + deviceName;
    }
    const std::vector<os::UsbBulkDevice> devices = targetDevices(target, deviceName);
    switch (outcome.kind) {
        case OutcomeKind::NoUsbDevice:
            return "no USB device with " + named +
                   " on the bus; is the board plugged in? tervan-cli --list-ports lists the "
                   "devices that could be the target";
        case OutcomeKind::TooManyUsbDevices: {
            std::vector<std::string> paths;
            for (const auto& device : devices) {
                paths.push_back(device.busPath);
            }
            return std::to_string(devices.size()) + " USB devices with " + named + " (" +
                   joined(paths, ", ") +
                   "): name one with --device BUS-PATH or --usb-serial, or write all with --all";
        }
        case OutcomeKind::UsbDeviceNotOpenable:
            if (devices.size() == 1) {
                return usbOpenAdvice(outcome.error, devices.front(),
                                     processesHolding(devices.front().node));
            }
            return "cannot open the USB device with " + named + ": " + std::strerror(outcome.error);
        default:
            return {};
    }
}

UsbDeviceIds usbDeviceIdsOf(const std::string& devicePath) {
    const std::string busPath = busPathOf(devicePath);
    if (busPath.empty()) {
        return {};
    }
    for (const os::UsbBulkDevice& device : os::listUsbBulkDevices()) {
        if (device.busPath == busPath) {
            return {usbIdText(device.id), device.serial};
        }
    }
    return {};
}

void writeUsbBusListText(std::FILE* out, const std::vector<os::UsbBulkDevice>& devices) {
    std::fprintf(out,
                 "USB devices on the bus that could be the target (a vendor-specific interface "
                 "with one bulk IN and one bulk OUT endpoint):\n");
    if (devices.empty()) {
        std::fprintf(out, "  none\n");
    }
    for (const os::UsbBulkDevice& device : devices) {
        std::string names = device.manufacturer;
        if (!device.product.empty()) {
            names += (names.empty() ? "" : " ") + device.product;
        }
        std::string line = "  " + device.busPath + "  " + usbIdText(device.id);
        if (!names.empty()) {
            line += "  " + names;
        }
        if (!device.serial.empty()) {
            line += "  serial " + device.serial;
        }
        line += "  " + device.node;
        line += device.accessError == 0
                    ? "  may open"
                    : "  " + std::string(std::strerror(device.accessError)) +
                          " (tervan-cli --udev-rule " + usbIdText(device.id) + ")";
        if (!device.kernelDriver.empty()) {
            line += "  driver " + device.kernelDriver;
        }
        std::fprintf(out, "%s\n", line.c_str());
    }
}

std::vector<JsonObject> usbBusListEvents(const std::vector<os::UsbBulkDevice>& devices) {
    std::vector<JsonObject> events;
    for (const os::UsbBulkDevice& device : devices) {
        JsonObject event;
        event.text("event", "usb_device")
            .text("bus_path", device.busPath)
            .text("vendor", hex4(device.id.vendor))
            .text("product", hex4(device.id.product))
            .text("manufacturer", device.manufacturer)
            .text("name", device.product)
            .text("serial", device.serial)
            .text("node", device.node)
            .boolean("may_open", device.accessError == 0)
            .text("driver", device.kernelDriver);
        events.push_back(event);
    }
    return events;
}

}  // namespace tervan::cli
