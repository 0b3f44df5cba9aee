// What one transfer on a port or pipe did: the bytes it moved and, when it failed, why.
#pragma once

#include <cstdint>

namespace tervan {

// Link-level reasons, kept apart from the system's error codes (which are all positive).
inline constexpr int kErrorNotOpen = -1;      // the link holds no open port or pipe
inline constexpr int kErrorBadArgument = -2;  // no buffer
inline constexpr int kErrorTimedOut = -3;     // a pipe stayed silent for its whole time-out
// The path names something that is no port: not a terminal (serial), not a pipe (USB). Such a
// thing is never opened for writing, or is closed again before anything reaches it.
inline constexpr int kErrorNotAPort = -4;
// The terminal is the controlling terminal of a session: someone's shell, never a target.
inline constexpr int kErrorSessionTerminal = -5;

struct LinkResult {
    std::uint32_t count = 0;  // bytes moved, also when the transfer failed part-way
    int error = 0;            // 0, or the system's error code or one of the kError values above
    bool failed() const { return error != 0; }
};

}  // namespace tervan
