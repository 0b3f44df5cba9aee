// Where the program's files live on Win32: the folder of the module that runs.
#include "link/SystemPaths.h"

#include <windows.h>

#include <string>

namespace tervan {
namespace {

// The offset of the last backslash or slash in `path`, stepping over double-byte characters
// of the system code page, whose second byte may have the value of a backslash.
std::string::size_type lastSeparator(const std::string& path) {
    std::string::size_type found = std::string::npos;
    for (std::string::size_type i = 0; i < path.size(); ++i) {
        const auto byte = static_cast<unsigned char>(path[i]);
        if (::IsDBCSLeadByte(byte) && i + 1 < path.size()) {
            ++i;
            continue;
        }
        if (byte == '\\' || byte == '/') {
            found = i;
        }
    }
    return found;
}

}  // namespace

std::string executablePath() {
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) {
            return {};
        }
        // A full buffer may hold a cut name: try again with room to spare.
        if (n < path.size() - 1) {
            path.resize(n);
            return path;
        }
        if (path.size() >= 32768) {
            return {};
        }
        path.resize(path.size() * 2);
    }
}

std::string fileNameOf(const std::string& path) {
    const auto separator = lastSeparator(path);
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

std::string executableDirectory() {
    const std::string path = executablePath();
    const auto separator = lastSeparator(path);
    if (separator == std::string::npos) {
        return ".";
    }
    // "C:\tool.exe" gives "C:", so that the settings file is "C:\tervan.ini" in the root.
    return path.substr(0, separator);
}

std::string besideProgram(const std::string& name) {
    return executableDirectory() + '\\' + name;
}

// A copy of the Windows programs is portable: its files stay beside it.
std::string settingsFolder() {
    return executableDirectory();
}

std::string inSettingsFolder(const std::string& name) {
    return besideProgram(name);
}

}  // namespace tervan
