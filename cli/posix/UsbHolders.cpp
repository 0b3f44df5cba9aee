// Who holds a USB device file open, from the descriptors of the processes in /proc that this
// user may look at.
#include <sys/stat.h>

#include "cli/UsbBus.h"
#include "link/Processes.h"

namespace tervan::cli {

std::vector<std::string> processesHolding(const std::string& node) {
    std::vector<std::string> holders;
    struct stat target {};
    if (node.empty() || ::stat(node.c_str(), &target) != 0) {
        return holders;
    }
    for (const long pid : os::posix::processesWithOpen(target)) {
        holders.push_back("process " + std::to_string(pid) + " (" + os::posix::processCommand(pid) +
                          ")");
    }
    return holders;
}

}  // namespace tervan::cli
