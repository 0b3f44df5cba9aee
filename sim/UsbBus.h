// The virtual target on an emulated USB bus, made with umockdev (Debian umockdev,
// libumockdev-dev): each device is a target's USB device folder (its pipes) seen through a
// vendor-specific interface with one bulk OUT and one bulk IN endpoint. This process answers
// libusb's usbfs calls live: a bulk OUT transfer goes into the loader's PIPE00, a bulk IN
// transfer is filled from its PIPE01. So the tool's real link, in this process or in a
// tervan-cli started from it, downloads over libusb to the same loader code.
//
// It works only beneath umockdev's preload library (runBeneathUsbPreload); where that does not
// take, active() is false and reason() says why.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "link/UsbTarget.h"

namespace tervan::sim {

inline constexpr UsbId kEmulatedId{0x03eb, 0x6124};

struct EmulatedUsbDevice {
    int port = 2;  // on bus 1: bus path "1-<port>", device file /dev/bus/usb/001/<port + 1>
    UsbId id = kEmulatedId;
    std::string manufacturer = "TERVAN test bench";
    std::string product = "Emulated loader";
    std::string serial = "EMU0001";
    std::string pipeFolder;      // the virtual target's device folder
    std::string kernelDriver;    // a driver bound to the interface at the start; empty for none
    bool driverHoldsOn = false;  // the bound driver refuses to be detached
};

// What the emulation saw of one device.
struct EmulatedUsbCounters {
    int claims = 0;
    int releases = 0;
    int driverDetaches = 0;
    int driverAttaches = 0;
    int outTransfers = 0;
    int inTransfers = 0;
};

// Runs this program again beneath umockdev's preload library, once (`argv` as main got it);
// returns only when it is already beneath it, was tried before, or the exec failed. Under
// AddressSanitizer it lets the preload come first.
void runBeneathUsbPreload(char** argv);

class EmulatedUsbBus {
public:
    EmulatedUsbBus();
    ~EmulatedUsbBus();
    EmulatedUsbBus(const EmulatedUsbBus&) = delete;
    EmulatedUsbBus& operator=(const EmulatedUsbBus&) = delete;

    // True when this process runs beneath umockdev's preload and the bus works; otherwise
    // reason() says why not.
    bool active() const { return active_; }
    const std::string& reason() const { return reason_; }

    // Adds the device; returns its index. It answers until removed or its pipes go away (the
    // virtual target dropped the line), which unplugs it.
    int add(const EmulatedUsbDevice& device);
    // Unplugs the device: transfers in flight and later ones fail as on a real bus.
    void unplug(int index);
    EmulatedUsbCounters counters(int index) const;
    std::string busPath(int index) const;

    struct Device;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    bool active_ = false;
    std::string reason_;
};

}  // namespace tervan::sim
