// Where the program finds the things that live beside it: the settings file, the COM port
// links (ports/COMn) and the USB device interface folders (usb/{class}/<device>/).
#pragma once

#include <string>

namespace tervan {

// The full path of the running executable; empty when the system does not tell.
std::string executablePath();

// The last part of `path`: what follows its last separator (on Windows a backslash or a
// slash, never the second byte of a double-byte character), or all of it without one.
std::string fileNameOf(const std::string& path);

// The folder of the running executable, without a trailing separator.
std::string executableDirectory();

// A file of that folder: the folder, the platform's separator, the name.
std::string besideProgram(const std::string& name);

// The folder below which ports/ and usb/ are looked up: the executable's folder unless a
// caller (a test, or the command line's --port) has named another one.
std::string deviceRoot();
void setDeviceRoot(const std::string& folder);  // an empty text restores the default

// The folder below which the system's own files are read when the tool looks into why a port
// misbehaves or how its adapter is tuned (/proc, /sys, /etc, /usr, /dev listings): empty for
// the machine itself; a test names a tree of its own.
std::string systemRoot();
void setSystemRoot(const std::string& folder);

}  // namespace tervan
