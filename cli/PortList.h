// What --list-ports shows: COM1 ... COM10 as this program resolves them, the machine's
// serial devices (cli/SystemPorts.h) and the USB devices of the target's class. The listing
// is collected once, then written as text or as JSON lines.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "cli/SystemPorts.h"
#include "link/PortFault.h"
#include "link/UsbBulk.h"

namespace tervan::cli {

// A short word for how a port's open went: "free", "missing", "busy", "denied" or "unusable"
// (not a port, or an unusual error).
std::string portStateWord(PortFault fault);

struct ComPortState {
    std::string name;        // "COM1"
    std::string path;        // what it resolves to: ports/COMn below the device root, or
                             // /dev/ttySn; \\.\COMn on Windows
    std::string linkTarget;  // where ports/COMn points, when it is a link
    int error = 0;           // the open probe: 0 free, 2 missing, otherwise the system's code
    std::string state;       // "free", "missing", "busy", "denied" or "unusable"
    std::string note;        // what the text adds to the state, such as the owning group
    std::string reason;      // the system's text for the error; empty when free
};

struct ListedDevice {
    SerialDevice device;
    std::vector<std::string> comNames;  // the COM ports that reach it: "COM5"
};

struct PortListing {
    std::vector<ComPortState> comPorts;
    std::vector<ListedDevice> devices;
    std::vector<std::string> usbDevices;        // device paths of the target's class
    std::vector<os::UsbBulkDevice> busDevices;  // devices on the bus that could be the target
    PortListTexts texts;                        // the headings and the closing hint
};

// Probes COM1 ... COM10 and asks the system for its serial and USB devices.
PortListing collectPortListing();

void writePortListText(std::FILE* out, const PortListing& listing);
void writePortListJson(std::FILE* out, const PortListing& listing);

// Collects and prints the whole list; with `json` one object per line. Returns the exit
// status.
int printPortList(std::FILE* out, bool json);

}  // namespace tervan::cli
