#include "app/SettingsFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace tervan::os {
namespace {

std::string folderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

ReadResult readSettingsFile(const std::string& path, std::string& content) {
    content.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT || errno == ENOTDIR ? ReadResult::Missing : ReadResult::Unusable;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::size_t>(info.st_size) > kMaxSettingsFileSize) {
        ::close(fd);
        return ReadResult::Unusable;
    }
    char chunk[8192];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            ::close(fd);
            content.clear();
            return ReadResult::Unusable;
        }
        if (n == 0) {
            break;
        }
        content.append(chunk, static_cast<std::size_t>(n));
        if (content.size() > kMaxSettingsFileSize) {
            ::close(fd);
            content.clear();
            return ReadResult::Unusable;
        }
    }
    ::close(fd);
    return ReadResult::Ok;
}

bool replaceSettingsFile(const std::string& path, const std::string& content) {
    // Keep the permissions of the file being replaced; a new file gets rw-r--r-- (less umask).
    mode_t mode = 0644;
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode)) {
            return false;
        }
        mode = info.st_mode & 07777;
        // A read-only settings file stays unchanged, also for a user (root) whom the file
        // system would let write it anyway.
        if ((mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0) {
            return false;
        }
    }
    // One fixed name: writers hold the folder lock, so a writer that was killed half-way
    // leaves at most this one file, which the next write takes over.
    const std::string temp = path + ".tmp";
    const int fd =
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        return false;
    }
    // A file left by a killed writer keeps its own permissions: give it the intended ones.
    bool ok = ::fchmod(fd, mode) == 0;
    ok = writeAll(fd, content.data(), content.size()) && ok;
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (ok) {
        ok = ::rename(temp.c_str(), path.c_str()) == 0;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    const int dir = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

// The lock is taken on the folder that holds the file: the file itself is replaced by each
// write, so a lock on it would not outlive the write, and a lock file would litter the folder.
// A missing folder (the user's configuration folder before the first setting) is made first,
// readable by the user alone.
SettingsLock::SettingsLock(const std::string& path) {
    const std::string folder = folderOf(path);
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        std::error_code error;
        if (std::filesystem::create_directories(folder, error)) {
            ::chmod(folder.c_str(), 0700);
        }
        fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (fd < 0) {
        return;
    }
    // Writers hold the lock for a few milliseconds. One that is held much longer belongs to
    // something stuck: the write then fails (as a refused write does) rather than freezing the
    // window inside a click.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) ||
            std::chrono::steady_clock::now() >= deadline) {
            ::close(fd);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    handle_ = fd;
}

SettingsLock::~SettingsLock() {
    if (handle_ != -1) {
        ::flock(static_cast<int>(handle_), LOCK_UN);
        ::close(static_cast<int>(handle_));
    }
}

}  // namespace tervan::os
