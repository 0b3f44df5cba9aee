#include "cli/RunSummary.h"

#include "cli/Terminal.h"

namespace tervan::cli {
namespace {

// How the boards went, counted, and the status of the worst.
struct Tally {
    int worst = kExitDone;
    std::string worstCode;  // the first board with the worst status names the run's failure
    int written = 0;
    int failed = 0;
};

Tally tallyOf(const std::vector<std::unique_ptr<PortLine>>& lines) {
    Tally tally;
    for (const auto& line : lines) {
        for (const BoardResult& result : line->results()) {
            if (result.exit > tally.worst) {
                tally.worst = result.exit;
                tally.worstCode = codeOf(result);
            }
            ++(result.exit == kExitDone ? tally.written : tally.failed);
        }
    }
    return tally;
}

// The run's result event: with one board that board's, otherwise the counts.
void emitRunResult(const Shared& shared, PortLine& first, const Tally& tally, double seconds,
                   const std::string& traceText) {
    if (!shared.perBoardResults && !first.results().empty()) {
        BoardResult result = first.results().front();
        if (result.exit == kExitDone && tally.worst != kExitDone) {
            result.exit = tally.worst;
            result.code = tally.worstCode;
            result.reason = traceText;
        }
        first.view().emitJson(first.resultEvent(result).str());
        return;
    }
    JsonObject result;
    result.text("event", "result")
        .boolean("ok", tally.worst == kExitDone)
        .number("exit", static_cast<std::int64_t>(tally.worst))
        .number("boards", static_cast<std::int64_t>(tally.written + tally.failed))
        .number("written", static_cast<std::int64_t>(tally.written))
        .number("failed", static_cast<std::int64_t>(tally.failed))
        .number("seconds", seconds);
    if (!tally.worstCode.empty()) {
        result.text("code", tally.worstCode);
    }
    first.view().emitJson(result.str());
}

// One board's line of the summary: port, board, result, bytes, seconds and the line's figures.
std::string boardLine(const std::string& label, const BoardResult& result) {
    char figures[160];
    const double wire = wireSeconds(result.sent.bytesOut + result.sent.bytesIn);
    if (result.bytes > 0 && result.seconds > 0) {
        std::snprintf(figures, sizeof figures,
                      "%u bytes, %.2f s, wire time at %u baud %.2f s, ratio %.3f",
                      static_cast<unsigned>(result.bytes), result.seconds,
                      static_cast<unsigned>(kSerialBaudRate), wire, wire / result.seconds);
    } else {
        std::snprintf(figures, sizeof figures, "%u bytes, %.2f s",
                      static_cast<unsigned>(result.bytes), result.seconds);
    }
    std::string outcome = result.exit == kExitDone ? "written" : "failed: " + codeOf(result);
    if (result.outcome && namesFrame(result.outcome->kind)) {
        outcome += " at frame " + std::to_string(result.outcome->frame);
    }
    return "  " + terminalText(label) + " board " + std::to_string(result.board) + ": " + outcome +
           ", " + figures + "\n";
}

}  // namespace

int summarise(Shared& shared, std::vector<std::unique_ptr<PortLine>>& lines, double seconds,
              int traceError) {
    Tally tally = tallyOf(lines);
    PortLine& first = *lines.front();
    std::string traceText;
    if (traceError != 0) {
        // Every board may be written, but the trace asked for is not whole.
        traceText =
            "cannot write the trace to " + shared.trace->path() + ": " + fileErrorText(traceError);
        first.view().report(std::string(kProgram) + ": " + traceText);
        first.view().emitJson(JsonObject()
                                  .text("event", "fault")
                                  .text("code", kCodeTraceFailed)
                                  .text("reason", traceText)
                                  .str());
        if (tally.worst == kExitDone) {
            tally.worst = kExitTransferFailed;
            tally.worstCode = kCodeTraceFailed;
        }
    }
    if (!shared.monitorFault.empty()) {
        // The board is written, but what the user asked to see or keep of it is not whole.
        first.view().report(std::string(kProgram) + ": " + shared.monitorFault);
        first.view().emitJson(JsonObject()
                                  .text("event", "fault")
                                  .text("code", kCodeMonitorFailed)
                                  .text("reason", shared.monitorFault)
                                  .str());
        if (tally.worst == kExitDone) {
            tally.worst = kExitTransferFailed;
            tally.worstCode = kCodeMonitorFailed;
            if (traceText.empty()) {
                traceText = shared.monitorFault;
            }
        }
    }
    if (shared.stop.load()) {
        tally.worst = kExitInterrupted;
        tally.worstCode = eventCode(OutcomeKind::Stopped);
        std::fprintf(shared.err, "%s: stopped by %s; every port is closed\n", kProgram,
                     interruptName());
        std::fflush(shared.err);
    }
    if (shared.mode == RenderMode::Json) {
        emitRunResult(shared, first, tally, seconds, traceText);
        return tally.worst;
    }
    if (shared.mode == RenderMode::Quiet || !shared.perBoardResults) {
        return tally.worst;
    }
    std::string text = "Boards: " + std::to_string(tally.written) + " written, " +
                       std::to_string(tally.failed) + " failed\n";
    for (const auto& line : lines) {
        for (const BoardResult& result : line->results()) {
            text += boardLine(line->label(), result);
        }
    }
    std::fputs(text.c_str(), shared.out);
    std::fflush(shared.out);
    return tally.worst;
}

}  // namespace tervan::cli
