#include "link/Terminals.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "link/Processes.h"
#include "link/SystemPaths.h"

namespace tervan::os::posix {
namespace {

// Reads a small file whole (/proc files give their size as 0).
std::string smallFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return {};
    }
    std::string text;
    char chunk[1024];
    for (ssize_t n = 0; (n = ::read(fd, chunk, sizeof chunk)) > 0 && text.size() < 65536;) {
        text.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
}

// "64-111" or "64": whether `minorNumber` lies in the range.
bool inMinorRange(const std::string& range, unsigned long minorNumber) {
    char* end = nullptr;
    const unsigned long first = std::strtoul(range.c_str(), &end, 10);
    unsigned long last = first;
    if (end != nullptr && *end == '-') {
        last = std::strtoul(end + 1, nullptr, 10);
    }
    return minorNumber >= first && minorNumber <= last;
}

}  // namespace

std::string firstLineOf(const std::string& file) {
    const std::string text = smallFile(file);
    return text.substr(0, text.find('\n'));
}

TerminalKind terminalKindOf(dev_t device) {
    // Each line: driver name, device name, major, minor range, type ("serial", "pty:slave",
    // "system:/dev/tty", "console", ...).
    std::istringstream drivers(smallFile(systemRoot() + "/proc/tty/drivers"));
    bool known = false;
    for (std::string line; std::getline(drivers, line);) {
        std::istringstream fields(line);
        std::string driver;
        std::string name;
        unsigned long majorNumber = 0;
        std::string minors;
        std::string type;
        if (!(fields >> driver >> name >> majorNumber >> minors >> type)) {
            continue;
        }
        known = true;
        if (majorNumber == major(device) && inMinorRange(minors, minor(device))) {
            const bool port = type.rfind("system", 0) != 0 && type != "pty:master";
            return port ? TerminalKind::Terminal : TerminalKind::NotOne;
        }
    }
    return known ? TerminalKind::NotOne : TerminalKind::Unknown;
}

std::optional<TerminalSession> sessionOfTerminal(dev_t device) {
    for (const long pid : processIds()) {
        // "pid (command) state ppid pgrp session tty_nr ...": the command may hold spaces and
        // brackets, so the fields are counted from its last ')'.
        const std::string stat = smallFile(processFolder(pid) + "/stat");
        const auto close = stat.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream fields(stat.substr(close + 1));
        std::string state;
        long parent = 0;
        long group = 0;
        long session = 0;
        unsigned long tty = 0;
        if (!(fields >> state >> parent >> group >> session >> tty) || tty == 0) {
            continue;
        }
        // The kernel's encoding of a device number in tty_nr.
        const unsigned long ttyMajor = (tty >> 8) & 0xfff;
        const unsigned long ttyMinor = (tty & 0xff) | ((tty >> 12) & 0xfff00);
        if (ttyMajor != major(device) || ttyMinor != minor(device)) {
            continue;
        }
        TerminalSession found;
        found.leader = session;
        found.command = processCommand(session);
        if (found.command.empty()) {
            const auto open = stat.find('(');
            found.command = open < close ? stat.substr(open + 1, close - open - 1) : "";
        }
        return found;
    }
    return std::nullopt;
}

}  // namespace tervan::os::posix
