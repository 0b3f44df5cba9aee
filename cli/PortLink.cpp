#include "cli/PortLink.h"

#include "cli/CliRun.h"
#include "cli/JsonText.h"

namespace tervan::cli {

int runPortLink(const CliOptions& options, std::FILE* out, std::FILE* err) {
    const PortLinkResult made = makePortLink(options.linkNumber, options.linkDevice, options.force);
    if (options.output == OutputStyle::Json) {
        JsonObject event;
        event.text("event", "result")
            .boolean("ok", made.status == kExitDone)
            .number("exit", static_cast<std::int64_t>(made.status))
            .text("link", made.link)
            .text("target", made.target);
        if (!made.replaced.empty()) {
            event.text("replaced", made.replaced);
        }
        if (made.status != kExitDone) {
            event.text("code", kCodeBadUsage);
        }
        event.text(made.status == kExitDone ? "text" : "reason", made.text);
        std::fprintf(out, "%s\n", event.str().c_str());
    } else {
        std::fprintf(
            made.status == kExitDone ? out : err, "%s%s\n",
            made.status == kExitDone ? "" : "tervan-cli: ", terminalText(made.text).c_str());
    }
    std::fflush(out);
    return made.status;
}

}  // namespace tervan::cli
