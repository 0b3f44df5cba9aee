#include "app/SettingsFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

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

ReplaceResult replaceSettingsFile(const std::string& path, const std::string& content) {
    // Keep the permissions of the file being replaced; a new file gets rw-r--r-- (less umask).
    mode_t mode = 0644;
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode)) {
            return ReplaceResult::Failed;
        }
        mode = info.st_mode & 07777;
        // A read-only settings file stays unchanged, also for a user (root) whom the file
        // system would let write it anyway: its owner made it so. One this user may not write
        // is a failure.
        if ((mode & 0222) == 0) {
            return ReplaceResult::ReadOnly;
        }
        if (::access(path.c_str(), W_OK) != 0) {
            return ReplaceResult::Failed;
        }
    }
    // One fixed name: writers hold the folder lock, so a writer that was killed half-way
    // leaves at most this one file, which the next write takes over.
    const std::string temp = path + ".tmp";
    const int fd =
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        return ReplaceResult::Failed;
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
        return ReplaceResult::Failed;
    }
    const int dir = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return ReplaceResult::Ok;
}

std::string settingsFileTarget(const std::string& path) {
    // As many links as the system itself follows in one path.
    constexpr int kMaxLinks = 40;
    std::string current = path;
    for (int i = 0; i < kMaxLinks; ++i) {
        struct stat info {};
        if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            return current;
        }
        char target[PATH_MAX];
        const ssize_t n = ::readlink(current.c_str(), target, sizeof target - 1);
        if (n <= 0) {
            return current;
        }
        const std::string next(target, static_cast<std::size_t>(n));
        current = next.front() == '/' ? next : folderOf(current) + '/' + next;
    }
    return current;
}

bool makePrivateFolders(const std::string& folder) {
    for (std::size_t end = folder.find('/', 1);; end = folder.find('/', end + 1)) {
        const std::string part = folder.substr(0, end);
        if (!part.empty() && ::mkdir(part.c_str(), 0700) == 0) {
            // The umask may take more than the group's and others' bits.
            ::chmod(part.c_str(), 0700);
        }
        if (end == std::string::npos) {
            break;
        }
    }
    struct stat info {};
    return ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The lock is taken on the folder that holds the file: the file itself is replaced by each
// write, so a lock on it would not outlive the write, and a lock file would litter the folder.
// A missing folder (the user's configuration folder before the first setting) is made first,
// readable by the user alone.
SettingsLock::SettingsLock(const std::string& path, Clock& clock, Clock::Duration limit) {
    const std::string folder = folderOf(path);
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && makePrivateFolders(folder)) {
        fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (fd < 0) {
        failure_ = LockFailure::NoFolder;
        return;
    }
    // Writers hold the lock for a few milliseconds, longer on a loaded machine or a slow
    // disk. A holder that keeps it past `limit` is stuck: the write then fails and says so,
    // rather than freezing the window inside a click.
    const Clock::TimePoint deadline = clock.now() + limit;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EINTR) {
            continue;
        }
        if (error != EWOULDBLOCK || clock.now() >= deadline) {
            ::close(fd);
            failure_ = LockFailure::Busy;
            return;
        }
        clock.sleepFor(kLockRetry);
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
