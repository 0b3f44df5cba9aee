// An emulated USB bus for the tests, made with umockdev: each device is the virtual target's
// USB device folder (its pipes) seen through a vendor-specific interface with one bulk OUT and
// one bulk IN endpoint. The test process answers libusb's usbfs calls live: a bulk OUT
// transfer goes into the loader's PIPE00, a bulk IN transfer is filled from its PIPE01. So the
// real link, and the real tervan-cli run beneath the same preload, download over libusb.
//
// The test program runs itself again under umockdev's preload library (see UsbTestMain.cpp);
// where that does not take, active() is false and the tests skip.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "link/UsbTarget.h"

namespace tervan::testing {

inline constexpr UsbId kEmulatedId{0x03eb, 0x6124};

struct EmulatedDevice {
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
struct EmulatedCounters {
    int claims = 0;
    int releases = 0;
    int driverDetaches = 0;
    int driverAttaches = 0;
    int outTransfers = 0;
    int inTransfers = 0;
};

class UsbTestBed {
public:
    UsbTestBed();
    ~UsbTestBed();
    UsbTestBed(const UsbTestBed&) = delete;
    UsbTestBed& operator=(const UsbTestBed&) = delete;

    // True when this process runs under umockdev's preload and the bed works; otherwise
    // reason() says why not.
    bool active() const { return active_; }
    const std::string& reason() const { return reason_; }

    // Adds the device; returns its index. It answers until removed or its pipes go away (the
    // virtual target dropped the line), which unplugs it.
    int add(const EmulatedDevice& device);
    // Unplugs the device: transfers in flight and later ones fail as on a real bus.
    void unplug(int index);
    EmulatedCounters counters(int index) const;
    std::string busPath(int index) const;

    // Only the tests' own preload check: whether a freshly added device is visible.
    static bool preloadActive();

    struct Device;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    bool active_ = false;
    std::string reason_;
};

}  // namespace tervan::testing
