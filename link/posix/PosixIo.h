// Small helpers shared by the POSIX port and pipe files, and the one read/write loop behind
// their transfers. Internal to link/posix.
#pragma once

#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <mutex>
#include <string>

#include "link/Clock.h"
#include "link/Handle.h"
#include "link/LinkResult.h"

namespace tervan::os::posix {

// The descriptor behind a handle, or -1 for the invalid handle (and anything that is no
// descriptor at all).
inline int descriptorOf(PlatformHandle handle) {
    return handle >= 0 && handle <= INT_MAX ? static_cast<int>(handle) : -1;
}

// The same text for every name of one file or device: "device MAJOR:MINOR" for a device
// node (two nodes of one device are one port), "file DEV:INODE" for anything else; empty
// when `path` leads nowhere.
std::string fileIdentity(const std::string& path);

// Whole milliseconds left until `deadline` on `clock`, rounded up so that a wait never ends
// early and a caller never loops on zero-length waits; 0 once the deadline has passed.
inline int millisecondsLeft(Clock::TimePoint deadline, Clock& clock) {
    const auto left = deadline - clock.now();
    if (left <= Clock::TimePoint::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<Clock::Duration>(left).count();
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

// Waits through `clock` for `events` on fd until the deadline. Returns the reported events,
// 0 on time-out, -1 on a failed poll (errno set). A signal only shortens the wait, never
// ends it.
int waitFor(int fd, short events, Clock::TimePoint deadline, Clock& clock);

// What sets one transfer apart from another: the serial port and the pipes read and write
// with the same loop under different rules.
struct TransferRules {
    // How long the transfer may wait for the descriptor in all.
    Clock::Duration timeout{1000};
    // Every byte moved starts the time-out again: only a peer that stops taking bytes ends it.
    bool progressRestartsTimeout = false;
    // A read ends with the first bytes it gets, however few.
    bool oneReadIsEnough = false;
    // What running out of time means: 0 ends the transfer successfully with the count so
    // far; anything else is the error it fails with.
    int timeoutError = 0;
    // The error for a peer that has gone (a read or write of nothing, POLLHUP or POLLERR).
    int hangUpError = EIO;
    // Runs after a transfer that moved every byte, with what is left of its deadline.
    void (*whenComplete)(int fd, Clock::TimePoint deadline, Clock& clock) = nullptr;
};

// Moves `length` bytes between the buffer and a non-blocking descriptor: read() or write()
// as far as it goes, then poll through `clock`, under `rules`. A bad handle fails with
// EBADF, a missing buffer (with a length) with EFAULT; other errors are errno as the system
// gave it.
LinkResult readWithin(PlatformHandle handle, void* buffer, std::uint32_t length,
                      const TransferRules& rules, Clock& clock);
LinkResult writeWithin(PlatformHandle handle, const void* buffer, std::uint32_t length,
                       const TransferRules& rules, Clock& clock);

}  // namespace tervan::os::posix
