// --link on Windows: refused, since Windows names its COM ports itself.
#include "cli/PortLink.h"
#include "cli/CliRun.h"

namespace tervan::cli {

PortLinkResult makePortLink(std::int32_t comNumber, const std::string&, bool) {
    PortLinkResult result;
    const std::string com = "COM" + std::to_string(comNumber);
    result.status = kExitBadUsage;
    result.text =
        "--link is for Linux: Windows names its COM ports itself (" + com + " is the system's own)";
    return result;
}

}  // namespace tervan::cli
