// The POSIX errors an open of a port fails with, sorted.
#include "link/PortFault.h"

#include <cerrno>

namespace tervan::os {

PortFault portFaultOfSystemError(int systemError) {
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
}

}  // namespace tervan::os
