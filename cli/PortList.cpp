#include "cli/PortList.h"

#include <filesystem>

#include "cli/JsonText.h"
#include "cli/OsReasons.h"
#include "link/SerialLink.h"
#include "link/SerialPort.h"
#include "link/SystemPaths.h"
#include "link/UsbPipeLink.h"

namespace tervan::cli {
namespace {

namespace fs = std::filesystem;

constexpr int kListedComPorts = 10;

std::string jsonArray(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        out += jsonString(items[i]);
    }
    return out + "]";
}

}  // namespace

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
        ports.push_back(std::move(port));
    }
    return ports;
}

int printPortList(std::FILE* out, bool json) {
    const std::string root = deviceRoot();
    const auto ports = probeComPorts(kListedComPorts);
    const auto devices = findSerialDevices();
    UsbDevicePaths usbDevices;
    enumerateUsbDevices(usbDevices);

    // Which COM ports reach each device: the port's path is the device's, or links to it.
    const auto comNamesOf = [&ports](const std::string& devicePath) {
        std::vector<std::string> names;
        std::error_code error;
        for (const auto& port : ports) {
            if (port.path == devicePath ||
                (!port.linkTarget.empty() && fs::equivalent(port.path, devicePath, error))) {
                names.push_back(port.name);
            }
        }
        return names;
    };

    if (json) {
        for (const auto& port : ports) {
            std::fprintf(out, "%s\n",
                         JsonObject()
                             .text("event", "port")
                             .text("name", port.name)
                             .text("path", port.path)
                             .text("link", port.linkTarget)
                             .text("state", portStateWord(port.error))
                             .number("error", static_cast<std::int64_t>(port.error))
                             .text("reason", port.error == 0 ? "" : systemErrorText(port.error))
                             .str()
                             .c_str());
        }
        for (const auto& device : devices) {
            std::fprintf(out, "%s\n",
                         JsonObject()
                             .text("event", "device")
                             .text("path", device.path)
                             .text("vendor", device.vendorId)
                             .text("product", device.productId)
                             .text("manufacturer", device.manufacturer)
                             .text("name", device.product)
                             .text("serial", device.serial)
                             .text("driver", device.driver)
                             .raw("by_id", jsonArray(device.byId))
                             .raw("com", jsonArray(comNamesOf(device.path)))
                             .str()
                             .c_str());
        }
        for (const auto& path : usbDevices) {
            std::fprintf(out, "%s\n",
                         JsonObject().text("event", "usb").text("path", path).str().c_str());
        }
        std::fprintf(out, "%s\n",
                     JsonObject()
                         .text("event", "result")
                         .boolean("ok", true)
                         .number("exit", std::int64_t{0})
                         .str()
                         .c_str());
        std::fflush(out);
        return 0;
    }

    const PortListTexts texts = portListTexts(root, devices);
    std::fprintf(out, "%s\n", texts.comPorts.c_str());
    for (const auto& port : ports) {
        std::string where = port.path;
        if (!port.linkTarget.empty()) {
            where = "ports/" + port.name + " -> " + port.linkTarget;
        }
        std::string state = portStateWord(port.error);
        if (const std::string note = portStateNote(port.error, port.path); !note.empty()) {
            state += " (" + note + ")";
        }
        std::fprintf(out, "  %-6s %-40s %s\n", port.name.c_str(), where.c_str(), state.c_str());
    }

    std::fprintf(out, "Serial devices:\n");
    if (devices.empty()) {
        std::fprintf(out, "  %s\n", texts.noDevices.c_str());
    }
    for (const auto& device : devices) {
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
        for (const auto& com : comNamesOf(device.path)) {
            line += "  = " + com;
        }
        std::fprintf(out, "%s\n", line.c_str());
        for (const auto& link : device.byId) {
            std::fprintf(out, "      %s\n", link.c_str());
        }
    }

    std::fprintf(out, "%s\n", texts.usbDevices.c_str());
    if (usbDevices.empty()) {
        std::fprintf(out, "  none\n");
    }
    for (const auto& path : usbDevices) {
        std::fprintf(out, "  %s\n", path.c_str());
    }

    if (!texts.advice.empty()) {
        std::fprintf(out, "%s\n", texts.advice.c_str());
    }
    std::fflush(out);
    return 0;
}

}  // namespace tervan::cli
