// What --list-ports shows: COM1 ... COM10 as this program resolves them, the machine's
// serial devices (cli/SystemPorts.h) and the USB devices of the target's class.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "cli/SystemPorts.h"

namespace tervan::cli {

struct ComPortState {
    std::string name;        // "COM1"
    std::string path;        // what it resolves to: ports/COMn below the device root, or
                             // /dev/ttySn; \\.\COMn on Windows
    std::string linkTarget;  // where ports/COMn points, when it is a link
    int error = 0;           // the open probe: 0 free, 2 missing, otherwise the system's code
};

std::vector<ComPortState> probeComPorts(int count);

// Prints the whole list; with `json` one object per line. Returns the exit status.
int printPortList(std::FILE* out, bool json);

}  // namespace tervan::cli
