// Serial ports on Win32: COMn is the system's own \\.\COMn; the machine's serial devices are
// the COM names the system knows, each with the device object it stands for.
#include <windows.h>

#include "cli/CliOptions.h"
#include "cli/SystemPorts.h"
#include "link/UsbPipeLink.h"

namespace tervan::cli {

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
        "  --port COMn|DEVICE  serial port: COM1 ... COM256 as Windows names them, or a\n"
        "                      device path such as \\\\.\\VCP0, used as it is\n",
        "  --root DIR          accepted for scripts shared with Linux; Windows names its\n"
        "                      ports and USB devices itself\n",
        "  --list-ports        show COM1 ... COM10, the COM ports Windows knows and the\n"
        "                      USB devices of the target's class\n",
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
