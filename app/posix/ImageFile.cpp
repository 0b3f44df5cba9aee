#include "app/ImageFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tervan::os {
namespace {

// A shared lock stands in for opening without sharing: a program that holds the file locked
// for writing keeps us out, and none can lock it for writing while we read. Only reading is
// done here, so a shared lock is enough, and it is what a read-only descriptor may take on
// every file system (NFS refuses an exclusive one). A file system that keeps no locks at all
// gives no lock and no refusal.
bool lockForReading(int fd) {
    if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
        return true;
    }
    return errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOTSUP || errno == EINVAL;
}

}  // namespace

PlatformHandle openImageFile(const std::string& path) {
    if (path.empty()) {
        return kInvalidHandle;
    }
    // Looked at before it is opened: opening a serial port (an image and a port named the wrong
    // way round) raises its lines and may reset the board on it.
    struct stat named {};
    if (::stat(path.c_str(), &named) != 0 || !S_ISREG(named.st_mode)) {
        return kInvalidHandle;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return kInvalidHandle;
    }
    struct stat info {};
    // Only a regular file is an image: a FIFO or a device could block or never end.
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || !lockForReading(fd)) {
        ::close(fd);
        return kInvalidHandle;
    }
    return fd;
}

bool imageFileInfo(PlatformHandle handle, ImageFileInfo* info) {
    struct stat st {};
    if (::fstat(static_cast<int>(handle), &st) != 0) {
        return false;
    }
    info->size = static_cast<std::uint64_t>(st.st_size);
    info->modified = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

std::int64_t readImageFile(PlatformHandle handle, void* buffer, std::uint32_t length) {
    auto* out = static_cast<char*>(buffer);
    std::uint32_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(static_cast<int>(handle), out + done, length - done, done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::uint32_t>(n);
    }
    return done;
}

void closeImageFile(PlatformHandle handle) {
    if (handle != kInvalidHandle) {
        ::close(static_cast<int>(handle));
    }
}

}  // namespace tervan::os
