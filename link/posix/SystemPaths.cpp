#include "link/SystemPaths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

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

std::string settingsFolderFor(const std::string& programFolder, const char* configHome,
                              const char* home) {
    struct stat info {};
    if (::stat((programFolder + '/' + kSettingsFileName).c_str(), &info) == 0) {
        return programFolder;
    }
    const std::string folder = programFolder.empty() ? "/" : programFolder;
    const bool system = folder == "/usr" || folder.rfind("/usr/", 0) == 0;
    if (!system && ::access(folder.c_str(), W_OK) == 0) {
        return programFolder;
    }
    // A relative XDG_CONFIG_HOME is invalid and ignored, as the base directory rules say.
    if (configHome != nullptr && configHome[0] == '/') {
        return std::string(configHome) + "/tervan";
    }
    // A relative HOME would put the settings wherever the program was started from: it is
    // refused as an unset one is, for the home folder the user database names.
    if (home == nullptr || home[0] != '/') {
        const struct passwd* user = ::getpwuid(::geteuid());
        home = user != nullptr ? user->pw_dir : nullptr;
    }
    if (home == nullptr || home[0] != '/') {
        return programFolder;
    }
    return std::string(home) + "/.config/tervan";
}

std::string settingsFolder() {
    return settingsFolderFor(executableDirectory(), std::getenv("XDG_CONFIG_HOME"),
                             std::getenv("HOME"));
}

std::string inSettingsFolder(const std::string& name) {
    return settingsFolder() + '/' + name;
}

}  // namespace tervan
