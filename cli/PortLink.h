// tervan-cli --link COMn DEVICE: makes the COM port the window lists lead to a serial device,
// as a link ports/COMn below the device root.
#pragma once

#include <cstdio>
#include <string>

#include "cli/CliOptions.h"

namespace tervan::cli {

struct PortLinkResult {
    int status = 0;        // the exit status
    std::string link;      // ROOT/ports/COMn
    std::string target;    // where it leads now
    std::string replaced;  // where it led before, when --force replaced it
    std::string text;      // what was done, or why not
};

// Makes (or keeps, or with `force` replaces) the link; nothing is changed on a refusal.
PortLinkResult makePortLink(std::int32_t comNumber, const std::string& device, bool force);

// Runs --link and reports the result as text or JSON lines; returns the exit status.
int runPortLink(const CliOptions& options, std::FILE* out, std::FILE* err);

}  // namespace tervan::cli
