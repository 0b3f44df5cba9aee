// The whole run of tervan-cli: options, the image check, connect, download and the
// follow-up command, all through the window's controller.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "protocol/Outcome.h"

namespace tervan::cli {

enum ExitStatus : int {
    kExitDone = 0,
    kExitTransferFailed = 1,  // the target rejected a frame, or the transfer broke off
    kExitBadUsage = 2,        // bad options or a bad image
    kExitNoConnection = 3,    // port missing or busy, no answer within the countdown
};

// The exit status for how a step ended. No answer while connecting means no connection; after
// it, a failed transfer.
int exitStatusFor(const Outcome& outcome, bool connecting);

// Runs the program on `arguments` (without the program name) and returns the exit status.
int runCommandLine(const std::vector<std::string>& arguments, std::FILE* out, std::FILE* err);

}  // namespace tervan::cli
