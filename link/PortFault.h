// Why a port could not be opened, from the system's error code.
#pragma once

namespace tervan {

// NotAPort: the path names a file, a disk or another device that is no port at all.
enum class PortFault { None, Missing, Busy, Denied, NotAPort, Other };

PortFault portFaultOf(int systemError);

namespace os {
// The platform's own error codes sorted (link/posix, link/win32); portFaultOf() handles 0 and
// the tool's own codes first.
PortFault portFaultOfSystemError(int systemError);
}  // namespace os

}  // namespace tervan
