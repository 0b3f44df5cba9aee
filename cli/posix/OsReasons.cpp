// Reasons on POSIX: errno values, the process holding a busy port, the device's owning group
// for a denied open, flock for a locked image, the USB device folders below the device root.
#include "cli/OsReasons.h"
#include "cli/PortList.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "cli/CliOptions.h"
#include "cli/SystemPorts.h"
#include "cli/posix/PortDoctor.h"
#include "link/PortFault.h"
#include "link/SerialLink.h"
#include "link/SerialPort.h"
#include "link/SystemPaths.h"
#include "link/Terminals.h"
#include "link/UsbFolders.h"
#include "link/UsbPipeLink.h"

namespace tervan::cli {
namespace {

bool isMissing(int error) {
    return portFaultOf(error) == PortFault::Missing;
}

bool isBusy(int error) {
    return portFaultOf(error) == PortFault::Busy;
}

bool isDenied(int error) {
    return portFaultOf(error) == PortFault::Denied;
}

// The owning group of a file (after links), or empty when unknown.
std::string owningGroup(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return {};
    }
    // getgrgid_r with a buffer of its own: the plain call shares static storage.
    group entry{};
    group* found = nullptr;
    char buffer[4096];
    if (::getgrgid_r(info.st_gid, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) {
        return {};
    }
    return found->gr_name;
}

// The command that makes the port link `comLinkPath` (ROOT/ports/COMn) lead to a serial
// device: the first one the machine has, or the usual name of one.
std::string linkCommandFor(const std::string& comName, const std::string& comLinkPath) {
    const auto devices = findSerialDevices();
    std::string command = "tervan-cli --link " + comName + " " +
                          (devices.empty() ? std::string("/dev/ttyUSB0") : devices.front().path);
    const std::string root =
        std::filesystem::path(comLinkPath).parent_path().parent_path().string();
    if (root != settingsFolder()) {
        command += " --root " + root;
    }
    return command;
}

// What a path is, for one that is no port: "a regular file", "a folder", ...
std::string kindOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return "not there";
    }
    if (S_ISREG(info.st_mode)) {
        return "a regular file";
    }
    if (S_ISDIR(info.st_mode)) {
        return "a folder";
    }
    if (S_ISBLK(info.st_mode)) {
        return "a block device (a disk)";
    }
    if (S_ISFIFO(info.st_mode)) {
        return "a FIFO";
    }
    if (S_ISCHR(info.st_mode)) {
        return "a character device of another kind";
    }
    return "no device";
}

// Whose session `device` is the controlling terminal of: "process 1234 (bash)".
std::string sessionText(const std::string& device) {
    struct stat info {};
    if (::stat(device.c_str(), &info) == 0) {
        if (const auto session = os::posix::sessionOfTerminal(info.st_rdev)) {
            return "process " + std::to_string(session->leader) + " (" + session->command + ")";
        }
    }
    return "a login session";
}

}  // namespace

std::string portStateNote(int error, const std::string& device) {
    if (error == kErrorSessionTerminal) {
        return "the terminal of " + sessionText(device) + "'s session";
    }
    if (portFaultOf(error) == PortFault::NotAPort) {
        return "not a serial port: " + kindOf(device);
    }
    if (isBusy(error)) {
        return holderText(device);
    }
    if (isDenied(error)) {
        const std::string group = owningGroup(device);
        return group.empty() ? "permission denied" : "permission denied; group " + group;
    }
    if (portStateWord(portFaultOf(error)) == "unusable") {
        return systemErrorText(error);
    }
    return {};
}

std::string systemErrorText(int error) {
    return std::strerror(error);
}

std::string portOpenReason(int error, const std::string& label, const std::string& device,
                           const std::string& comLinkPath) {
    if (error == 0) {
        return {};
    }
    const std::string named =
        label == device || device.empty() ? label : label + " (" + device + ")";
    if (error == kErrorSessionTerminal) {
        std::string text = named + " is the terminal of " + sessionText(device) +
                           "'s session, not a port; it is left as it is";
        if (!comLinkPath.empty()) {
            text += ". " + comLinkPath + " may be left from a target that ended: `" +
                    linkCommandFor(label, comLinkPath) + " --force` makes it lead to a port";
        }
        return text;
    }
    if (portFaultOf(error) == PortFault::NotAPort) {
        return named + " is not a serial port but " + kindOf(device) +
               ", and is never written; a serial port is a terminal device such as /dev/ttyUSB0";
    }
    if (isMissing(error)) {
        std::string text = named + ": no such device; `tervan-cli --list-ports` shows the ports";
        if (!comLinkPath.empty()) {
            text += ", and `" + linkCommandFor(label, comLinkPath) + "` makes one this port";
        }
        return text;
    }
    if (isBusy(error)) {
        return named + " is busy: " + holderText(device) + "; close that program and try again";
    }
    if (isDenied(error)) {
        return named + ": permission denied; " + permissionAdvice(device);
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
        return label + ": " + pipe + " is not a pipe but " + kindOf(pipe) +
               ", and is never written; the driver's pipes are FIFOs or devices";
    }
    return label + ": " + pipe + ": " + systemErrorText(error);
}

std::string serialPortReason(const std::string& comPortPath, int error) {
    const std::string device = os::resolveSerialPath(comPortPath.c_str());
    std::string label = comPortPath;
    std::string comLinkPath;
    if (const auto com = parseComName(comPortPath)) {
        label = com->path.substr(4);  // "COMn"
        comLinkPath = deviceRoot() + "/ports/" + label;
    }
    std::string reason = portOpenReason(error, label, device, comLinkPath);
    for (const auto& hint : adapterHints(device, portFaultOf(error))) {
        reason += (reason.empty() ? "" : "\n") + hint;
    }
    return reason;
}

namespace {

constexpr const char* kLatencyRule =
    "ACTION==\"add\", SUBSYSTEM==\"usb-serial\", DRIVERS==\"ftdi_sio\", "
    "ATTR{latency_timer}=\"1\"";

}  // namespace

std::string latencyNote(const os::AdapterLatency& latency) {
    if (latency.timerMs <= 1 || latency.lowerError == 0) {
        return {};
    }
    return "the adapter's latency timer is " + std::to_string(latency.timerMs) +
           " ms and could not be set to 1 ms (" + systemErrorText(latency.lowerError) + ": " +
           latency.setting +
           "); every page waits that long for its answer. Allow it with the udev rule `" +
           kLatencyRule + "` in /etc/udev/rules.d/, then replug";
}

std::string latencyAdvice(int highestTimerMs) {
    if (highestTimerMs <= 1) {
        return {};
    }
    return "A latency timer above 1 ms slows every page: a download sets it to 1 ms where it may "
           "write the adapter's latency_timer (and puts it back after); the udev rule `" +
           std::string(kLatencyRule) + "` makes it 1 ms for everyone.";
}

std::string imageFileReason(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return path + ": " + std::strerror(errno);
    }
    if (S_ISDIR(info.st_mode)) {
        return path + " is a folder, not an image file";
    }
    if (!S_ISREG(info.st_mode)) {
        return path + " is not a regular file";
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return path + ": " + std::strerror(errno);
    }
    std::string reason;
    // The tool reads under a shared lock: only a program holding the file for writing keeps
    // it out.
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EAGAIN)) {
        reason = path + " is locked by another program";
    }
    ::close(fd);
    return reason;
}

std::string usbDeviceReason(int foundDeviceCount) {
    const std::string folder = usbClassFolder(deviceRoot());
    if (foundDeviceCount == 0) {
        return "no USB device of the target's class in " + folder +
               "; is the target plugged in and its driver loaded?";
    }
    if (foundDeviceCount > 1) {
        return std::to_string(foundDeviceCount) + " USB devices of the target's class in " +
               folder + "; leave only one attached";
    }
    return {};
}

}  // namespace tervan::cli
