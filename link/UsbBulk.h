// Operating-system services behind UsbPipeLink for a device reached on the USB bus itself
// rather than through the target's driver: its bulk endpoints, and the list of devices that
// could be the target. Where the system has no such access (Windows, which has the driver),
// the list is empty and opening fails.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/LinkResult.h"
#include "link/UsbTarget.h"

namespace tervan::os {

// A device that could be the target: it has a vendor-specific interface with exactly one bulk
// IN and one bulk OUT endpoint.
struct UsbBulkDevice {
    UsbId id;
    std::string manufacturer;  // from the system's device tree; empty when it gives none
    std::string product;
    std::string serial;
    std::string busPath;  // "1-2", "3-1.4"
    std::string node;     // the device file: /dev/bus/usb/BBB/DDD
    int interfaceNumber = 0;
    std::uint8_t inEndpoint = 0;   // answers are read here (stands for PIPE01)
    std::uint8_t outEndpoint = 0;  // frames are written here (stands for PIPE00)
    int accessError = 0;           // 0 when this user may open the node, else the system's code
    std::string kernelDriver;      // the driver bound to the interface; empty when none
};

// Whether this system lists devices on the bus at all (not on Windows).
bool usbBusListed();

// Every such device present, in bus path order.
std::vector<UsbBulkDevice> listUsbBulkDevices();

// The matching interface of one device, claimed for this program.
class UsbBulkChannel {
public:
    virtual ~UsbBulkChannel() = default;  // releases the interface, gives a detached driver back
    // One bulk IN transfer: takes what the device sends, up to length, waiting at most 1000 ms
    // (kErrorTimedOut when nothing came). Bytes the device sent beyond length are kept for the
    // next read.
    virtual LinkResult read(void* buffer, std::uint32_t length) = 0;
    // One bulk OUT transfer of the whole buffer. A device that takes nothing for 1000 ms ends
    // it successfully with the count it took; a device that is gone fails.
    virtual LinkResult write(const void* buffer, std::uint32_t length) = 0;
    // Throws away what the device has ready to send, waiting hardly at all.
    virtual void discard() = 0;
    virtual std::uint8_t inEndpoint() const = 0;
    virtual std::uint8_t outEndpoint() const = 0;
};

// Opens the device at busPath when it is a candidate and, when `target` is given, has its ids
// (and serial, when the target names one); claims its interface, detaching a kernel driver
// only when one is bound. On failure returns nothing and stores the system's code in *error
// (never 0): ENOENT no such device, EACCES not allowed, EBUSY claimed by another program.
std::unique_ptr<UsbBulkChannel> openUsbBulk(const std::string& busPath, const UsbTarget* target,
                                            int* error);

}  // namespace tervan::os
