#include "app/ImageFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "link/Processes.h"
#include "link/SystemPaths.h"

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

// Whether the descriptor /proc/PID/fd/FD was opened for writing: its fdinfo's "flags:" line
// holds the open flags in octal.
bool openForWriting(const std::string& process, const std::string& fd) {
    std::ifstream in(process + "/fdinfo/" + fd);
    std::string key;
    while (in >> key) {
        if (key == "flags:") {
            std::string octal;
            in >> octal;
            const unsigned long flags = std::strtoul(octal.c_str(), nullptr, 8);
            return (flags & O_ACCMODE) != O_RDONLY;
        }
        in.ignore(4096, '\n');
    }
    return false;
}

// A process that has the file `target` open for writing, found among the descriptors of the
// processes in /proc that this user may look at (their own, or all of them for root).
std::optional<ImageWriter> writerInProc(const struct stat& target) {
    const auto writers = posix::processesWithOpen(target, openForWriting);
    if (writers.empty()) {
        return std::nullopt;
    }
    return ImageWriter{writers.front(), posix::processCommand(writers.front())};
}

// Whether any process at all, of any user, has the file open for writing: the kernel refuses
// a read lease while one has. Only the file's owner (or a process with CAP_LEASE) may ask.
// The lease is given back at once; a writer that opens the file in that moment makes the
// kernel signal us, so the signal is SIGURG, which is ignored unless a handler is set.
bool writerSeenByLease(int fd, const struct stat& info) {
    if (info.st_uid != ::geteuid() && ::geteuid() != 0) {
        return false;
    }
    if (::fcntl(fd, F_SETSIG, SIGURG) != 0) {
        return false;
    }
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
        ::fcntl(fd, F_SETLEASE, F_UNLCK);
        return false;
    }
    return errno == EAGAIN;
}

}  // namespace

PlatformHandle openImageFile(const std::string& path, std::optional<ImageWriter>* writer) {
    if (writer != nullptr) {
        writer->reset();
    }
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
    // A writer takes no lock: a linker or a copy still filling the file is found by its
    // descriptor, and the file is not read until it is done.
    std::optional<ImageWriter> found = writerInProc(info);
    if (!found && writerSeenByLease(fd, info)) {
        found = ImageWriter{};
    }
    if (found) {
        ::close(fd);
        if (writer != nullptr) {
            *writer = std::move(found);
        }
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
