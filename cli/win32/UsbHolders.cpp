// Windows reaches the target through its driver; no device on the bus is looked into.
#include "cli/UsbBus.h"

namespace tervan::cli {

std::vector<std::string> processesHolding(const std::string&) {
    return {};
}

}  // namespace tervan::cli
