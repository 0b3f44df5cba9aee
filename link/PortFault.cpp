#include "link/PortFault.h"

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
    return os::portFaultOfSystemError(systemError);
}

}  // namespace tervan
