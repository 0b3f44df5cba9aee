// Appending on POSIX: O_APPEND moves to the end and writes in one step, and an flock over the
// check of the file's end, the write and its undoing keeps copies of the program that append
// to one file from seeing each other half-way.
#include "cli/AppendFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace tervan::cli {
namespace {

std::string kindOf(mode_t mode) {
    if (S_ISFIFO(mode)) {
        return "a pipe (FIFO)";
    }
    if (S_ISDIR(mode)) {
        return "a folder";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    if (S_ISBLK(mode)) {
        return "a block device";
    }
    if (S_ISREG(mode) || S_ISCHR(mode)) {
        return {};
    }
    return "not a file";
}

// A pipe this program already writes to (its standard output in a pipeline, `>(...)` of the
// shell, seen as /dev/stdout or /dev/fd/N) has its reader: writing there never waits for one,
// and closing it again never ends the reader's input. A named pipe nobody has open does not
// count.
bool heldOpenHere(const struct stat& info) {
    DIR* folder = ::opendir("/proc/self/fd");
    if (folder == nullptr) {
        return false;
    }
    bool held = false;
    const int own = ::dirfd(folder);
    while (const dirent* entry = ::readdir(folder)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        struct stat open {};
        if (end != entry->d_name && *end == '\0' && fd != own &&
            ::fstat(static_cast<int>(fd), &open) == 0 && S_ISFIFO(open.st_mode) &&
            open.st_dev == info.st_dev && open.st_ino == info.st_ino) {
            held = true;
            break;
        }
    }
    ::closedir(folder);
    return held;
}

// What a path's file is when it is no place for receipts or the trace; empty when it is.
std::string kindOf(const struct stat& info) {
    if (S_ISFIFO(info.st_mode) && heldOpenHere(info)) {
        return {};
    }
    return kindOf(info.st_mode);
}

// Opens without waiting (a pipe or a terminal's carrier could hold an open up forever), then
// takes only a regular file or a character device, and writes to it blocking as usual.
int openForWriting(const std::string& path, int flags, mode_t mode, struct stat& info) {
    const int fd = ::open(path.c_str(), flags | O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode);
    if (fd < 0) {
        // A pipe no program reads refuses a non-blocking open: say what it is instead.
        const int error = errno;
        struct stat named {};
        if (::stat(path.c_str(), &named) == 0 && !kindOf(named).empty()) {
            errno = kNotAWritableFile;
        } else {
            errno = error;
        }
        return -1;
    }
    if (::fstat(fd, &info) != 0 || !kindOf(info).empty()) {
        const int error = errno;
        ::close(fd);
        errno = kindOf(info).empty() ? error : kNotAWritableFile;
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

int writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (written == 0) {
            return ENOSPC;
        }
        done += static_cast<std::size_t>(written);
    }
    return 0;
}

}  // namespace

std::string unwritableKind(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return {};  // created when missing; any other error shows when it is opened
    }
    return kindOf(info);
}

int appendToFile(const std::string& path, const std::string& text) {
    struct stat info {};
    const int fd = openForWriting(path, O_APPEND | O_CREAT, 0644, info);
    if (fd < 0) {
        return errno;
    }
    const bool regular = S_ISREG(info.st_mode);
    int error = 0;
    if (regular && !text.empty()) {
        // Held until the close: another copy of the program neither writes between the check
        // of the end and the write, nor sees a failed write before it is taken back.
        while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
        struct stat now {};
        ::fstat(fd, &now);
        std::string whole;
        if (now.st_size > 0) {
            // Opened for writing only: the last byte is read through a second descriptor.
            char last = '\n';
            const int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            if (reader >= 0) {
                if (::pread(reader, &last, 1, now.st_size - 1) != 1) {
                    last = '\n';
                }
                ::close(reader);
            }
            if (last != '\n') {
                whole = "\n";
            }
        }
        whole += text;
        error = writeAll(fd, whole);
        if (error != 0) {
            // Half a line would glue itself to the next record: take the write back.
            while (::ftruncate(fd, now.st_size) != 0 && errno == EINTR) {
            }
        } else if (::fsync(fd) != 0) {
            error = errno;
        }
    } else if (!text.empty()) {
        error = writeAll(fd, text);
    }
    if (::close(fd) != 0 && error == 0 && errno != EINTR) {
        error = errno;
    }
    return error;
}

std::FILE* createPrivateFile(const std::string& path, int& error) {
    struct stat info {};
    const int fd = openForWriting(path, O_CREAT, 0600, info);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    if (S_ISREG(info.st_mode)) {
        // A file left from before keeps only its owner's rights: it is about to hold the image.
        if (info.st_uid == ::geteuid() && (info.st_mode & 077) != 0) {
            ::fchmod(fd, info.st_mode & 0700);
        }
        if (::ftruncate(fd, 0) != 0) {
            error = errno;
            ::close(fd);
            return nullptr;
        }
    }
    std::FILE* file = ::fdopen(fd, "w");
    if (file == nullptr) {
        error = errno;
        ::close(fd);
    }
    return file;
}

}  // namespace tervan::cli
