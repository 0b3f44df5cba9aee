// The settings store: the user's choices in one INI file ("tervan.ini" in settingsFolder()).
// Every call goes to the file; nothing is cached, so two running copies share the file and
// each key holds the value written last.
#pragma once

#include <cstdint>
#include <string>

#include "link/Clock.h"
#include "link/SystemPaths.h"

namespace tervan {

inline constexpr const char* kSettingsSection = "setup";
// Values are read through a buffer of this many characters: 4095 characters and the end mark.
inline constexpr std::size_t kSettingsReadBuffer = 4096;
// How long a write waits for another writer (another copy of the program) to let go of the
// settings file. Writers hold it for milliseconds; the window stays painted meanwhile.
inline constexpr Clock::Duration kSettingsLockWait{10000};

// Why the last write did not store its value.
enum class SettingsFailure {
    None,
    Refused,     // a read-only settings file, a name or value that cannot be stored
    Busy,        // another writer held the file past kSettingsLockWait
    NoFolder,    // the folder that holds the file is missing and could not be made
    Unwritable,  // the file or its folder could not be written
};

class SettingsStore {
public:
    SettingsStore() = default;
    explicit SettingsStore(std::string path) : settingsPath(std::move(path)) {}

    // The key's value as a decimal number; `defaultValue` when the file, section or key is
    // missing or the value is empty. Text after the leading number is ignored ("12ab" is 12,
    // "ab" is 0).
    std::int32_t readSettingInt(const std::string& section, const std::string& key,
                                std::int32_t defaultValue) const;
    // The key's value, or `defaultValue` when missing; cut to 4095 characters.
    std::string readSettingText(const std::string& section, const std::string& key,
                                const std::string& defaultValue = {}) const;
    // Create or replace the key. The file is replaced as a whole (a new file renamed over the
    // old), under a lock, so a reader never sees half a file and two writers lose nothing.
    bool writeSettingInt(const std::string& section, const std::string& key, std::int32_t value);
    // Refuses texts holding a line break: they would add keys to the file.
    bool writeSettingText(const std::string& section, const std::string& key,
                          const std::string& text);
    // Why the last write failed; None after one that succeeded (a read-only store keeps None).
    SettingsFailure lastFailure() const { return lastFailure_; }

    std::string settingsPath;
    // A store that only reads (the command line never changes the user's settings): every
    // write reports failure and leaves the file alone.
    bool readOnly = false;
    // The clock a write waits on for the lock (the window's keeps it painted); the real one
    // when none is set.
    Clock* clock = nullptr;
    Clock::Duration lockWait = kSettingsLockWait;

private:
    bool write(const std::string& section, const std::string& key, const std::string& value);

    SettingsFailure lastFailure_ = SettingsFailure::None;
};

// The settings file in settingsFolder(): beside the running program, or for a program installed
// for the whole system in the user's configuration folder.
std::string defaultSettingsPath();

}  // namespace tervan
