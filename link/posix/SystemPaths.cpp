#include "link/SystemPaths.h"

#include <unistd.h>

#include <climits>

namespace tervan {

std::string executablePath() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

std::string fileNameOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string executableDirectory() {
    const std::string path = executablePath();
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
