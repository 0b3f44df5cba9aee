#include "link/PortFault.h"

#include <cerrno>

#include "link/LinkResult.h"

namespace tervan {

PortFault portFaultOf(int systemError) {
    if (systemError == 0) {
        return PortFault::None;
    }
    if (systemError == kErrorNotAPort) {
        return PortFault::NotAPort;
    }
    if (systemError == kErrorSessionTerminal) {
        return PortFault::Busy;  // in use by a person's session
    }
#ifdef _WIN32
    switch (systemError) {
        case 2:  // ERROR_FILE_NOT_FOUND
        case 3:  // ERROR_PATH_NOT_FOUND
            return PortFault::Missing;
        case 5:   // ERROR_ACCESS_DENIED: a COM port another program holds
        case 32:  // ERROR_SHARING_VIOLATION
            return PortFault::Busy;
        default:
            return PortFault::Other;
    }
#else
    switch (systemError) {
        case ENOENT:
        case ENXIO:   // a device node with no device behind it
        case ENODEV:  // a serial port without a UART
        case EIO:     // a UART that does not answer
            return PortFault::Missing;
        case EBUSY:
            return PortFault::Busy;
        case EACCES:
        case EPERM:
            return PortFault::Denied;
        default:
            return PortFault::Other;
    }
#endif
}

}  // namespace tervan
