// A USB serial adapter's latency on POSIX: the FTDI driver's latency timer in sysfs, or the
// driver's low-latency mode where there is no timer, lowered while the port is open and put
// back on close.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <string>

#include "link/SerialPort.h"
#include "link/SystemPaths.h"
#include "link/posix/PosixIo.h"

namespace tervan::os {
namespace {

using posix::descriptorOf;

// The sysfs folder of the tty behind `device`: a /dev/serial/by-id name or a ports/COMn link
// leads to the ttyUSB0 whose attributes are read.
std::string ttyClassFolder(const std::string& device) {
    char resolved[PATH_MAX];
    const std::string real = ::realpath(device.c_str(), resolved) != nullptr ? resolved : device;
    return systemRoot() + "/sys/class/tty/" + fileNameOf(real);
}

// A small number a sysfs attribute holds, or -1.
int readAttributeNumber(const std::string& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return -1;
    }
    char text[16] = {};
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    int value = -1;
    if (n > 0) {
        const auto [end, error] = std::from_chars(text, text + n, value);
        if (error != std::errc() || end == text) {
            return -1;
        }
    }
    return value;
}

// Writes a number into a sysfs attribute; 0 or the system's code.
int writeAttributeNumber(const std::string& file, int value) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_TRUNC);
    if (fd < 0) {
        return errno != 0 ? errno : EIO;
    }
    const std::string text = std::to_string(value) + "\n";
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int error = written ? 0 : (errno != 0 ? errno : EIO);
    ::close(fd);
    return error;
}

// Switches the driver's low-latency mode on or off; true when it was changed.
bool setLowLatencyMode(int fd, bool on) {
#ifdef __linux__
    serial_struct info{};
    if (::ioctl(fd, TIOCGSERIAL, &info) != 0 || ((info.flags & ASYNC_LOW_LATENCY) != 0) == on) {
        return false;
    }
    info.flags = on ? (info.flags | ASYNC_LOW_LATENCY) : (info.flags & ~ASYNC_LOW_LATENCY);
    return ::ioctl(fd, TIOCSSERIAL, &info) == 0;
#else
    (void)fd;
    (void)on;
    return false;
#endif
}

}  // namespace

AdapterLatency adapterLatencyOf(const char* path) {
    AdapterLatency latency;
    const std::string device = resolveSerialPath(path);
    if (device.empty()) {
        return latency;
    }
    // FTDI adapters (ftdi_sio) show their timer; other drivers have none to set.
    const std::string attribute = ttyClassFolder(device) + "/device/latency_timer";
    latency.timerMs = readAttributeNumber(attribute);
    if (latency.timerMs >= 0) {
        latency.setting = attribute;
    }
    return latency;
}

AdapterLatency serialLowerLatency(PlatformHandle handle, const char* path) {
    AdapterLatency latency = adapterLatencyOf(path);
    if (latency.timerMs < 0) {
        // A driver without a timer of its own may still hold input back without this mode.
        // An adapter with a timer is tuned through the timer alone: some drivers map the mode
        // onto the timer and set their default when it is switched off again, which would undo
        // a timer the user had lowered.
        latency.lowLatencySet = setLowLatencyMode(descriptorOf(handle), true);
        return latency;
    }
    if (latency.timerMs > 1) {
        latency.lowerError = writeAttributeNumber(latency.setting, 1);
        if (latency.lowerError == 0) {
            latency.restoreMs = latency.timerMs;
            latency.timerMs = 1;
        }
    }
    return latency;
}

void serialRestoreLatency(PlatformHandle handle, const AdapterLatency& latency) {
    if (latency.restoreMs >= 0) {
        writeAttributeNumber(latency.setting, latency.restoreMs);
    }
    if (latency.lowLatencySet) {
        setLowLatencyMode(descriptorOf(handle), false);
    }
}

}  // namespace tervan::os
