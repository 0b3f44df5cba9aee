#include "cli/RunSummary.h"

#include "cli/Terminal.h"

namespace tervan::cli {

int summarise(Shared& shared, std::vector<std::unique_ptr<PortLine>>& lines, double seconds,
              int traceError) {
    std::FILE* const out = shared.out;
    std::FILE* const err = shared.err;
    const bool stopped = shared.stop.load();
    int worst = kExitDone;
    int written = 0;
    int failed = 0;
    std::string worstCode;  // the first board with the worst status names the run's failure
    for (const auto& line : lines) {
        for (const BoardResult& result : line->results()) {
            if (result.exit > worst) {
                worst = result.exit;
                worstCode = codeOf(result);
            }
            ++(result.exit == kExitDone ? written : failed);
        }
    }
    PortLine& first = *lines.front();
    std::string traceText;
    if (traceError != 0) {
        // Every board may be written, but the trace asked for is not whole.
        traceText =
            "cannot write the trace to " + shared.trace->path() + ": " + fileErrorText(traceError);
        const std::string& text = traceText;
        first.view().report(std::string(kProgram) + ": " + text);
        first.view().emitJson(JsonObject()
                                  .text("event", "fault")
                                  .text("code", kCodeTraceFailed)
                                  .text("reason", text)
                                  .str());
        if (worst == kExitDone) {
            worst = kExitTransferFailed;
            worstCode = kCodeTraceFailed;
        }
    }
    if (stopped) {
        worst = kExitInterrupted;
        worstCode = eventCode(OutcomeKind::Stopped);
        std::fprintf(err, "%s: stopped by %s; every port is closed\n", kProgram, interruptName());
        std::fflush(err);
    }
    if (shared.mode == RenderMode::Json) {
        if (!shared.perBoardResults && !first.results().empty()) {
            // One board: its result is the run's.
            BoardResult result = first.results().front();
            if (result.exit == kExitDone && worst != kExitDone) {
                result.exit = worst;
                result.code = worstCode;
                result.reason = traceText;
            }
            first.view().emitJson(first.resultEvent(result).str());
            return worst;
        }
        JsonObject result;
        result.text("event", "result")
            .boolean("ok", worst == kExitDone)
            .number("exit", static_cast<std::int64_t>(worst))
            .number("boards", static_cast<std::int64_t>(written + failed))
            .number("written", static_cast<std::int64_t>(written))
            .number("failed", static_cast<std::int64_t>(failed))
            .number("seconds", seconds);
        if (!worstCode.empty()) {
            result.text("code", worstCode);
        }
        first.view().emitJson(result.str());
        return worst;
    }
    if (shared.mode == RenderMode::Quiet || !shared.perBoardResults) {
        return worst;
    }
    // One line per board: port, board, result, bytes, seconds and the line's figures.
    std::string text =
        "Boards: " + std::to_string(written) + " written, " + std::to_string(failed) + " failed\n";
    for (const auto& line : lines) {
        for (const BoardResult& result : line->results()) {
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
            std::string outcome = "written";
            if (result.exit != kExitDone) {
                outcome = "failed: " + codeOf(result);
            }
            if (result.outcome && namesFrame(result.outcome->kind)) {
                outcome += " at frame " + std::to_string(result.outcome->frame);
            }
            text += "  " + terminalText(line->label()) + " board " + std::to_string(result.board) +
                    ": " + outcome + ", " + figures + "\n";
        }
    }
    std::fputs(text.c_str(), out);
    std::fflush(out);
    return worst;
}

}  // namespace tervan::cli
