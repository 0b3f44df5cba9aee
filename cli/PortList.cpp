#include "cli/PortList.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

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
constexpr const char* kSerialDevicePrefixes[] = {"ttyUSB", "ttyACM"};

// "ttyUSB10" sorts after "ttyUSB2": the prefix, then the number.
bool naturalLess(const std::string& a, const std::string& b) {
    const auto split = [](const std::string& name) {
        std::size_t digits = name.size();
        while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') {
            --digits;
        }
        const std::string number = name.substr(digits);
        return std::make_pair(name.substr(0, digits),
                              number.empty() ? -1L : std::stol(number.substr(0, 9)));
    };
    return split(a) < split(b);
}

std::string readAttribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ' || line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

// The path a link points to, made absolute against the link's folder and tidied, without
// asking the file system (the target need not exist).
fs::path linkDestination(const fs::path& link) {
    std::error_code error;
    const fs::path target = fs::read_symlink(link, error);
    if (error) {
        return {};
    }
    return (target.is_absolute() ? target : link.parent_path() / target).lexically_normal();
}

void describeFromSysfs(SerialDevice& device, const std::string& name, const fs::path& sys) {
    std::error_code error;
    const fs::path deviceLink = sys / "class" / "tty" / name / "device";
    const fs::path driver = linkDestination(deviceLink / "driver");
    if (!driver.empty()) {
        device.driver = driver.filename().string();
    }
    // Walk up from the tty's device to the USB device that carries the ids.
    fs::path node = fs::canonical(deviceLink, error);
    if (error) {
        return;
    }
    const fs::path top = fs::canonical(sys, error);
    for (int depth = 0; depth < 16 && !node.empty() && node != top && node != node.root_path();
         ++depth, node = node.parent_path()) {
        if (fs::exists(node / "idVendor", error)) {
            device.vendorId = readAttribute(node / "idVendor");
            device.productId = readAttribute(node / "idProduct");
            device.manufacturer = readAttribute(node / "manufacturer");
            device.product = readAttribute(node / "product");
            device.serial = readAttribute(node / "serial");
            return;
        }
    }
}

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
        const fs::path destination = linkDestination(port.path);
        if (!destination.empty()) {
            port.linkTarget = destination.string();
        }
        port.error = link.probe(portPath.c_str());
        ports.push_back(std::move(port));
    }
    return ports;
}

std::vector<SerialDevice> findSerialDevices(const std::string& devFolder,
                                            const std::string& sysFolder) {
    const fs::path dev(devFolder);
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dev, error)) {
        const std::string name = entry.path().filename().string();
        for (const char* prefix : kSerialDevicePrefixes) {
            if (name.rfind(prefix, 0) == 0) {
                names.push_back(name);
            }
        }
    }
    std::sort(names.begin(), names.end(), naturalLess);

    // The stable names udev gives each device, by what they point to.
    std::vector<std::pair<fs::path, std::string>> stableNames;
    for (const auto& entry : fs::directory_iterator(dev / "serial" / "by-id", error)) {
        stableNames.emplace_back(linkDestination(entry.path()), entry.path().string());
    }
    std::sort(stableNames.begin(), stableNames.end());

    std::vector<SerialDevice> devices;
    for (const auto& name : names) {
        SerialDevice device;
        const fs::path path = (dev / name).lexically_normal();
        device.path = path.string();
        for (const auto& [destination, link] : stableNames) {
            if (destination == path) {
                device.byId.push_back(link);
            }
        }
        describeFromSysfs(device, name, sysFolder);
        devices.push_back(std::move(device));
    }
    return devices;
}

int printPortList(std::FILE* out, bool json) {
    const std::string root = deviceRoot();
    const auto ports = probeComPorts(kListedComPorts);
    const auto devices = findSerialDevices();
    UsbDevicePaths usbDevices;
    enumerateUsbDevices(usbDevices);

    // Which COM link names each device.
    const auto comNamesOf = [&ports](const std::string& devicePath) {
        std::vector<std::string> names;
        std::error_code error;
        for (const auto& port : ports) {
            if (!port.linkTarget.empty() && fs::equivalent(port.path, devicePath, error)) {
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
                             .text("reason", port.error == 0 ? "" : std::strerror(port.error))
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

    std::fprintf(out, "COM ports (links in %s/ports):\n", root.c_str());
    for (const auto& port : ports) {
        std::string where = port.path;
        if (!port.linkTarget.empty()) {
            where = "ports/" + port.name + " -> " + port.linkTarget;
        }
        std::string state = portStateWord(port.error);
        if (port.error == EBUSY) {
            state += " (another program holds it)";
        } else if (port.error == EACCES || port.error == EPERM) {
            const std::string group = owningGroup(port.path);
            state += group.empty() ? " (permission denied)"
                                   : " (permission denied; group " + group + ")";
        } else if (state == "unusable") {
            state += std::string(" (") + std::strerror(port.error) + ")";
        }
        std::fprintf(out, "  %-6s %-40s %s\n", port.name.c_str(), where.c_str(), state.c_str());
    }

    std::fprintf(out, "Serial devices:\n");
    if (devices.empty()) {
        std::fprintf(out, "  none (no /dev/ttyUSB* or /dev/ttyACM*)\n");
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

    std::fprintf(out, "USB devices of the target's class (in %s/usb/%s):\n", root.c_str(),
                 kUsbInterfaceClass);
    if (usbDevices.empty()) {
        std::fprintf(out, "  none\n");
    }
    for (const auto& path : usbDevices) {
        std::fprintf(out, "  %s\n", path.c_str());
    }

    const std::string example = devices.empty() ? "/dev/ttyUSB0" : devices.front().path;
    std::fprintf(out,
                 "To use a serial device as COMn:  mkdir -p %s/ports && ln -s %s %s/ports/COM1\n",
                 root.c_str(), example.c_str(), root.c_str());
    std::fflush(out);
    return 0;
}

}  // namespace tervan::cli
