// What a POSIX system knows about a terminal device without opening it: whether its driver is
// a terminal driver at all, and whether it is the controlling terminal of some session (a
// person's shell). Read below systemRoot() (/proc), so tests can give a tree of their own.
// Implemented in link/posix; only POSIX code includes it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace tervan::os::posix {

enum class TerminalKind {
    Terminal,  // a serial port, a USB-serial adapter, a pseudo-terminal's slave
    NotOne,    // a device whose driver is no terminal driver (a disk, /dev/null, a watchdog)
    Unknown,   // the system keeps no table of its terminal drivers
};

// From /proc/tty/drivers. /dev/tty, /dev/console, /dev/ptmx and pseudo-terminal masters are
// terminals, but never a port: they count as NotOne.
TerminalKind terminalKindOf(dev_t device);

// The session whose controlling terminal `device` is.
struct TerminalSession {
    long leader = 0;      // the session's id: its leader's process id
    std::string command;  // the leader's command; the first member found's when it has ended
};

// Found through the tty field of /proc/*/stat; empty when no process has it as its terminal.
std::optional<TerminalSession> sessionOfTerminal(dev_t device);

// The first line of a small file below systemRoot(), such as /proc/1234/comm; empty if none.
std::string firstLineOf(const std::string& file);

}  // namespace tervan::os::posix
