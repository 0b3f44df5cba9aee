#include "app/ImageFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tervan::os {

PlatformHandle openImageFile(const std::string& path) {
    if (path.empty()) {
        return kInvalidHandle;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return kInvalidHandle;
    }
    struct stat info {};
    // Only a regular file is an image: a FIFO or a device could block or never end.
    // The exclusive lock stands in for opening without sharing: a program that holds a lock
    // on the file keeps us out, and we keep it out while we read.
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
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
