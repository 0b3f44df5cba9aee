// Windows reaches the target through its driver's pipe files: no device on the bus is listed
// or opened directly.
#include <cerrno>

#include "link/UsbBulk.h"

namespace tervan::os {

bool usbBusListed() {
    return false;
}

std::vector<UsbBulkDevice> listUsbBulkDevices() {
    return {};
}

std::unique_ptr<UsbBulkChannel> openUsbBulk(const std::string&, const UsbTarget*, int* error) {
    if (error != nullptr) {
        *error = ENOENT;
    }
    return nullptr;
}

}  // namespace tervan::os
