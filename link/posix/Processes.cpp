#include "link/Processes.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "link/SystemPaths.h"
#include "link/Terminals.h"

namespace tervan::os::posix {

bool sameFile(const struct stat& candidate, const struct stat& target) {
    if (S_ISCHR(candidate.st_mode) && S_ISCHR(target.st_mode)) {
        return candidate.st_rdev == target.st_rdev;
    }
    return candidate.st_dev == target.st_dev && candidate.st_ino == target.st_ino;
}

std::vector<long> processIds() {
    std::vector<long> ids;
    std::error_code error;
    for (std::filesystem::directory_iterator process(systemRoot() + "/proc", error), end;
         !error && process != end; process.increment(error)) {
        const std::string pid = process->path().filename().string();
        if (!pid.empty() && pid.find_first_not_of("0123456789") == std::string::npos) {
            ids.push_back(std::strtol(pid.c_str(), nullptr, 10));
        }
    }
    return ids;
}

std::string processFolder(long pid) {
    return systemRoot() + "/proc/" + std::to_string(pid);
}

std::vector<long> processesWithOpen(const struct stat& target, const DescriptorFilter& accept) {
    namespace fs = std::filesystem;
    const long self = static_cast<long>(::getpid());
    std::vector<long> found;
    for (const long id : processIds()) {
        if (id == self) {
            continue;
        }
        const std::string folder = processFolder(id);
        std::error_code fdError;
        for (fs::directory_iterator fd(folder + "/fd", fdError), fdEnd; !fdError && fd != fdEnd;
             fd.increment(fdError)) {
            struct stat open {};
            if (::stat(fd->path().c_str(), &open) == 0 && sameFile(open, target) &&
                (!accept || accept(folder, fd->path().filename().string()))) {
                found.push_back(id);
                break;
            }
        }
    }
    return found;
}

std::string processCommand(long pid) {
    return firstLineOf(processFolder(pid) + "/comm");
}

}  // namespace tervan::os::posix
