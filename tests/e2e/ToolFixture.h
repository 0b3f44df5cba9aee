// The whole tool behind a recording window, against the virtual target on a real
// pseudo-terminal or real FIFOs in a folder of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "app/DownloaderDialog.h"
#include "link/SystemPaths.h"
#include "sim/TargetSimulator.h"
#include "support/DeviceRootTest.h"
#include "support/DrivenClock.h"
#include "support/RecordingWindow.h"
#include "support/TempDir.h"

namespace tervan::testing {

class ToolFixture : public DeviceRootTest {
protected:
    ~ToolFixture() override {
        if (dialog) {
            dialog->windowDestroyed();
        }
        targets.clear();
    }

    sim::SimConfig targetConfig(sim::SimConfig::Transport transport, int model = 0) {
        sim::SimConfig config;
        config.transport = transport;
        config.model = model;
        config.root = dir.path();
        config.comNumber = 1;
        return config;
    }

    sim::TargetSimulator& startTarget(const sim::SimConfig& config) {
        targets.push_back(std::make_unique<sim::TargetSimulator>(config));
        std::string error;
        EXPECT_TRUE(targets.back()->start(&error)) << error;
        return *targets.back();
    }

    // The tool as a user left it: interface (0 USB, 1 serial), model, memory, COM1.
    DownloaderDialog& startTool(int interface, int model = 0, int memory = 0) {
        settings.writeSettingInt("setup", "interface", interface);
        settings.writeSettingInt("setup", "model", model);
        settings.writeSettingInt("setup", "target", memory);
        settings.writeSettingInt("setup", "com", 0);
        dialog = std::make_unique<DownloaderDialog>(
            settings, drivenTime ? static_cast<Clock&>(*drivenTime) : clock);
        dialog->setWindow(&window);
        dialog->initWindow();
        return *dialog;
    }

    // An image of `size` bytes that differs from page to page and from the erased state.
    std::vector<std::uint8_t> makeImage(const std::string& name, std::size_t size) {
        std::vector<std::uint8_t> bytes(size);
        for (std::size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<std::uint8_t>((i * 31 + i / 256) & 0xFF);
        }
        writeFile(dir.file(name), std::string(bytes.begin(), bytes.end()));
        return bytes;
    }

    DownloaderDialog& connect() {
        dialog->controlClicked(kConnectButton);
        EXPECT_EQ(window.texts[kStatusLine], "Connected");
        return *dialog;
    }

    SettingsStore settings{dir.file("tervan.ini")};
    RecordingWindow window;
    std::vector<std::unique_ptr<sim::TargetSimulator>> targets;
    std::unique_ptr<DownloaderDialog> dialog;
    // Real time-outs against the real target; the pauses between USB passes are only noted.
    SkippedPausesClock clock;
    // Set before startTool() for a target that stays silent: its time-outs then pass at once.
    std::optional<DrivenClock> drivenTime;
};

}  // namespace tervan::testing
