#include "link/SystemPaths.h"

#include <mutex>

namespace tervan {
namespace {

std::mutex rootMutex;
std::string rootOverride;
std::string systemRootFolder;

}  // namespace

std::string deviceRoot() {
    {
        std::lock_guard<std::mutex> lock(rootMutex);
        if (!rootOverride.empty()) {
            return rootOverride;
        }
    }
    return settingsFolder();
}

void setDeviceRoot(const std::string& folder) {
    std::lock_guard<std::mutex> lock(rootMutex);
    rootOverride = folder;
}

std::string systemRoot() {
    std::lock_guard<std::mutex> lock(rootMutex);
    return systemRootFolder;
}

void setSystemRoot(const std::string& folder) {
    std::lock_guard<std::mutex> lock(rootMutex);
    systemRootFolder = folder;
}

}  // namespace tervan
