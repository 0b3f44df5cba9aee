#include "cli/PortCheck.h"

#include "cli/OsReasons.h"
#include "link/LinkResult.h"
#include "link/PipeFile.h"
#include "link/PortFault.h"
#include "link/SerialPort.h"
#include "link/UsbPipeLink.h"
#include "protocol/TargetSession.h"

namespace tervan::cli {
namespace {

// Whether a port refused by the check is one the connect must never be tried on.
bool neverToOpen(int error) {
    return error == kErrorSessionTerminal || portFaultOf(error) == PortFault::NotAPort;
}

}  // namespace

std::string checkPortsBeforeOpening(const std::vector<PortUse>& uses) {
    struct Seen {
        std::string identity;
        std::string label;
    };
    std::vector<Seen> seen;
    UsbDevicePaths found;
    bool enumerated = false;
    for (const PortUse& use : uses) {
        std::string identity;
        if (use.serial) {
            const int error = os::serialPortCheck(use.path.c_str());
            if (neverToOpen(error)) {
                return serialPortReason(use.path, error);
            }
            identity = os::serialPortIdentity(use.path.c_str());
        } else {
            if (!enumerated) {
                enumerateUsbDevices(found);
                enumerated = true;
            }
            std::vector<std::string> matches;
            for (const std::string& path : found) {
                if (use.path.empty() || isUsbDeviceNamed(path, use.path)) {
                    matches.push_back(path);
                }
            }
            if (matches.size() != 1) {
                continue;  // none, or several: the connect says which
            }
            for (const char* pipe : {kReadPipeName, kWritePipeName}) {
                const std::string file = matches.front() + pipe;
                if (const int error = os::pipeFileCheck(file.c_str()); neverToOpen(error)) {
                    return pipeFileReason(error, use.label, file);
                }
            }
            identity = "usb " + os::pipeDeviceIdentity(matches.front().c_str());
        }
        if (identity.empty() || identity == "usb ") {
            continue;  // not there: the connect says so
        }
        for (const Seen& earlier : seen) {
            if (earlier.identity == identity) {
                return earlier.label + " and " + use.label + " name the same " +
                       (use.serial ? "port" : "USB device") + "; give each once";
            }
        }
        seen.push_back({identity, use.label});
    }
    return {};
}

}  // namespace tervan::cli
