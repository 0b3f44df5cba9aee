// How the system names its serial ports and what it knows about its serial devices, for
// --port, --help and --list-ports. One implementation per OS (cli/posix/SystemPorts.cpp,
// cli/win32/SystemPorts.cpp).
#pragma once

#include <string>
#include <vector>

namespace tervan::cli {

struct SerialDevice {
    std::string path;               // /dev/ttyUSB0, or \\.\COM3 on Windows
    std::vector<std::string> byId;  // other names of it: /dev/serial/by-id links, or the
                                    // device object (\Device\Serial0) on Windows
    std::string vendorId;           // "0403", from the USB device (sysfs, or its hardware id)
    std::string productId;
    std::string manufacturer;
    std::string product;
    std::string serial;
    std::string driver;       // ftdi_sio, cdc_acm, ...
    int latencyTimerMs = -1;  // the adapter's latency timer; -1 when it shows none
};

// The machine's serial devices in natural order (ttyUSB2 before ttyUSB10, COM2 before
// COM10), with what the system tells about them.
std::vector<SerialDevice> findSerialDevices();

// POSIX: the USB and ACM serial devices in `devFolder`, with what `sysFolder` tells about
// them; findSerialDevices() reads /dev and /sys below systemRoot(). Not built for Windows.
std::vector<SerialDevice> findSerialDevices(const std::string& devFolder,
                                            const std::string& sysFolder);

// POSIX: what `sysFolder` tells about the tty `name` ("ttyUSB0"): its driver, the USB
// device's ids and texts, the adapter's latency timer. Not built for Windows.
SerialDevice describeSerialDevice(const std::string& name, const std::string& sysFolder);

// Windows: the USB vendor and product ids in a device's hardware id, such as
// "USB\VID_0403&PID_6001&REV_0600" or "FTDIBUS\VID_0403+PID_6001+A1\0000", in lower-case
// hex as Linux shows them; false when the id carries none. Not built for POSIX.
bool usbIdsOfHardwareId(const std::string& hardwareId, std::string& vendor, std::string& product);

// Windows: the serial number at the end of a USB device's instance id
// ("USB\VID_0403&PID_6001\A50285BI"); empty when the device has none (Windows then makes up
// a last part with '&' in it) or the device is no USB device. Not built for POSIX.
std::string serialOfInstanceId(const std::string& instanceId);

// Where the port path `path` leads when it is a link made to name a device (ports/COMn on
// POSIX), otherwise empty.
std::string portLinkTarget(const std::string& path);

// Whether a --port value that names no COM port is a device path to be used as it stands.
bool isDevicePath(const std::string& text);

// The lines of --help that say how ports are named, each ending in a line break.
struct PortHelpTexts {
    const char* settingsNote;       // above the options: where the choices left out come from
    const char* portOption;         // --port
    const char* rootOption;         // --root
    const char* listPortsOption;    // --list-ports
    const char* linkOption;         // --link, --force
    const char* devicePathExample;  // for the error on a --port value that names nothing
};
const PortHelpTexts& portHelpTexts();

// The lines of --list-ports around the lists, without indentation or line break.
struct PortListTexts {
    std::string comPorts;    // above COM1 ... COM10
    std::string noDevices;   // in place of the serial devices when there are none
    std::string usbDevices;  // above the USB devices of the target's class
    std::string advice;      // the closing line; empty for none
};
PortListTexts portListTexts(const std::string& root, const std::vector<SerialDevice>& devices);

}  // namespace tervan::cli
