// Serial ports on Win32: COMn is the system's own \\.\COMn; the machine's serial devices are
// the COM names the system knows, each with the device object it stands for and, for a port
// that an installed device provides, what the device records of the Ports class tell about it
// (USB ids, maker, description, serial number, driver).
#include <windows.h>

#include <setupapi.h>

#include <cctype>

#include "cli/CliOptions.h"
#include "cli/SystemPorts.h"
#include "link/ComName.h"
#include "link/UsbPipeLink.h"

namespace tervan::cli {
namespace {

// {4D36E978-E325-11CE-BFC1-08002BE10318}: the device setup class of serial and parallel ports.
constexpr GUID kPortsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// The four hex digits after `key` ("VID_", "PID_") in `id`, in lower case; empty when absent.
std::string hexAfter(const std::string& id, const char* key) {
    std::string upper(id);
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const std::size_t at = upper.find(key);
    if (at == std::string::npos || at + 4 + 4 > upper.size()) {
        return {};
    }
    std::string digits = id.substr(at + 4, 4);
    for (char& c : digits) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return {};
        }
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return digits;
}

// A text property of one device (the first string of a list), empty when it has none.
std::string deviceProperty(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property) {
    char buffer[1024] = {};
    // Two bytes kept free so that the text ends in a zero whatever the record holds.
    if (::SetupDiGetDeviceRegistryPropertyA(set, &info, property, nullptr,
                                            reinterpret_cast<BYTE*>(buffer), sizeof buffer - 2,
                                            nullptr) == FALSE) {
        return {};
    }
    return buffer;
}

// The COM name a Ports-class device provides ("COM3"), from its "PortName" value, and the
// FTDI driver's "LatencyTimer" where it keeps one (-1 otherwise).
std::string portNameOf(HDEVINFO set, SP_DEVINFO_DATA& info, int* latencyTimerMs) {
    *latencyTimerMs = -1;
    const HKEY key = ::SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        return {};
    }
    char name[64] = {};
    DWORD size = sizeof name - 1;  // the last byte stays the zero that ends the text
    DWORD type = 0;
    const LONG result =
        ::RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    const bool named = result == ERROR_SUCCESS && type == REG_SZ;
    DWORD timer = 0;
    size = sizeof timer;
    if (::RegQueryValueExA(key, "LatencyTimer", nullptr, &type, reinterpret_cast<BYTE*>(&timer),
                           &size) == ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof timer) {
        *latencyTimerMs = static_cast<int>(timer);
    }
    ::RegCloseKey(key);
    return named ? std::string(name) : std::string();
}

// Adds what the Ports class's device records tell to the listed ports they provide. A port
// no installed device provides (a virtual or redirected one) keeps its bare entry.
void describeFromDeviceRecords(std::vector<SerialDevice>& devices) {
    const HDEVINFO set = ::SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        return;
    }
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(set, index, &info) != FALSE; ++index) {
        int latencyTimerMs = -1;
        const std::string port = portNameOf(set, info, &latencyTimerMs);
        SerialDevice* device = nullptr;
        for (SerialDevice& listed : devices) {
            if (!port.empty() &&
                equalsIgnoringCase(listed.path, std::string(kDevicePrefix) + port)) {
                device = &listed;
            }
        }
        if (device == nullptr) {
            continue;
        }
        usbIdsOfHardwareId(deviceProperty(set, info, SPDRP_HARDWAREID), device->vendorId,
                           device->productId);
        device->manufacturer = deviceProperty(set, info, SPDRP_MFG);
        device->product = deviceProperty(set, info, SPDRP_DEVICEDESC);
        device->driver = deviceProperty(set, info, SPDRP_SERVICE);
        device->latencyTimerMs = latencyTimerMs;
        char instance[512] = {};
        if (::SetupDiGetDeviceInstanceIdA(set, &info, instance, sizeof instance - 1, nullptr) !=
            FALSE) {
            device->serial = serialOfInstanceId(instance);
        }
    }
    ::SetupDiDestroyDeviceInfoList(set);
}

}  // namespace

bool usbIdsOfHardwareId(const std::string& hardwareId, std::string& vendor, std::string& product) {
    std::string v = hexAfter(hardwareId, "VID_");
    std::string p = hexAfter(hardwareId, "PID_");
    if (v.empty() || p.empty()) {
        return false;
    }
    vendor = std::move(v);
    product = std::move(p);
    return true;
}

std::string serialOfInstanceId(const std::string& instanceId) {
    // USB\VID_xxxx&PID_yyyy\SERIAL; a composite device's interfaces carry "&MI_nn" and their
    // own made-up last part.
    const std::size_t first = instanceId.find('\\');
    const std::size_t last = instanceId.rfind('\\');
    if (first == std::string::npos || first == last ||
        !equalsIgnoringCase(instanceId.substr(0, first), "USB") ||
        instanceId.find('&', last) != std::string::npos || last + 1 == instanceId.size()) {
        return {};
    }
    return instanceId.substr(last + 1);
}

std::vector<SerialDevice> findSerialDevices() {
    std::vector<SerialDevice> devices;
    for (std::int32_t number = 1; number <= kHighestComNumber; ++number) {
        const std::string name = "COM" + std::to_string(number);
        // Several targets, each ended by a zero, then one more zero; the first is the device.
        char targets[1024];
        const DWORD length = ::QueryDosDeviceA(name.c_str(), targets, sizeof targets);
        // A list too long for the buffer still means the name exists; it is listed without it.
        if (length == 0 && ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            continue;
        }
        targets[length == 0 ? 0 : sizeof targets - 1] = '\0';
        SerialDevice device;
        device.path = "\\\\.\\" + name;
        if (targets[0] != '\0') {
            device.byId.emplace_back(targets);
        }
        devices.push_back(std::move(device));
    }
    describeFromDeviceRecords(devices);
    return devices;
}

std::string portLinkTarget(const std::string&) {
    return {};  // the system names its ports itself: there are no links to follow
}

bool isDevicePath(const std::string& text) {
    return text.find('\\') != std::string::npos || text.find('/') != std::string::npos;
}

const PortHelpTexts& portHelpTexts() {
    static const PortHelpTexts texts{
        "Options (choices left out come from tervan.ini beside the program, which the\n"
        "command line never changes):\n",
        "  --port COMn|DEVICE  serial port: COM1 ... COM256 as Windows names them, or a\n"
        "                      device path such as \\\\.\\VCP0, used as it is\n",
        "  --root DIR          accepted for scripts shared with Linux; Windows names its\n"
        "                      ports and USB devices itself\n",
        "  --list-ports        show COM1 ... COM10, the COM ports Windows knows and the\n"
        "                      USB devices of the target's class\n",
        "  --link COMn DEVICE  Linux only: Windows names its COM ports itself\n",
        "\\\\.\\VCP0",
    };
    return texts;
}

PortListTexts portListTexts(const std::string&, const std::vector<SerialDevice>&) {
    return {
        "COM ports:",
        "none (Windows knows no COM port)",
        std::string("USB devices of the target's class ") + kUsbInterfaceClass + ":",
        {},
    };
}

}  // namespace tervan::cli
