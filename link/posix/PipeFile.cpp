// The driver's pipe files on POSIX: FIFOs below the device folder. Nothing here may hang when
// no device is on the other side.
#include "link/PipeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "link/posix/PosixIo.h"

namespace tervan::os {
namespace {

using posix::descriptorOf;

// How long a pipe read waits for data, standing in for the driver's time-out.
constexpr Clock::Duration kPipeReadTimeout{1000};
constexpr Clock::Duration kPipeWriteTimeout{1000};

int openWithoutSignals(const char* path, int flags) {
    int fd = -1;
    do {
        fd = ::open(path, flags | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// The driver's pipes are FIFOs here, or character devices; anything else is never written.
bool isPipeKind(mode_t mode) {
    return S_ISFIFO(mode) || S_ISCHR(mode);
}

// The driver's names use backslashes; the folders here use '/'.
std::string folderPath(const char* path) {
    std::string name(path);
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

}  // namespace

int pipeFileCheck(const char* path) {
    if (path == nullptr) {
        return kErrorNotFound;
    }
    struct stat info {};
    if (::stat(folderPath(path).c_str(), &info) != 0) {
        return errno != 0 ? errno : EIO;
    }
    return isPipeKind(info.st_mode) ? 0 : kErrorNotAPort;
}

std::string pipeDeviceIdentity(const char* devicePath) {
    return devicePath != nullptr ? posix::fileIdentity(folderPath(devicePath)) : std::string();
}

PlatformHandle pipeOpen(const char* path, PipeSide side, int* error) {
    int localError = 0;
    int& result = error != nullptr ? *error : localError;
    result = 0;
    posix::ignoreBrokenPipe();
    if (path == nullptr) {
        result = kErrorNotFound;
        return kInvalidHandle;
    }
    const std::string name = folderPath(path);
    // Looked at before it is opened: opening a disk or a device for writing is never right.
    if (const int refused = pipeFileCheck(path); refused != 0) {
        result = refused;
        return kInvalidHandle;
    }

    int fd = -1;
    if (side == PipeSide::Read) {
        // Opened for reading and writing, a FIFO never blocks the open and never reports an
        // end of data; the read itself stays non-blocking and waits in poll.
        fd = openWithoutSignals(name.c_str(), O_RDWR | O_NONBLOCK);
    } else {
        // Without a reader (no device) this fails at once with ENXIO instead of waiting. The
        // descriptor stays non-blocking: a write waits in poll, bounded by its time-out, so a
        // device that stops reading cannot hang the tool.
        fd = openWithoutSignals(name.c_str(), O_WRONLY | O_NONBLOCK);
    }
    if (fd < 0) {
        result = errno != 0 ? errno : EIO;
        return kInvalidHandle;
    }
    // What was opened may have been put in place of the pipe since it was looked at.
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !isPipeKind(opened.st_mode)) {
        ::close(fd);
        result = kErrorNotAPort;
        return kInvalidHandle;
    }
    return fd;
}

void pipeClose(PlatformHandle handle) {
    const int fd = descriptorOf(handle);
    if (fd >= 0) {
        ::close(fd);
    }
}

LinkResult pipeRead(PlatformHandle handle, void* buffer, std::uint32_t length, Clock& clock) {
    // One read takes whatever is there, up to length; a pipe that stays silent fails.
    return posix::readWithin(
        handle, buffer, length,
        {.timeout = kPipeReadTimeout, .oneReadIsEnough = true, .timeoutError = kErrorTimedOut},
        clock);
}

LinkResult pipeWrite(PlatformHandle handle, const void* buffer, std::uint32_t length,
                     Clock& clock) {
    // The reader's end gone gives EPIPE (SIGPIPE is ignored), which is a failure. A write that
    // makes no progress for kPipeWriteTimeout ends with the count written so far.
    return posix::writeWithin(
        handle, buffer, length,
        {.timeout = kPipeWriteTimeout, .progressRestartsTimeout = true, .hangUpError = EPIPE},
        clock);
}

void pipeDiscard(PlatformHandle handle) {
    const int fd = descriptorOf(handle);
    if (fd < 0) {
        return;
    }
    // The read pipe is non-blocking: read until nothing is left.
    unsigned char scratch[512];
    for (;;) {
        const ssize_t n = ::read(fd, scratch, sizeof scratch);
        if (n > 0) {
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return;
    }
}

}  // namespace tervan::os
