// The ports a run will use, looked at before any of them is opened: each must be a port (a
// terminal, or the driver's pipes) and no one's shell, and no port may be named twice under
// two spellings. Nothing is opened, so no line of a real port moves.
#pragma once

#include <string>
#include <vector>

namespace tervan::cli {

// One line of boards as it will open its port.
struct PortUse {
    std::string label;  // as the user gave it (COM3, /dev/ttyUSB0, a USB device's name)
    bool serial = true;
    // Serial: the path the controller opens ("\\.\COM3" or a device). USB: the device's name
    // or path; empty for the single device there is.
    std::string path;
};

// Empty when every port may be opened; otherwise why not, naming the port (and for a
// duplicate both spellings). Missing, busy or denied ports are left to the connect, which
// says so in its own words.
std::string checkPortsBeforeOpening(const std::vector<PortUse>& uses);

}  // namespace tervan::cli
