// The fixture of every test that looks for ports and USB devices: a fresh folder of its own,
// made the device root (ports/COMn and usb/{class}/<device>/ are looked up below it) for the
// test's whole life. Afterwards the device root and the system root are the machine's own
// again, even when the test failed half-way or pointed the system root elsewhere.
#pragma once

#include <gtest/gtest.h>

#include "link/SystemPaths.h"
#include "support/TempDir.h"

namespace tervan::testing {

template <class Base = ::testing::Test>
class DeviceRootFixture : public Base {
protected:
    DeviceRootFixture() { setDeviceRoot(dir.path()); }
    ~DeviceRootFixture() override {
        setDeviceRoot("");
        setSystemRoot("");
    }

    // The base's member: made before and removed after everything a test builds on it
    // (settings files, targets, dialogs).
    TempDir dir;
};

using DeviceRootTest = DeviceRootFixture<>;

}  // namespace tervan::testing
