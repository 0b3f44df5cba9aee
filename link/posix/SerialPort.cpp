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

LinkResult serialReadSome(PlatformHandle handle, void* buffer, std::uint32_t length,
                          Clock::Duration wait, Clock& clock) {
    return posix::readWithin(handle, buffer, length, {.timeout = wait, .oneReadIsEnough = true},
                             clock);
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
