#include "cli/BoardLine.h"

#ifndef TERVAN_VERSION
#define TERVAN_VERSION "unknown"
#endif

namespace tervan::cli {

int writeReceipt(const Shared& shared, const TargetSession& session, const std::string& port,
                 const AdapterIds& adapter, const BoardResult& result) {
    if (!shared.receipts) {
        return 0;
    }
    JsonObject receipt;
    receipt.text("time", utcTimeText())
        .text("version", TERVAN_VERSION)
        .text("port", port)
        .number("board", static_cast<std::int64_t>(result.board));
    if (!adapter.ids.empty()) {
        receipt.text("adapter", adapter.ids);
    }
    if (!adapter.serial.empty()) {
        receipt.text("adapter_serial", adapter.serial);
    }
    receipt.text("image", shared.options.imagePath)
        .text("format", imageFormatName(shared.options.imageFormat));
    if (result.transferred) {
        receipt.number("size", static_cast<std::int64_t>(result.sent.imageLength))
            .text("sha256", shared.sha256)
            .text("source_sha256", shared.sourceSha256)
            .number("padded", static_cast<std::int64_t>(result.sent.paddedLength));
    }
    receipt.text("model", chipModel(session.options().targetModel).windowName)
        .text("memory", session.options().targetMemory != 0 ? "RAM" : "ROM")
        .number("pages_sent", static_cast<std::int64_t>(result.sent.pagesSent))
        .boolean("all_x", result.transferred && !result.sent.firstRejection &&
                              result.sent.pagesSent > 0 &&
                              (!result.outcome || result.outcome->kind != OutcomeKind::Stopped) &&
                              result.bytes == result.sent.imageLength);
    if (const auto& rejected = result.sent.firstRejection) {
        receipt.raw("first_rejection",
                    JsonObject()
                        .number("frame", static_cast<std::int64_t>(rejected->frame))
                        .number("answer", static_cast<std::int64_t>(rejected->answer))
                        .text("code", eventCode(rejected->kind))
                        .str());
    }
    if (session.options().interfaceKind == 0) {
        receipt.number("resends", static_cast<std::int64_t>(result.sent.resends));
    }
    receipt.number("seconds", result.seconds)
        .boolean("ok", result.exit == kExitDone)
        .number("exit", static_cast<std::int64_t>(result.exit));
    if (const std::string code = codeOf(result); !code.empty()) {
        receipt.text("code", code);
    }
    return shared.receipts->append(receipt.str());
}

void receiptFailed(const Shared& shared, BoardView& view, BoardResult& result, int error) {
    const std::string text =
        "cannot add to " + shared.receipts->path() + ": " + fileErrorText(error);
    view.report(std::string(kProgram) + ": " + text);
    JsonObject fault = view.event("fault");
    fault.number("board", static_cast<std::int64_t>(result.board))
        .text("code", kCodeReceiptFailed)
        .text("reason", text);
    view.emitJson(fault.str());
    // A board that failed keeps its own code; one that was written has no proof of it.
    if (result.exit == kExitDone) {
        result.exit = kExitTransferFailed;
        result.code = kCodeReceiptFailed;
        result.reason = text;
    }
}

}  // namespace tervan::cli
