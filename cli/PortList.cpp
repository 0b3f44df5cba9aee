#include "cli/PortList.h"

#include <algorithm>
#include <filesystem>

#include "cli/JsonText.h"
#include "cli/OsReasons.h"
#include "cli/UsbBus.h"
#include "link/SerialLink.h"
#include "link/SerialPort.h"
#include "link/SystemPaths.h"
#include "link/UsbPipeLink.h"

namespace tervan::cli {

std::string portStateWord(PortFault fault) {
    switch (fault) {
        case PortFault::None:
            return "free";
        case PortFault::Missing:
            return "missing";
        case PortFault::Busy:
            return "busy";
        case PortFault::Denied:
            return "denied";
        case PortFault::NotAPort:
        case PortFault::Other:
            break;
    }
    return "unusable";
}
namespace {

namespace fs = std::filesystem;

constexpr int kListedComPorts = 10;

std::vector<ComPortState> probeComPorts(int count) {
    std::vector<ComPortState> ports;
    SerialLink link;
    for (int number = 1; number <= count; ++number) {
        ComPortState port;
        port.name = "COM" + std::to_string(number);
        const std::string portPath = "\\\\.\\" + port.name;
        port.path = os::resolveSerialPath(portPath.c_str());
        port.linkTarget = portLinkTarget(port.path);
        port.error = link.probe(portPath.c_str());
        port.state = portStateWord(portFaultOf(port.error));
        port.note = portStateNote(port.error, port.path);
        port.reason = port.error == 0 ? "" : systemErrorText(port.error);
        ports.push_back(std::move(port));
    }
    return ports;
}

// Which COM ports reach a device: the port's path is the device's, or links to it.
std::vector<std::string> comNamesOf(const std::string& devicePath,
                                    const std::vector<ComPortState>& ports) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& port : ports) {
        if (port.path == devicePath ||
            (!port.linkTarget.empty() && fs::equivalent(port.path, devicePath, error))) {
            names.push_back(port.name);
        }
    }
    return names;
}

// "/dev/ttyUSB2  0403:6001  FTDI FT232R USB UART  serial A1  (ftdi_sio)  = COM5".
std::string deviceLine(const ListedDevice& listed) {
    const SerialDevice& device = listed.device;
    std::string line = "  " + device.path;
    if (!device.vendorId.empty()) {
        line += "  " + device.vendorId + ":" + device.productId;
    }
    std::string name = device.manufacturer;
    if (!device.product.empty()) {
        if (!name.empty()) {
            name += ' ';
        }
        name += device.product;
    }
    if (!name.empty()) {
        line += "  " + name;
    }
    if (!device.serial.empty()) {
        line += "  serial " + device.serial;
    }
    if (!device.driver.empty()) {
        line += "  (" + device.driver + ")";
    }
    if (device.latencyTimerMs >= 0) {
        line += "  latency timer " + std::to_string(device.latencyTimerMs) + " ms";
    }
    for (const auto& com : listed.comNames) {
        line += "  = " + com;
    }
    return line;
}

}  // namespace

PortListing collectPortListing() {
    PortListing listing;
    listing.comPorts = probeComPorts(kListedComPorts);
    const auto devices = findSerialDevices();
    for (const auto& device : devices) {
        listing.devices.push_back({device, comNamesOf(device.path, listing.comPorts)});
    }
    enumerateUsbDevices(listing.usbDevices);
    listing.busDevices = os::listUsbBulkDevices();
    listing.texts = portListTexts(deviceRoot(), devices);
    return listing;
}

void writePortListText(std::FILE* out, const PortListing& listing) {
    // Every name comes from the system (links, device nodes, an adapter's own strings, a
    // holder's process name): none may reach the terminal as control characters.
    const PortListTexts& texts = listing.texts;
    std::fprintf(out, "%s\n", terminalText(texts.comPorts).c_str());
    for (const auto& port : listing.comPorts) {
        std::string where = port.path;
        if (!port.linkTarget.empty()) {
            where = "ports/" + port.name + " -> " + port.linkTarget;
        }
        std::string state = port.state;
        if (!port.note.empty()) {
            state += " (" + port.note + ")";
        }
        std::fprintf(out, "  %-6s %-40s %s\n", terminalText(port.name).c_str(),
                     terminalText(where).c_str(), terminalText(state).c_str());
    }

    std::fprintf(out, "Serial devices:\n");
    if (listing.devices.empty()) {
        std::fprintf(out, "  %s\n", terminalText(texts.noDevices).c_str());
    }
    for (const auto& listed : listing.devices) {
        std::fprintf(out, "%s\n", terminalText(deviceLine(listed)).c_str());
        for (const auto& link : listed.device.byId) {
            std::fprintf(out, "      %s\n", terminalText(link).c_str());
        }
    }

    int highestTimer = -1;
    for (const auto& listed : listing.devices) {
        highestTimer = std::max(highestTimer, listed.device.latencyTimerMs);
    }
    if (const std::string advice = latencyAdvice(highestTimer); !advice.empty()) {
        std::fprintf(out, "  %s\n", terminalText(advice).c_str());
    }

    std::fprintf(out, "%s\n", terminalText(texts.usbDevices).c_str());
    if (listing.usbDevices.empty()) {
        std::fprintf(out, "  none\n");
    }
    for (const auto& path : listing.usbDevices) {
        std::fprintf(out, "  %s\n", terminalText(path).c_str());
    }

    if (os::usbBusListed()) {
        writeUsbBusListText(out, listing.busDevices);
    }

    if (!texts.advice.empty()) {
        std::fprintf(out, "%s\n", terminalText(texts.advice).c_str());
    }
}

void writePortListJson(std::FILE* out, const PortListing& listing) {
    const auto line = [out](const JsonObject& object) {
        std::fprintf(out, "%s\n", object.str().c_str());
    };
    for (const auto& port : listing.comPorts) {
        line(JsonObject()
                 .text("event", "port")
                 .text("name", port.name)
                 .text("path", port.path)
                 .text("link", port.linkTarget)
                 .text("state", port.state)
                 .number("error", static_cast<std::int64_t>(port.error))
                 .text("reason", port.reason));
    }
    for (const auto& [device, comNames] : listing.devices) {
        JsonObject event;
        event.text("event", "device")
            .text("path", device.path)
            .text("vendor", device.vendorId)
            .text("product", device.productId)
            .text("manufacturer", device.manufacturer)
            .text("name", device.product)
            .text("serial", device.serial)
            .text("driver", device.driver);
        if (device.latencyTimerMs >= 0) {
            event.number("latency_timer", static_cast<std::int64_t>(device.latencyTimerMs));
        }
        line(event.texts("by_id", device.byId).texts("com", comNames));
    }
    for (const auto& path : listing.usbDevices) {
        line(JsonObject().text("event", "usb").text("path", path));
    }
    for (const JsonObject& event : usbBusListEvents(listing.busDevices)) {
        line(event);
    }
    line(JsonObject().text("event", "result").boolean("ok", true).number("exit", std::int64_t{0}));
}

int printPortList(std::FILE* out, bool json) {
    const PortListing listing = collectPortListing();
    if (json) {
        writePortListJson(out, listing);
    } else {
        writePortListText(out, listing);
    }
    std::fflush(out);
    return 0;
}

}  // namespace tervan::cli
