// The USB device folders of the POSIX builds: each device interface of the target's class is a
// folder <root>/usb/{class}/<device>/ holding the pipe files. Windows lists its interfaces
// through the system and has no such folders:
// implemented in link/posix, only POSIX code includes it.
#pragma once

#include <string>

namespace tervan {

// <root>/usb/{class}: the folder of the class's device interfaces. A device's folder is this,
// a slash and the device's name.
std::string usbClassFolder(const std::string& root);

}  // namespace tervan
