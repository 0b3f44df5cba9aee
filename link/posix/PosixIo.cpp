#include "link/posix/PosixIo.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>

namespace tervan::os::posix {

std::string fileIdentity(const std::string& path) {
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0) {
        return {};
    }
    if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode)) {
        return std::string(S_ISCHR(info.st_mode) ? "device c" : "device b") +
               std::to_string(major(info.st_rdev)) + ":" + std::to_string(minor(info.st_rdev));
    }
    return "file " + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

namespace {

// One transfer, whichever way: `step(fd, done)` is the read() or write() of the bytes from
// offset `done` on, `event` the poll event that lets the next step go on.
template <typename Step>
LinkResult transfer(PlatformHandle handle, bool haveBuffer, std::uint32_t length, short event,
                    const TransferRules& rules, Clock& clock, Step step) {
    LinkResult result;
    const int fd = descriptorOf(handle);
    if (fd < 0) {
        result.error = EBADF;
        return result;
    }
    if (!haveBuffer && length != 0) {
        result.error = EFAULT;
        return result;
    }
    auto deadline = clock.now() + rules.timeout;
    while (result.count < length) {
        const ssize_t n = step(fd, result.count);
        if (n > 0) {
            result.count += static_cast<std::uint32_t>(n);
            if (rules.oneReadIsEnough) {
                return result;
            }
            if (rules.progressRestartsTimeout) {
                deadline = clock.now() + rules.timeout;
            }
            continue;
        }
        if (n == 0) {
            // A read of nothing is a peer that hung up; a write of nothing is never tried
            // again in a loop.
            result.error = rules.hangUpError;
            return result;
        }
        const int error = errno;
        if (error == EINTR) {
            continue;
        }
        if (error != EAGAIN && error != EWOULDBLOCK) {
            result.error = error;  // EIO from a line that is gone, EPIPE, ...
            return result;
        }
        const int events = waitFor(fd, event, deadline, clock);
        if (events < 0) {
            result.error = errno;
            return result;
        }
        if (events == 0) {
            result.error = rules.timeoutError;  // what moved so far is in the count
            return result;
        }
        if ((events & event) == 0) {
            result.error = rules.hangUpError;  // POLLHUP, POLLERR or POLLNVAL alone
            return result;
        }
        // The descriptor is ready; another reader or writer may still come first, so the
        // next step checks again.
    }
    if (rules.whenComplete != nullptr) {
        rules.whenComplete(fd, deadline, clock);
    }
    return result;
}

}  // namespace

int waitFor(int fd, short events, Clock::TimePoint deadline, Clock& clock) {
    for (;;) {
        const int left = millisecondsLeft(deadline, clock);
        if (left <= 0) {
            return 0;
        }
        pollfd entry{fd, events, 0};
        int pollError = 0;
        const int ready = clock.wait(Clock::Duration(left), [&](Clock::Duration limit) {
            const auto ms = std::clamp<Clock::Duration::rep>(limit.count(), 0, INT_MAX);
            const int r = ::poll(&entry, 1, static_cast<int>(ms));
            pollError = r < 0 ? errno : 0;
            return r;
        });
        if (ready < 0) {
            if (pollError == EINTR) {
                continue;
            }
            errno = pollError;
            return -1;
        }
        if (ready == 0) {
            continue;  // the deadline decides, on the next turn
        }
        return entry.revents;
    }
}

LinkResult readWithin(PlatformHandle handle, void* buffer, std::uint32_t length,
                      const TransferRules& rules, Clock& clock) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    return transfer(
        handle, buffer != nullptr, length, POLLIN, rules, clock,
        [&](int fd, std::uint32_t done) { return ::read(fd, bytes + done, length - done); });
}

LinkResult writeWithin(PlatformHandle handle, const void* buffer, std::uint32_t length,
                       const TransferRules& rules, Clock& clock) {
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    return transfer(
        handle, buffer != nullptr, length, POLLOUT, rules, clock,
        [&](int fd, std::uint32_t done) { return ::write(fd, bytes + done, length - done); });
}

}  // namespace tervan::os::posix
