// Reasons on Win32: the error codes are Win32 ones (2 no such port, 5 held by another program
// or refused), the texts for the others come from FormatMessageA. The image file is opened as
// the window opens it, without sharing, so that a locked file shows as such.
#include "cli/OsReasons.h"
#include "cli/PortList.h"

#include <windows.h>

#include "cli/CliOptions.h"
#include "link/PortFault.h"
#include "link/SerialLink.h"
#include "link/UsbPipeLink.h"

namespace tervan::cli {
namespace {

bool isMissing(int error) {
    return portFaultOf(error) == PortFault::Missing;
}

// Windows refuses a second opener of a COM port with "access denied"; a port a program holds
// and a port this user may not open look the same.
bool isHeld(int error) {
    return portFaultOf(error) == PortFault::Busy;
}

}  // namespace

std::string portStateNote(int error, const std::string&) {
    if (portFaultOf(error) == PortFault::NotAPort) {
        return "not a serial port: a file on a disk";
    }
    if (isHeld(error)) {
        return "another program holds it";
    }
    if (portStateWord(portFaultOf(error)) == "unusable") {
        return systemErrorText(error);
    }
    return {};
}

std::string systemErrorText(int error) {
    char buffer[512];
    DWORD length =
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                         static_cast<DWORD>(error), 0, buffer, sizeof buffer, nullptr);
    // The system's texts end in a full stop and a line break; the reason line goes on after it.
    while (length > 0 && (buffer[length - 1] == '\n' || buffer[length - 1] == '\r' ||
                          buffer[length - 1] == ' ' || buffer[length - 1] == '.')) {
        --length;
    }
    const std::string code = "error " + std::to_string(static_cast<unsigned long>(error));
    if (length == 0) {
        return code;
    }
    return std::string(buffer, length) + " (" + code + ")";
}

std::string portOpenReason(int error, const std::string& label, const std::string& device,
                           const std::string&) {
    if (error == 0) {
        return {};
    }
    // "COM3" says all that "\\.\COM3" says.
    const bool sameName = device.empty() || device == label || device == "\\\\.\\" + label;
    const std::string named = sameName ? label : label + " (" + device + ")";
    if (isMissing(error)) {
        return named + ": no such port; `tervan-cli --list-ports` shows the ports";
    }
    if (portFaultOf(error) == PortFault::NotAPort) {
        return named + " is not a serial port but a file on a disk, and is never written";
    }
    if (isHeld(error)) {
        return named +
               " is busy or access is denied: another program holds it; close that program and "
               "try again";
    }
    return named + ": " + systemErrorText(error);
}

std::string serialPortReason(const std::string& comPortPath) {
    SerialLink probe;
    return serialPortReason(comPortPath, probe.probe(comPortPath.c_str()));
}

std::string pipeFileReason(int error, const std::string& label, const std::string& pipe) {
    if (error == 0) {
        return {};
    }
    if (portFaultOf(error) == PortFault::NotAPort) {
        return label + ": " + pipe + " is not a pipe but a file on a disk, and is never written";
    }
    return label + ": " + pipe + ": " + systemErrorText(error);
}

std::string serialPortReason(const std::string& comPortPath, int error) {
    std::string label = comPortPath;
    if (const auto com = parseComName(comPortPath)) {
        label = com->path.substr(4);  // "COMn"
    }
    return portOpenReason(error, label, comPortPath, {});
}

namespace {

constexpr const char* kLowerTimer =
    "set \"Latency Timer (msec)\" to 1 in the port's Advanced settings (Device Manager, "
    "Ports, the port's Properties, Port Settings, Advanced), then replug";

}  // namespace

std::string latencyNote(const os::AdapterLatency& latency) {
    // The driver reads its timer when the device starts: the tool can only tell.
    if (latency.timerMs <= 2) {
        return {};
    }
    return "the adapter's latency timer is " + std::to_string(latency.timerMs) +
           " ms (LatencyTimer in " + latency.setting +
           "); every page waits that long for its answer: " + kLowerTimer;
}

std::string latencyAdvice(int highestTimerMs) {
    if (highestTimerMs <= 2) {
        return {};
    }
    return std::string("A latency timer above 2 ms slows every page: ") + kLowerTimer + ".";
}

std::string imageFileReason(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return path + ": " + systemErrorText(static_cast<int>(::GetLastError()));
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return path + " is a folder, not an image file";
    }
    // Shared for reading only, as the image is read: the open fails while another program
    // holds the file for writing or without sharing.
    const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
            return path + " is locked by another program";
        }
        return path + ": " + systemErrorText(static_cast<int>(error));
    }
    std::string reason;
    if (::GetFileType(file) != FILE_TYPE_DISK) {
        reason = path + " is not a regular file";
    }
    ::CloseHandle(file);
    return reason;
}

std::string usbDeviceReason(int foundDeviceCount) {
    const std::string present =
        std::string(" of the target's class ") + kUsbInterfaceClass + " present";
    if (foundDeviceCount == 0) {
        return "no USB device" + present + "; is the target plugged in and its driver loaded?";
    }
    if (foundDeviceCount > 1) {
        return std::to_string(foundDeviceCount) + " USB devices" + present +
               "; leave only one attached";
    }
    return {};
}

}  // namespace tervan::cli
