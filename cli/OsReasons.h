// What the system said when a port or the image could not be used, put so that the user
// knows what to do next. One implementation per OS (cli/posix/OsReasons.cpp,
// cli/win32/OsReasons.cpp): the error codes are the system's own (errno values on POSIX,
// Win32 error codes on Windows), as the serial port's probe reports them.
#pragma once

#include <string>

#include "link/SerialPort.h"

namespace tervan::cli {

// What --list-ports adds in brackets after that word (who holds the port, the system's
// text for an unusual error), or empty.
std::string portStateNote(int error, const std::string& device);

// The system's text for an error code.
std::string systemErrorText(int error);

// One line on why opening `device` (what the port named `label` stands for) failed with
// `error`, and what to do. `comLinkPath` is where a link would make a device this port, or
// empty (always on Windows, which names its ports itself). Empty for 0.
std::string portOpenReason(int error, const std::string& label, const std::string& device,
                           const std::string& comLinkPath);

// The serial port the controller could not open (or that opened but brought no answer):
// probes it now and explains the result, then adds a line for each program known to take
// such ports away. Empty when the port opens now and nothing is known against it.
std::string serialPortReason(const std::string& comPortPath);
// The same for an `error` already known (from os::serialPortCheck), without probing.
std::string serialPortReason(const std::string& comPortPath, int error);

// Why the pipe file `pipe` of the USB device named `label` is not used (kErrorNotAPort: it
// is no pipe); empty for 0.
std::string pipeFileReason(int error, const std::string& label, const std::string& pipe);

// What opening the port did not manage about the adapter's latency timer, and how to lower
// it; empty when the timer is low (or the adapter has none).
std::string latencyNote(const os::AdapterLatency& latency);

// For --list-ports: what to do about adapters whose latency timer is `highestTimerMs`, the
// highest listed; empty when none slows a download.
std::string latencyAdvice(int highestTimerMs);

// Why the image file cannot be used: missing, a folder, not readable, locked. Empty when
// the system has nothing to say.
std::string imageFileReason(const std::string& path);

// Why no USB device answered: none of the target's class there, or more than one.
std::string usbDeviceReason(int foundDeviceCount);

}  // namespace tervan::cli
