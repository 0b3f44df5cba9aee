// The Win32 errors an open of a COM port fails with, sorted.
#include "link/PortFault.h"

#include <windows.h>

namespace tervan::os {

PortFault portFaultOfSystemError(int systemError) {
    switch (systemError) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return PortFault::Missing;
        case ERROR_ACCESS_DENIED:  // a COM port another program holds
        case ERROR_SHARING_VIOLATION:
            return PortFault::Busy;
        default:
            return PortFault::Other;
    }
}

}  // namespace tervan::os
