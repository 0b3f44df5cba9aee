// Operating-system services behind the settings store: whole-file reads, atomic replacement
// and the lock that serialises writers. One implementation per OS.
#pragma once

#include <cstdint>
#include <string>

#include "link/Clock.h"

namespace tervan::os {

// Files larger than this are not taken for a settings file: reads give the defaults and
// writes are refused, so such a file is never replaced by a few lines.
inline constexpr std::size_t kMaxSettingsFileSize = 16 * 1024 * 1024;

enum class ReadResult { Ok, Missing, Unusable };

// Reads the whole file into `content`.
ReadResult readSettingsFile(const std::string& path, std::string& content);

enum class ReplaceResult {
    Ok,
    ReadOnly,  // the file is marked read-only: left as it is, as its owner wants
    Failed,
};

// Writes `content` to a new file in the same folder and renames it over `path`; on failure
// the old file is left as it was.
ReplaceResult replaceSettingsFile(const std::string& path, const std::string& content);

// The file a write replaces: `path` itself, or where a symbolic link (a chain of them) at
// `path` leads, so that the link stays and its target is updated. The link's target need not
// exist yet.
std::string settingsFileTarget(const std::string& path);

// Makes `folder` and every missing folder above it, each readable by the user alone (0700 on
// POSIX); folders that exist are left as they are. False when `folder` is not a folder after.
bool makePrivateFolders(const std::string& folder);

// Why a lock could not be taken.
enum class LockFailure { None, Busy, NoFolder };

// Holds an exclusive lock that serialises read-modify-write cycles on one settings file
// between processes. The folder that holds the file is made first when missing. While
// another writer holds the lock it tries again every kLockRetry of `clock` until `limit` has
// passed; `locked()` is false when no lock could be taken, and `failure()` says why.
class SettingsLock {
public:
    static constexpr Clock::Duration kLockRetry{2};

    SettingsLock(const std::string& path, Clock& clock, Clock::Duration limit);
    ~SettingsLock();
    SettingsLock(const SettingsLock&) = delete;
    SettingsLock& operator=(const SettingsLock&) = delete;
    bool locked() const { return handle_ != -1; }
    LockFailure failure() const { return failure_; }

private:
    std::intptr_t handle_ = -1;
    LockFailure failure_ = LockFailure::None;
};

}  // namespace tervan::os
