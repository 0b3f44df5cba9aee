// The user's choices as the settings file keeps them: what the window starts with, and what
// the command line takes where its options name nothing else.
#pragma once

#include <cstdint>
#include <string>

#include "app/SettingsStore.h"

namespace tervan {

struct StoredChoices {
    std::int32_t interfaceKind = 1;  // 0 USB, any other value serial
    std::int32_t targetModel = 0;
    std::int32_t comIndex = 0;  // 0 is COM1
    std::int32_t targetMemory = 0;
    std::string imagePath;
};

StoredChoices readStoredChoices(const SettingsStore& settings);

// "\\.\COMn" for the COM list's entry `comIndex` (0 is COM1).
std::string comPortPathFor(std::int32_t comIndex);

}  // namespace tervan
