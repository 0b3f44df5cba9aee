// Who holds a USB device file open, from the descriptors of the processes in /proc that this
// user may look at.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "cli/UsbBus.h"
#include "link/SystemPaths.h"

namespace tervan::cli {

std::vector<std::string> processesHolding(const std::string& node) {
    std::vector<std::string> holders;
    struct stat target {};
    if (node.empty() || ::stat(node.c_str(), &target) != 0) {
        return holders;
    }
    const std::string self = std::to_string(::getpid());
    std::error_code error;
    for (std::filesystem::directory_iterator process(systemRoot() + "/proc", error), end;
         !error && process != end; process.increment(error)) {
        const std::string pid = process->path().filename().string();
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos ||
            pid == self) {
            continue;
        }
        std::error_code fdError;
        for (std::filesystem::directory_iterator fd(process->path() / "fd", fdError), fdEnd;
             !fdError && fd != fdEnd; fd.increment(fdError)) {
            struct stat open {};
            if (::stat(fd->path().c_str(), &open) == 0 && open.st_dev == target.st_dev &&
                open.st_ino == target.st_ino) {
                std::ifstream comm(process->path() / "comm");
                std::string name;
                std::getline(comm, name);
                holders.push_back("process " + pid + " (" + name + ")");
                break;
            }
        }
    }
    return holders;
}

}  // namespace tervan::cli
