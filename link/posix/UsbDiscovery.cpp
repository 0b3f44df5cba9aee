// Device discovery on POSIX: each device interface of the target's class is a folder
// usb/{class}/<device>/ below deviceRoot(), holding the pipe files PIPE00 and PIPE01. Once the
// user has named the target's USB ids, the devices on the bus with those ids are listed
// instead, as "usb:<bus path>".
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "link/SystemPaths.h"
#include "link/UsbBulk.h"
#include "link/UsbFolders.h"
#include "link/UsbPipeLink.h"
#include "link/UsbTarget.h"

namespace tervan {

std::string usbClassFolder(const std::string& root) {
    return root + "/usb/" + kUsbInterfaceClass;
}

namespace {

int enumerateBusDevices(const UsbTarget& target, UsbDevicePaths& pathsOut) {
    for (const os::UsbBulkDevice& device : os::listUsbBulkDevices()) {
        if (pathsOut.size() == kMaxUsbDevices) {
            break;
        }
        if (device.id == target.id && (target.serial.empty() || device.serial == target.serial)) {
            pathsOut.push_back(usbBusDevicePath(device.busPath));
        }
    }
    return static_cast<int>(pathsOut.size());
}

}  // namespace

int enumerateUsbDevices(UsbDevicePaths& pathsOut) {
    pathsOut.clear();
    if (const std::optional<UsbTarget> target = usbTarget()) {
        return enumerateBusDevices(*target, pathsOut);
    }
    const std::string classFolder = usbClassFolder(deviceRoot());
    DIR* folder = ::opendir(classFolder.c_str());
    if (folder == nullptr) {
        return 0;  // no folder: no device of the class is present
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        // Hidden entries are left out: ".", ".." and folders still being set up.
        if (name.empty() || name.front() == '.') {
            continue;
        }
        names.push_back(name);
    }
    ::closedir(folder);
    // Folder order is no order at all: sort by name so the first device stays the first.
    std::sort(names.begin(), names.end());

    for (const auto& name : names) {
        if (pathsOut.size() == kMaxUsbDevices) {
            break;  // the path array has 128 slots; further interfaces are not listed
        }
        std::string path = classFolder + "/" + name;
        // A path that does not fit the device record (259 characters) cannot be used
        // unchanged and is left out. One that fits but leaves no room for a pipe's name
        // (253 to 259 characters) is listed all the same: opening it fails, and the user is
        // told "Can not open device ..." rather than finding no device at all.
        if (path.size() > kDevicePathSize - 1) {
            continue;
        }
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            continue;  // only folders are device interfaces
        }
        pathsOut.push_back(std::move(path));
    }
    return static_cast<int>(pathsOut.size());
}

}  // namespace tervan
