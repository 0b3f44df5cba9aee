#include "link/SystemPaths.h"

#include <unistd.h>

#include <climits>

namespace tervan {

std::string executableDirectory() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) {
        return ".";
    }
    std::string path(buffer, static_cast<std::size_t>(n));
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    // A program in the root folder keeps its files in the root folder.
    return slash == 0 ? std::string() : path.substr(0, slash);
}

std::string besideProgram(const std::string& name) {
    return executableDirectory() + '/' + name;
}

}  // namespace tervan
