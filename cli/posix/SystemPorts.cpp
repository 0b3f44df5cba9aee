// Serial ports on POSIX: COMn is a link ports/COMn below the device root (else a ttyS
// device); the machine's USB and ACM serial devices are read from /dev and described from
// sysfs.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <utility>

#include "cli/SystemPorts.h"
#include "link/SystemPaths.h"
#include "link/UsbFolders.h"
#include "link/UsbPipeLink.h"

namespace tervan::cli {
namespace {

namespace fs = std::filesystem;

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
    if (const std::string timer =
            readAttribute(sys / "class" / "tty" / name / "device" / "latency_timer");
        !timer.empty() && timer.find_first_not_of("0123456789") == std::string::npos &&
        timer.size() < 6) {
        device.latencyTimerMs = std::stoi(timer);
    }
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

}  // namespace

SerialDevice describeSerialDevice(const std::string& name, const std::string& sysFolder) {
    SerialDevice device;
    describeFromSysfs(device, name, sysFolder);
    return device;
}

std::vector<SerialDevice> findSerialDevices() {
    const std::string root = systemRoot();
    return findSerialDevices(root + "/dev", root + "/sys");
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

std::string portLinkTarget(const std::string& path) {
    return linkDestination(path).string();
}

bool isDevicePath(const std::string& text) {
    return text.find('/') != std::string::npos;
}

const PortHelpTexts& portHelpTexts() {
    static const PortHelpTexts texts{
        "Options (choices left out come from the settings file, which the command line\n"
        "never changes: tervan.ini beside the program, or in ~/.config/tervan for a\n"
        "program installed for the whole system; ports/ is found there too):\n",
        "  --port COMn|DEVICE  serial port: COM1 ... COM10 as the window names them\n"
        "                      (ports/COMn beside the program, else /dev/ttyS<n-1>), or a\n"
        "                      device path such as /dev/ttyUSB0, used as it is\n",
        "  --root DIR          look for ports/ and usb/ in DIR instead of the program's\n"
        "                      folder\n",
        "  --list-ports        show COM1 ... COM10, the serial devices and the USB\n"
        "                      devices of the target's class\n",
        "  --link COMn DEVICE  make COMn (COM1 ... COM10, as the window lists them) lead to\n"
        "                      DEVICE: a link ports/COMn beside the program, to the\n"
        "                      device's /dev/serial/by-id name when it has one\n"
        "  --force             let --link replace a link that leads elsewhere\n",
        "/dev/ttyUSB0",
    };
    return texts;
}

PortListTexts portListTexts(const std::string& root, const std::vector<SerialDevice>& devices) {
    const std::string example = devices.empty() ? "/dev/ttyUSB0" : devices.front().path;
    return {
        "COM ports (links in " + root + "/ports):",
        "none (no /dev/ttyUSB* or /dev/ttyACM*)",
        "USB devices of the target's class (in " + usbClassFolder(root) + "):",
        "To use a serial device as COMn:  tervan-cli --link COM1 " + example +
            (root == settingsFolder() ? "" : " --root " + root),
    };
}

}  // namespace tervan::cli
