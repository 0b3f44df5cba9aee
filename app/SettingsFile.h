// Operating-system services behind the settings store: whole-file reads, atomic replacement
// and the lock that serialises writers. One implementation per OS.
#pragma once

#include <cstdint>
#include <string>

namespace tervan::os {

// Files larger than this are not taken for a settings file: reads give the defaults and
// writes are refused, so such a file is never replaced by a few lines.
inline constexpr std::size_t kMaxSettingsFileSize = 16 * 1024 * 1024;

enum class ReadResult { Ok, Missing, Unusable };

// Reads the whole file into `content`.
ReadResult readSettingsFile(const std::string& path, std::string& content);

// Writes `content` to a new file in the same folder and renames it over `path`; on failure
// the old file is left as it was.
bool replaceSettingsFile(const std::string& path, const std::string& content);

// Holds an exclusive lock that serialises read-modify-write cycles on one settings file
// between processes. `locked()` is false when no lock could be taken.
class SettingsLock {
public:
    explicit SettingsLock(const std::string& path);
    ~SettingsLock();
    SettingsLock(const SettingsLock&) = delete;
    SettingsLock& operator=(const SettingsLock&) = delete;
    bool locked() const { return handle_ != -1; }

private:
    std::intptr_t handle_ = -1;
};

}  // namespace tervan::os
