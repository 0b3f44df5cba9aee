// --link on POSIX: a symbolic link ports/COMn below the device root, to the device's stable
// name.
#include <sys/stat.h>

#include <filesystem>

#include "app/SettingsFile.h"
#include "cli/CliRun.h"
#include "cli/PortLink.h"
#include "link/SystemPaths.h"

namespace tervan::cli {
namespace {

namespace fs = std::filesystem;

// The /dev/serial/by-id name udev gives the device, which stays the same when the adapter is
// plugged into another socket; the device path itself when it has none.
std::string stableNameOf(const std::string& device, const struct stat& info) {
    const fs::path byId = fs::path(systemRoot() + "/dev/serial/by-id");
    if (fs::path(device).lexically_normal().parent_path() == byId.lexically_normal()) {
        return device;
    }
    std::error_code error;
    for (fs::directory_iterator entry(byId, error), end; !error && entry != end;
         entry.increment(error)) {
        struct stat candidate {};
        if (::stat(entry->path().c_str(), &candidate) == 0 && S_ISCHR(candidate.st_mode) &&
            candidate.st_rdev == info.st_rdev) {
            return entry->path().string();
        }
    }
    return fs::absolute(device, error).lexically_normal().string();
}

}  // namespace

PortLinkResult makePortLink(std::int32_t comNumber, const std::string& device, bool force) {
    PortLinkResult result;
    const std::string com = "COM" + std::to_string(comNumber);
    result.link = deviceRoot() + "/ports/" + com;
    struct stat info {};
    if (::stat(device.c_str(), &info) != 0) {
        result.status = kExitBadUsage;
        result.text =
            device + ": no such device; `tervan-cli --list-ports` shows the serial devices";
        return result;
    }
    if (!S_ISCHR(info.st_mode)) {
        result.status = kExitBadUsage;
        result.text =
            device + " is not a character device; a serial port is one, such as /dev/ttyUSB0";
        return result;
    }
    result.target = stableNameOf(device, info);

    std::error_code error;
    const fs::path link(result.link);
    const auto existing = fs::symlink_status(link, error);
    if (fs::exists(existing)) {
        if (!fs::is_symlink(existing)) {
            result.status = kExitBadUsage;
            result.text = result.link + " exists and is no link; move it away first";
            return result;
        }
        const std::string before = fs::read_symlink(link, error).string();
        if (before == result.target) {
            result.text = com + " already leads to " + result.target + " (" + result.link + ")";
            return result;
        }
        if (!force) {
            result.status = kExitBadUsage;
            result.text = result.link + " leads to " + before +
                          "; add --force to make it lead to " + result.target;
            return result;
        }
        result.replaced = before;
    }
    // ports/ lives in the user's own folder: made readable by the user alone, as the settings
    // folder is.
    os::makePrivateFolders(link.parent_path().string());
    // A new link under a passing name, then renamed over the old one: the port never leads
    // nowhere, and a failure leaves the old link as it was.
    const fs::path fresh = link.parent_path() / ("." + com + ".new");
    fs::remove(fresh, error);
    fs::create_symlink(result.target, fresh, error);
    if (!error) {
        fs::rename(fresh, link, error);
    }
    if (error) {
        fs::remove(fresh, error);
        result.status = kExitBadUsage;
        result.text = "could not make " + result.link + ": " + error.message();
        return result;
    }
    result.text = com + " now leads to " + result.target + " (" + result.link +
                  (result.replaced.empty() ? "" : ", which led to " + result.replaced) + ")";
    return result;
}

}  // namespace tervan::cli
