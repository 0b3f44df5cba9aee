// A child process that holds a file open for writing until the object ends, as a linker or a
// copy does that has not finished the file yet. POSIX only.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace tervan::testing {

class HeldForWriting {
public:
    explicit HeldForWriting(const std::string& path) {
        int ready[2];
        if (::pipe(ready) != 0) {
            return;
        }
        const char* name = path.c_str();
        pid_ = ::fork();
        if (pid_ == 0) {
            // Only async-signal-safe calls here: the test process may run threads.
            const int fd = ::open(name, O_WRONLY | O_APPEND);
            const char byte = fd >= 0 ? 'y' : 'n';
            if (::write(ready[1], &byte, 1) == 1) {
                for (;;) {
                    ::pause();
                }
            }
            ::_exit(1);
        }
        ::close(ready[1]);
        char byte = 0;
        holding_ = pid_ > 0 && ::read(ready[0], &byte, 1) == 1 && byte == 'y';
        ::close(ready[0]);
    }
    ~HeldForWriting() { release(); }
    HeldForWriting(const HeldForWriting&) = delete;
    HeldForWriting& operator=(const HeldForWriting&) = delete;

    // The writer ends, and with it its descriptor.
    void release() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        holding_ = false;
    }
    pid_t pid() const { return pid_; }
    bool holding() const { return holding_; }

private:
    pid_t pid_ = -1;
    bool holding_ = false;
};

}  // namespace tervan::testing
