#include "link/SystemPaths.h"

#include <mutex>

namespace tervan {
namespace {

std::mutex rootMutex;
std::string rootOverride;

}  // namespace

std::string deviceRoot() {
    {
        std::lock_guard<std::mutex> lock(rootMutex);
        if (!rootOverride.empty()) {
            return rootOverride;
        }
    }
    return executableDirectory();
}

void setDeviceRoot(const std::string& folder) {
    std::lock_guard<std::mutex> lock(rootMutex);
    rootOverride = folder;
}

}  // namespace tervan
