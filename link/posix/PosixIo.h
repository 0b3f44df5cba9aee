// Small helpers shared by the POSIX port and pipe files. Internal to link/posix.
#pragma once

#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <mutex>

#include "link/Handle.h"

namespace tervan::os::posix {

using Clock = std::chrono::steady_clock;

// The descriptor behind a handle, or -1 for the invalid handle (and anything that is no
// descriptor at all).
inline int descriptorOf(PlatformHandle handle) {
    return handle >= 0 && handle <= INT_MAX ? static_cast<int>(handle) : -1;
}

// Starts a transfer: zeroes the caller's count (or a local one when none is given) and
// returns the descriptor, or -1 with errno set when the handle or the buffer is unusable.
inline int beginTransfer(PlatformHandle handle, const void* buffer, std::uint32_t length) {
    const int fd = descriptorOf(handle);
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    if (buffer == nullptr && length != 0) {
        errno = EFAULT;
        return -1;
    }
    return fd;
}

// Whole milliseconds left until `deadline`, rounded up so that a wait never ends early and
// a caller never loops on zero-length waits; 0 once the deadline has passed.
inline int millisecondsLeft(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// A write to a pipe whose reader has gone must fail with EPIPE, not end the process.
// An application's own SIGPIPE handler is left in place.
inline void ignoreBrokenPipe() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current {};
        if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            sigemptyset(&ignore.sa_mask);
            ::sigaction(SIGPIPE, &ignore, nullptr);
        }
    });
}

// Waits for `events` on fd until the deadline. Returns the reported events, 0 on time-out,
// -1 on a failed poll (errno set). A signal only shortens the wait, never ends it.
inline int waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const int wait = millisecondsLeft(deadline);
        if (wait <= 0) {
            return 0;
        }
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, wait);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (ready == 0) {
            continue;  // the deadline decides, on the next turn
        }
        return entry.revents;
    }
}

}  // namespace tervan::os::posix
