// Appending on POSIX: O_APPEND moves to the end and writes in one step, so lines written by
// several threads or processes never overlap or interleave.
#include "cli/AppendFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace tervan::cli {

int appendToFile(const std::string& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return errno;
    }
    int error = 0;
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = errno;
            break;
        }
        done += static_cast<std::size_t>(written);
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    return error;
}

}  // namespace tervan::cli
