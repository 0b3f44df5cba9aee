// A test on the emulated USB bus: virtual targets plugged in as USB devices, the target's ids
// named for the process. Skips where umockdev cannot run.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "link/SystemPaths.h"
#include "link/UsbTarget.h"
#include "sim/TargetSimulator.h"
#include "sim/UsbBus.h"
#include "support/DeviceRootTest.h"
#include "support/TempDir.h"

namespace tervan::testing {

using sim::EmulatedUsbDevice;
using sim::kEmulatedId;

inline std::vector<std::uint8_t> randomImage(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<std::uint8_t> bytes(size);
    for (auto& b : bytes) {
        b = static_cast<std::uint8_t>(random());
    }
    return bytes;
}

class UsbBusTest : public DeviceRootTest {
protected:
    void SetUp() override {
        if (!bed.active()) {
            GTEST_SKIP() << "no emulated USB bus: " << bed.reason();
        }
        setUsbTarget(UsbTarget{kEmulatedId, {}});
    }
    void TearDown() override { setUsbTarget(std::nullopt); }

    // A virtual target on the emulated bus at port `port` (bus path 1-<port>, serial
    // EMU000<port>).
    sim::TargetSimulator& plug(int port, const std::function<void(sim::SimConfig&)>& setUp = {},
                               const std::function<void(EmulatedUsbDevice&)>& device = {}) {
        sim::SimConfig config;
        config.transport = sim::SimConfig::Transport::Usb;
        config.root = dir.path();
        config.deviceName = "board" + std::to_string(port);
        config.readyDelayMs = 20;
        if (setUp) {
            setUp(config);
        }
        targets.push_back(std::make_unique<sim::TargetSimulator>(config));
        std::string error;
        EXPECT_TRUE(targets.back()->start(&error)) << error;
        EmulatedUsbDevice emulated;
        emulated.port = port;
        emulated.serial = "EMU000" + std::to_string(port);
        emulated.pipeFolder = targets.back()->devicePath();
        if (device) {
            device(emulated);
        }
        indices.push_back(bed.add(emulated));
        EXPECT_GE(indices.back(), 0) << bed.reason();
        return *targets.back();
    }

    sim::EmulatedUsbBus bed;
    std::vector<std::unique_ptr<sim::TargetSimulator>> targets;
    std::vector<int> indices;
};

}  // namespace tervan::testing
