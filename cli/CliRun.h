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
    kExitInterrupted = 130,   // Ctrl-C: every board stopped, ports closed
};

// The version of the --json event stream: the "schema" of its first event.
inline constexpr int kEventSchema = 1;

// The stable word a JSON result gives for how a board ended ("verify_error", "no_answer",
// "permission_denied", "interrupted", ...).
std::string eventCode(OutcomeKind kind);

// The codes of failures that are no outcome of a board's session: a command line that cannot be
// used, and a receipt or trace that could not be written whole.
inline constexpr const char* kCodeBadUsage = "bad_usage";
inline constexpr const char* kCodeReceiptFailed = "receipt_failed";
inline constexpr const char* kCodeTraceFailed = "trace_failed";
// The monitor after the follow-up could not do what was asked: the speed, or the --log copy.
inline constexpr const char* kCodeMonitorFailed = "monitor_failed";
// A .hex, .srec or .elf that gives no image for the chosen memory: a malformed or truncated
// record, a bad checksum, data outside the memory or overlapping with other bytes.
inline constexpr const char* kCodeBadImage = "bad_image";

// Every code a failure in the event stream, or a receipt, may carry.
std::vector<std::string> failureCodes();

// The exit status for how a step ended. No answer while connecting means no connection; after
// it, a failed transfer.
int exitStatusFor(const Outcome& outcome, bool connecting);

// Runs the program on `arguments` (without the program name) and returns the exit status.
int runCommandLine(const std::vector<std::string>& arguments, std::FILE* out, std::FILE* err);

}  // namespace tervan::cli
