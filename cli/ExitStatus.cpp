#include <algorithm>

#include "cli/CliRun.h"
#include "link/PortFault.h"

namespace tervan::cli {

std::string eventCode(OutcomeKind kind) {
    switch (kind) {
        case OutcomeKind::PortDenied:
            return "permission_denied";
        case OutcomeKind::Stopped:
            return "interrupted";
        default: {
            std::string code(outcomeName(kind));
            std::replace(code.begin(), code.end(), '-', '_');
            return code;
        }
    }
}

std::vector<std::string> failureCodes() {
    std::vector<std::string> codes{kCodeBadUsage, kCodeReceiptFailed, kCodeTraceFailed,
                                   kCodeMonitorFailed, kCodeBadImage};
    // Every kind after Done, up to Stopped, the last.
    for (int kind = static_cast<int>(OutcomeKind::Done) + 1;
         kind <= static_cast<int>(OutcomeKind::Stopped); ++kind) {
        codes.push_back(eventCode(static_cast<OutcomeKind>(kind)));
    }
    return codes;
}

int exitStatusFor(const Outcome& outcome, bool connecting) {
    if (outcome.ok()) {
        return kExitDone;
    }
    if (outcome.kind == OutcomeKind::Stopped) {
        return kExitInterrupted;
    }
    // A file named as a port is a wrong command line, like a bad image.
    if (isImageProblem(outcome.kind) || portFaultOf(outcome.error) == PortFault::NotAPort) {
        return kExitBadUsage;
    }
    if (connecting || isConnectionProblem(outcome.kind)) {
        return kExitNoConnection;
    }
    return kExitTransferFailed;
}

}  // namespace tervan::cli
