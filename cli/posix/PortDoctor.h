// What the machine tells about why a serial device cannot be used, beyond the open's error
// code: whose group a denied device belongs to and whether this login has it, and the
// programs known to take USB-serial adapters away (ModemManager, brltty). Everything is read
// below systemRoot() (/proc, /sys, /etc, /usr), so that tests can show each cause with a tree
// of their own.
#pragma once

#include <string>
#include <vector>

#include "link/PortFault.h"

namespace tervan::cli {

// What follows "permission denied; " for `device`: the group to join and how, the group this
// login lacks although the user belongs to it, or a mode that keeps the group out.
std::string permissionAdvice(const std::string& device);

// A process that holds a port open.
struct PortHolder {
    long pid = 0;
    std::string command;  // from /proc/PID/comm
    bool locked = false;  // it holds the port's flock
};

// Every process found holding `device` open (this one left out), through /proc/*/fd and, for
// the lock's holder, /proc/locks: the lock's holder first, then the others by process id.
std::vector<PortHolder> portHolders(const std::string& device);

// Who holds a busy port, as the user reads it: "held by process 1234 (minicom)", several
// named with the lock's holder first (at most kNamedHolders, then how many more), or
// "another program holds it" when none is found.
inline constexpr std::size_t kNamedHolders = 3;
std::string holderText(const std::string& device);

// Hints, one line each, about programs that take an adapter away or probe it, for a port that
// ended with `fault` (None: it opens, but the target did not answer).
std::vector<std::string> adapterHints(const std::string& device, PortFault fault);

}  // namespace tervan::cli
