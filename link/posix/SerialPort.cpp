// The serial port on POSIX: termios on the device, exclusive open with TIOCEXCL and flock,
// transfers bounded by poll.
#include "link/SerialPort.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <string>
#include <string_view>

#include "link/ComName.h"
#include "link/SystemPaths.h"
#include "link/Terminals.h"
#include "link/posix/PosixIo.h"

namespace tervan::os {
namespace {

using posix::descriptorOf;

constexpr Clock::Duration kReadTimeout{1000};  // plus 1 ms per requested byte
constexpr Clock::Duration kWriteTimeout{1000};

struct RateEntry {
    std::uint32_t rate;
    speed_t code;
};

constexpr RateEntry kRates[] = {
    {50, B50},           {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},         {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},     {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool speedCodeOf(std::uint32_t rate, speed_t* code) {
    for (const auto& entry : kRates) {
        if (entry.rate == rate) {
            *code = entry.code;
            return true;
        }
    }
    return false;
}

std::uint32_t rateOf(speed_t code) {
    for (const auto& entry : kRates) {
        if (entry.code == code) {
            return entry.rate;
        }
    }
    return 0;
}

// What speaks against opening the device `info` describes as a port, before it is opened: 0,
// kErrorNotAPort or kErrorSessionTerminal.
int deviceCheck(const struct stat& info) {
    // A socket node refuses every open with ENXIO, as a device node with nothing behind it does.
    if (S_ISSOCK(info.st_mode)) {
        return ENXIO;
    }
    // Only a character device can be a terminal; a file or a disk is never written as a port.
    if (!S_ISCHR(info.st_mode) ||
        posix::terminalKindOf(info.st_rdev) == posix::TerminalKind::NotOne) {
        return kErrorNotAPort;
    }
    // A link left behind by a target that ended may lead to a terminal number the system gave
    // to someone's shell since.
    if (posix::sessionOfTerminal(info.st_rdev)) {
        return kErrorSessionTerminal;
    }
    return 0;
}

// Drops the exclusive mode this descriptor set (an open never takes over someone else's) and
// closes.
void releaseDescriptor(int fd) {
    if (::isatty(fd) == 1) {
        ::ioctl(fd, TIOCNXCL);
    }
    ::close(fd);
}

// Bytes the driver still holds for sending, or -1 when it cannot tell.
int unsentBytes(int fd) {
    int queued = 0;
    return ::ioctl(fd, TIOCOUTQ, &queued) == 0 ? queued : -1;
}

// Waits, at most until the deadline, until the driver has sent everything it was given.
void waitUntilSent(int fd, Clock::TimePoint deadline, Clock& clock) {
    while (unsentBytes(fd) > 0 && posix::millisecondsLeft(deadline, clock) > 0) {
        clock.sleepFor(Clock::Duration(1));
    }
}

// A ttyS the kernel registered although it found no UART behind it (type unknown) opens, but
// nothing will ever answer on it: such a port is as missing as one that does not exist.
bool isPortWithoutUart(int fd, const std::string& device) {
#ifdef __linux__
    char resolved[PATH_MAX];
    if (::realpath(device.c_str(), resolved) == nullptr) {
        return false;
    }
    const std::string_view path(resolved);
    if (path.substr(path.rfind('/') + 1).rfind("ttyS", 0) != 0) {
        return false;
    }
    serial_struct info{};
    return ::ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type == PORT_UNKNOWN;
#else
    (void)fd;
    (void)device;
    return false;
#endif
}

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

// Raises or lowers one modem line. A device without modem lines (a pseudo-terminal) refuses;
// that is no error for the line settings.
void setModemLine(int fd, int line, bool on) {
    int bits = line;
    ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits);
}

}  // namespace

std::string resolveSerialPath(const char* path) {
    if (path == nullptr) {
        return {};
    }
    const auto comNumber = comNumberOf(path);
    if (!comNumber) {
        return std::string(path);
    }
    const long long number = *comNumber;
    if (number <= 0) {
        return {};  // COM0, COM-1: no such port
    }
    const std::string link = deviceRoot() + "/ports/COM" + std::to_string(number);
    struct stat info {};
    // lstat: a link to a device that is gone still names this port (and opens as missing).
    if (::lstat(link.c_str(), &info) == 0) {
        return link;
    }
    return "/dev/ttyS" + std::to_string(number - 1);
}

int serialPortCheck(const char* path) {
    const std::string device = resolveSerialPath(path);
    if (device.empty()) {
        return kErrorNotFound;
    }
    struct stat info {};
    if (::stat(device.c_str(), &info) != 0) {
        return errno != 0 ? errno : EIO;
    }
    return deviceCheck(info);
}

PlatformHandle serialOpen(const char* path, int* error) {
    int localError = 0;
    int& result = error != nullptr ? *error : localError;
    result = 0;
    posix::ignoreBrokenPipe();

    const std::string device = resolveSerialPath(path);
    if (device.empty()) {
        result = kErrorNotFound;
        return kInvalidHandle;
    }
    // Everything that can be told without opening is told first: opening a real port raises
    // its DTR and RTS lines, which may reset a board.
    struct stat before {};
    if (::stat(device.c_str(), &before) != 0) {
        result = errno != 0 ? errno : EIO;
        return kInvalidHandle;
    }
    if (const int refused = deviceCheck(before); refused != 0) {
        result = refused;
        return kInvalidHandle;
    }
    int fd = -1;
    do {
        fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        result = errno != 0 ? errno : EIO;
        return kInvalidHandle;
    }
    // The device opened must be the one checked, and a terminal: a system without a table of
    // its terminal drivers shows only now whether it is one. Nothing has been written to it.
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISCHR(opened.st_mode) || opened.st_rdev != before.st_rdev ||
        ::isatty(fd) != 1) {
        ::close(fd);
        result = kErrorNotAPort;
        return kInvalidHandle;
    }
    // TIOCGSID answers only on the caller's own controlling terminal: the terminal this
    // program was started from is someone's shell too.
    pid_t session = 0;
    if (::ioctl(fd, TIOCGSID, &session) == 0) {
        ::close(fd);
        result = kErrorSessionTerminal;
        return kInvalidHandle;
    }
    if (isPortWithoutUart(fd, device)) {
        ::close(fd);
        result = ENODEV;
        return kInvalidHandle;
    }
    // flock holds off every other opener, root and this program's own probe included.
    // The lock goes before TIOCEXCL so that a refused open never touches the holder's mode.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EAGAIN)) {
        ::close(fd);
        result = EBUSY;
        return kInvalidHandle;
    }
    // Any other flock failure means the file system keeps no locks; TIOCEXCL still holds off
    // openers without root rights. A port already in exclusive mode is held by a program that
    // does not lock (only root gets this far): it is busy, and its mode stays as it is.
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
        ::close(fd);
        result = EBUSY;
        return kInvalidHandle;
    }
    ::ioctl(fd, TIOCEXCL);
    // The descriptor stays non-blocking: every transfer waits in poll, bounded by its time-out.
    return fd;
}

std::string serialPortIdentity(const char* path) {
    return posix::fileIdentity(resolveSerialPath(path));
}

SavedLine serialSaveLine(PlatformHandle handle) {
    termios line{};
    if (::tcgetattr(descriptorOf(handle), &line) != 0) {
        return {};
    }
    SavedLine saved(sizeof line);
    std::memcpy(saved.data(), &line, sizeof line);
    return saved;
}

void serialRestoreLine(PlatformHandle handle, const SavedLine& saved) {
    if (saved.size() != sizeof(termios)) {
        return;
    }
    termios line{};
    std::memcpy(&line, saved.data(), sizeof line);
    ::tcsetattr(descriptorOf(handle), TCSANOW, &line);
}

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

void serialClose(PlatformHandle handle) {
    const int fd = descriptorOf(handle);
    if (fd >= 0) {
        releaseDescriptor(fd);
    }
}

bool serialSetTimeouts(PlatformHandle handle) {
    // The time-outs are fixed and applied by serialRead and serialWrite themselves.
    return ::fcntl(descriptorOf(handle), F_GETFD) != -1;
}

bool serialGetLine(PlatformHandle handle, SerialLineSettings* settings) {
    const int fd = descriptorOf(handle);
    termios line{};
    if (settings == nullptr || ::tcgetattr(fd, &line) != 0) {
        return false;
    }
    settings->baudRate = rateOf(::cfgetospeed(&line));
    switch (line.c_cflag & CSIZE) {
        case CS5:
            settings->byteSize = 5;
            break;
        case CS6:
            settings->byteSize = 6;
            break;
        case CS7:
            settings->byteSize = 7;
            break;
        default:
            settings->byteSize = 8;
            break;
    }
    if ((line.c_cflag & PARENB) == 0) {
        settings->parity = 0;
    } else {
#ifdef CMSPAR
        if ((line.c_cflag & CMSPAR) != 0) {
            settings->parity = (line.c_cflag & PARODD) != 0 ? 3 : 4;  // mark, space
        } else
#endif
        {
            settings->parity = (line.c_cflag & PARODD) != 0 ? 1 : 2;  // odd, even
        }
    }
    settings->stopBits = (line.c_cflag & CSTOPB) != 0 ? 2 : 0;
    settings->ctsFlow = (line.c_cflag & CRTSCTS) != 0;
    settings->dsrFlow = false;  // termios has no DSR handshake
    settings->outX = (line.c_iflag & IXON) != 0;
    settings->inX = (line.c_iflag & IXOFF) != 0;
    int lines = 0;
    if (::ioctl(fd, TIOCMGET, &lines) == 0) {
        settings->dtrOn = (lines & TIOCM_DTR) != 0;
        settings->rtsOn = (lines & TIOCM_RTS) != 0;
    } else {
        settings->dtrOn = false;  // no modem lines (a pseudo-terminal)
        settings->rtsOn = false;
    }
    return true;
}

bool serialSetLine(PlatformHandle handle, const SerialLineSettings& settings) {
    const int fd = descriptorOf(handle);
    termios line{};
    if (::tcgetattr(fd, &line) != 0) {
        return false;
    }
    ::cfmakeraw(&line);

    line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    line.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
    switch (settings.byteSize) {
        case 5:
            line.c_cflag |= CS5;
            break;
        case 6:
            line.c_cflag |= CS6;
            break;
        case 7:
            line.c_cflag |= CS7;
            break;
        default:
            line.c_cflag |= CS8;
            break;
    }
    switch (settings.parity) {
        case 1:
            line.c_cflag |= PARENB | PARODD;
            break;
        case 2:
            line.c_cflag |= PARENB;
            break;
#ifdef CMSPAR
        case 3:
            line.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case 4:
            line.c_cflag |= PARENB | CMSPAR;
            break;
#endif
        default:
            break;
    }
    if (settings.stopBits != 0) {
        line.c_cflag |= CSTOPB;  // 1.5 and 2 stop bits both become two
    }
    if (settings.ctsFlow) {
        line.c_cflag |= CRTSCTS;
    }
    line.c_cflag |= CLOCAL | CREAD;

    line.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (settings.outX) {
        line.c_iflag |= IXON;
    }
    if (settings.inX) {
        line.c_iflag |= IXOFF;
    }
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;

    speed_t code = 0;
    if (speedCodeOf(settings.baudRate, &code)) {
        ::cfsetispeed(&line, code);
        ::cfsetospeed(&line, code);
    }  // a rate termios cannot express leaves the speed as it was

    const bool applied = ::tcsetattr(fd, TCSANOW, &line) == 0;
    setModemLine(fd, TIOCM_DTR, settings.dtrOn);
    setModemLine(fd, TIOCM_RTS, settings.rtsOn);
    return applied;
}

bool serialSetupQueues(PlatformHandle handle, std::uint32_t, std::uint32_t) {
    // The tty layer sizes its own queues.
    return ::fcntl(descriptorOf(handle), F_GETFD) != -1;
}

bool serialPurge(PlatformHandle handle) {
    const int fd = descriptorOf(handle);
    if (::tcflush(fd, TCIFLUSH) != 0) {
        return false;
    }
    // Only output still queued is discarded. A pseudo-terminal queues nothing (its bytes go
    // straight to the peer's input, which TCOFLUSH would empty: a purge right after a write
    // would then take back bytes the write had delivered). A port that cannot tell is flushed.
    if (unsentBytes(fd) != 0) {
        return ::tcflush(fd, TCOFLUSH) == 0;
    }
    return true;
}

void serialClearErrors(PlatformHandle) {
    // A line error never blocks the next read on POSIX: nothing to clear.
}

LinkResult serialRead(PlatformHandle handle, void* buffer, std::uint32_t length, Clock& clock) {
    // Reads until every byte came; a time-out ends the read successfully with what arrived.
    return posix::readWithin(handle, buffer, length,
                             {.timeout = kReadTimeout + Clock::Duration(length)}, clock);
}

LinkResult serialWrite(PlatformHandle handle, const void* buffer, std::uint32_t length,
                       Clock& clock) {
    // A time-out ends the write successfully with the smaller count. A finished write has put
    // its bytes on the line, as a synchronous write on Windows has: a purge that follows finds
    // nothing of them left to discard.
    return posix::writeWithin(handle, buffer, length,
                              {.timeout = kWriteTimeout, .whenComplete = waitUntilSent}, clock);
}

}  // namespace tervan::os
