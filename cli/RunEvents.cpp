#include <ctime>
#include <mutex>

#include "cli/BoardLine.h"

#ifndef TERVAN_VERSION
#define TERVAN_VERSION "unknown"
#endif

namespace tervan::cli {
namespace {

// The ideal time on a 115200-baud line and its share of the time the transfer took.
void addWireFigures(JsonObject& object, const BoardResult& result) {
    const double wire = wireSeconds(result.sent.bytesOut + result.sent.bytesIn);
    object.number("wire_seconds", wire);
    if (result.seconds > 0) {
        object.number("wire_ratio", wire / result.seconds);
    }
}

}  // namespace

std::string utcTimeText() {
    const std::time_t now = std::time(nullptr);
    static std::mutex lock;  // gmtime's result is shared
    const std::lock_guard<std::mutex> hold(lock);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    return buffer;
}

std::string codeOf(const BoardResult& result) {
    if (result.outcome) {
        return eventCode(result.outcome->kind);
    }
    return result.code;
}

void addResultFields(JsonObject& event, const BoardResult& result) {
    event.boolean("ok", result.exit == kExitDone)
        .number("exit", static_cast<std::int64_t>(result.exit));
    if (result.bytes > 0) {
        event.number("bytes", static_cast<std::int64_t>(result.bytes))
            .number("seconds", result.seconds);
        addWireFigures(event, result);
    }
    if (!result.reason.empty()) {
        event.text("reason", result.reason);
    }
    if (!result.outcome && !result.code.empty()) {
        event.text("code", result.code);
    }
    if (const auto& outcome = result.outcome) {
        event.text("code", eventCode(outcome->kind));
        if (!result.text.empty()) {
            event.text("text", result.text);
        }
        event.text("outcome", std::string(outcomeName(outcome->kind)));
        if (namesFrame(outcome->kind)) {
            event.number("frame", static_cast<std::int64_t>(outcome->frame));
        }
        if (outcome->answer != 0) {
            event.number("answer", static_cast<std::int64_t>(outcome->answer));
        }
        if (outcome->error != 0) {
            event.number("error", static_cast<std::int64_t>(outcome->error));
        }
    }
}

JsonObject startEvent() {
    JsonObject event;
    event.text("event", "start")
        .number("schema", std::int64_t{kEventSchema})
        .text("version", TERVAN_VERSION);
    return event;
}

JsonObject failureEvent(int exit, const std::string& code, const std::string& reason) {
    JsonObject event;
    event.text("event", "result")
        .boolean("ok", false)
        .number("exit", static_cast<std::int64_t>(exit))
        .text("code", code)
        .text("reason", reason);
    return event;
}

}  // namespace tervan::cli
