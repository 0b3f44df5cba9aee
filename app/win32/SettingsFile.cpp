// The settings file on Win32: whole-file reads, replacement by MoveFileExA and a named mutex
// per file that serialises writers across processes. The INI logic above it is the shared
// one in app/SettingsStore.cpp, so a file reads and writes the same on every platform.
#include "app/SettingsFile.h"

#include <windows.h>

#include <cctype>
#include <cstdint>
#include <string>

namespace tervan::os {
namespace {

// How long a write waits for a reader to let go of the settings file: 40 x 10 ms.
constexpr int kReplaceAttempts = 40;
constexpr DWORD kReplaceRetryMs = 10;

class FileHandle {
public:
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    ~FileHandle() { close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }
    bool close() {
        const bool ok = !valid() || ::CloseHandle(handle_) != FALSE;
        handle_ = INVALID_HANDLE_VALUE;
        return ok;
    }

private:
    HANDLE handle_;
};

// The content with every bare LF made CRLF.
std::string withCrlf(const std::string& content) {
    std::string out;
    out.reserve(content.size() + content.size() / 8);
    for (std::size_t i = 0; i < content.size(); ++i) {
        if (content[i] == '\n' && (i == 0 || content[i - 1] != '\r')) {
            out += '\r';
        }
        out += content[i];
    }
    return out;
}

bool writeAll(HANDLE handle, const char* data, std::size_t size) {
    while (size > 0) {
        const DWORD chunk = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
        DWORD done = 0;
        if (::WriteFile(handle, data, chunk, &done, nullptr) == FALSE || done == 0) {
            return false;
        }
        data += done;
        size -= done;
    }
    return true;
}

// The mutex name for one settings file: its full path, case folded (NTFS names compare
// without case), with the separators the object namespace reserves replaced. Long paths are
// cut to a hash so that the name stays within MAX_PATH.
std::string mutexNameFor(const std::string& path) {
    char full[MAX_PATH * 4];
    const DWORD n = ::GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    std::string key = n > 0 && n < sizeof full ? std::string(full, n) : path;
    for (char& c : key) {
        c = c == '\\' || c == '/' ? '|'
                                  : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    constexpr std::size_t kMaxKey = 200;
    if (key.size() > kMaxKey) {
        // FNV-1a over the whole key keeps different long paths apart.
        std::uint64_t hash = 14695981039346656037ull;
        for (const char c : key) {
            hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        }
        key = key.substr(key.size() - kMaxKey / 2) + "#" + std::to_string(hash);
    }
    return "Local\\tervan-settings-" + key;
}

}  // namespace

ReadResult readSettingsFile(const std::string& path, std::string& content) {
    content.clear();
    // Shared for deleting too: a writer may rename a new file over this one while it is read.
    FileHandle file(::CreateFileA(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? ReadResult::Missing
                   : ReadResult::Unusable;
    }
    LARGE_INTEGER size{};
    if (::GetFileType(file.get()) != FILE_TYPE_DISK ||
        ::GetFileSizeEx(file.get(), &size) == FALSE || size.QuadPart < 0 ||
        static_cast<std::uint64_t>(size.QuadPart) > kMaxSettingsFileSize) {
        return ReadResult::Unusable;
    }
    char chunk[8192];
    for (;;) {
        DWORD got = 0;
        if (::ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) == FALSE) {
            content.clear();
            return ReadResult::Unusable;
        }
        if (got == 0) {
            break;
        }
        content.append(chunk, got);
        if (content.size() > kMaxSettingsFileSize) {
            content.clear();
            return ReadResult::Unusable;
        }
    }
    return ReadResult::Ok;
}

ReplaceResult replaceSettingsFile(const std::string& path, const std::string& content) {
    WIN32_FILE_ATTRIBUTE_DATA existing{};
    bool startsTheFile = true;
    if (::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &existing) != FALSE) {
        // A folder of that name, or a read-only settings file, stays as it is.
        if ((existing.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return ReplaceResult::Failed;
        }
        if ((existing.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
            return ReplaceResult::ReadOnly;
        }
        startsTheFile = existing.nFileSizeHigh == 0 && existing.nFileSizeLow == 0;
    }
    // The store ends the lines it writes as the file already does, and with LF in a file that
    // has none yet. A file this write starts (none, or an empty one) holds only lines the store
    // wrote: they end in CRLF, as the system's own profile functions write them, and later
    // writes keep to CRLF. A file that exists keeps the line ends it has.
    const std::string text = startsTheFile ? withCrlf(content) : content;
    // One fixed name: writers hold the lock, so a writer that was killed half-way leaves at
    // most this one file, which the next write takes over.
    const std::string temp = path + ".tmp";
    FileHandle file(::CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        return ReplaceResult::Failed;
    }
    bool ok = writeAll(file.get(), text.data(), text.size());
    ok = ::FlushFileBuffers(file.get()) != FALSE && ok;
    ok = file.close() && ok;
    // The new file takes the old one's place in one step; the old one is never half written.
    // Windows refuses to replace a file while anyone has it open, and readers (another copy
    // of the program) hold it for a moment without the lock: try again for a while.
    for (int attempt = 0; ok; ++attempt) {
        if (::MoveFileExA(temp.c_str(), path.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE) {
            break;
        }
        const DWORD error = ::GetLastError();
        if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) ||
            attempt + 1 == kReplaceAttempts) {
            ok = false;
            break;
        }
        ::Sleep(kReplaceRetryMs);
    }
    if (!ok) {
        ::DeleteFileA(temp.c_str());
        return ReplaceResult::Failed;
    }
    return ReplaceResult::Ok;
}

// A symbolic link's target, followed as the system follows it when opening the file. A link
// whose target does not exist yet cannot be opened: the first write then replaces the link,
// as it would any file of that name.
std::string settingsFileTarget(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return path;
    }
    FileHandle file(::CreateFileA(path.c_str(), 0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        return path;
    }
    char target[MAX_PATH * 4];
    const DWORD n = ::GetFinalPathNameByHandleA(file.get(), target, sizeof target,
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= sizeof target) {
        return path;
    }
    std::string resolved(target, n);
    // "\\?\C:\..." for a drive path; the plain form for the file functions used here.
    if (resolved.rfind("\\\\?\\", 0) == 0 && resolved.rfind("\\\\?\\UNC\\", 0) != 0) {
        resolved.erase(0, 4);
    }
    return resolved;
}

bool makePrivateFolders(const std::string& folder) {
    // Folders made below the user's profile inherit its access list, which is the user's own.
    for (std::size_t end = folder.find_first_of("\\/", 1);;
         end = folder.find_first_of("\\/", end + 1)) {
        const std::string part = folder.substr(0, end);
        if (!part.empty()) {
            ::CreateDirectoryA(part.c_str(), nullptr);
        }
        if (end == std::string::npos) {
            break;
        }
    }
    const DWORD attributes = ::GetFileAttributesA(folder.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A named mutex rather than a lock on the file: the file is replaced by each write, so a lock
// on it would not outlive the write, and a lock file would litter the program's folder. A
// holder that ends without releasing it leaves the mutex abandoned, which the next waiter
// takes over; one that keeps it past the wait leaves this lock untaken, and the write fails.
// The folder is made first when missing (the settings file of a copy on a drive that was
// unpacked without it). While another writer holds the mutex the lock is tried again every
// kLockRetry of the clock, so the window stays painted while it waits.
SettingsLock::SettingsLock(const std::string& path, Clock& clock, Clock::Duration limit) {
    const auto separator = path.find_last_of("\\/");
    if (separator != std::string::npos && separator > 0) {
        const std::string folder = path.substr(0, separator);
        const DWORD attributes = ::GetFileAttributesA(folder.c_str());
        if ((attributes == INVALID_FILE_ATTRIBUTES ||
             (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) &&
            !makePrivateFolders(folder)) {
            failure_ = LockFailure::NoFolder;
            return;
        }
    }
    const HANDLE mutex = ::CreateMutexA(nullptr, FALSE, mutexNameFor(path).c_str());
    if (mutex == nullptr) {
        failure_ = LockFailure::Busy;
        return;
    }
    const Clock::TimePoint deadline = clock.now() + limit;
    for (;;) {
        const DWORD waited = ::WaitForSingleObject(mutex, 0);
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
            break;
        }
        if (waited != WAIT_TIMEOUT || clock.now() >= deadline) {
            ::CloseHandle(mutex);
            failure_ = LockFailure::Busy;
            return;
        }
        clock.sleepFor(kLockRetry);
    }
    handle_ = reinterpret_cast<std::intptr_t>(mutex);
}

SettingsLock::~SettingsLock() {
    if (handle_ != -1) {
        const HANDLE mutex = reinterpret_cast<HANDLE>(handle_);
        ::ReleaseMutex(mutex);
        ::CloseHandle(mutex);
    }
}

}  // namespace tervan::os
