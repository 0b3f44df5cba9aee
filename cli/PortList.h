// What --list-ports shows: COM1 ... COM10 as this program resolves them, the machine's
// serial devices with their USB ids, and the USB devices of the target's class.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace tervan::cli {

struct ComPortState {
    std::string name;        // "COM1"
    std::string path;        // what it resolves to: ports/COMn below the device root, or /dev/ttySn
    std::string linkTarget;  // where ports/COMn points, when it is a link
    int error = 0;           // the open probe: 0 free, 2 missing, otherwise the errno
};

struct SerialDevice {
    std::string path;               // /dev/ttyUSB0
    std::vector<std::string> byId;  // /dev/serial/by-id links naming it
    std::string vendorId;           // "0403", from the USB device in sysfs
    std::string productId;
    std::string manufacturer;
    std::string product;
    std::string serial;
    std::string driver;  // ftdi_sio, cdc_acm, ...
};

std::vector<ComPortState> probeComPorts(int count);

// The USB and ACM serial devices in `devFolder`, in natural order (ttyUSB2 before ttyUSB10),
// with what `sysFolder` tells about them.
std::vector<SerialDevice> findSerialDevices(const std::string& devFolder = "/dev",
                                            const std::string& sysFolder = "/sys");

// Prints the whole list; with `json` one object per line. Returns the exit status.
int printPortList(std::FILE* out, bool json);

}  // namespace tervan::cli
