// Real peers for the link tests: a pseudo-terminal standing in for the target's serial line,
// FIFO pairs standing in for the driver's pipes, and the process's descriptor count.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "link/UsbPipeLink.h"

namespace tervan::testing {

// Real time passed since `start`, for the few tests that measure the real time-outs.
inline long long millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

inline void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The descriptors this process holds now.
inline int openDescriptorCount() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

// A pseudo-terminal: the link opens the slave (slavePath), the test plays the target on the
// master.
class PseudoTerminal {
public:
    PseudoTerminal() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
            return;
        }
        char name[256] = {};
        if (::ptsname_r(master_, name, sizeof name) == 0) {
            slavePath_ = name;
        }
    }
    ~PseudoTerminal() { hangUp(); }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    bool ready() const { return master_ >= 0 && !slavePath_.empty(); }
    int master() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }

    bool send(const std::string& bytes) {
        return ::write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    // What the link sent, waiting up to timeoutMs for the first byte.
    std::string receive(int timeoutMs = 1000) {
        std::string got;
        pollfd entry{master_, POLLIN, 0};
        while (::poll(&entry, 1, got.empty() ? timeoutMs : 50) > 0 &&
               (entry.revents & POLLIN) != 0) {
            char chunk[256];
            const ssize_t n = ::read(master_, chunk, sizeof chunk);
            if (n <= 0) {
                break;
            }
            got.append(chunk, static_cast<std::size_t>(n));
        }
        return got;
    }

    // The target goes away: the slave side sees a hang-up.
    void hangUp() {
        if (master_ >= 0) {
            ::close(master_);
            master_ = -1;
        }
    }

private:
    int master_ = -1;
    std::string slavePath_;
};

// The class folder below a device root.
inline std::string usbClassFolder(const std::string& root) {
    return root + "/usb/" + kUsbInterfaceClass;
}

// One device as the driver shows it: a folder with the FIFOs PIPE00 (host writes) and PIPE01
// (host reads). The test holds the device's ends: fromHost reads PIPE00, toHost writes PIPE01.
class FifoDevice {
public:
    explicit FifoDevice(const std::string& folder, bool withReadPipe = true) : folder_(folder) {
        std::filesystem::create_directories(folder_);
        ::mkfifo((folder_ + "/PIPE00").c_str(), 0600);
        if (withReadPipe) {
            ::mkfifo((folder_ + "/PIPE01").c_str(), 0600);
        }
    }
    ~FifoDevice() { detach(); }
    FifoDevice(const FifoDevice&) = delete;
    FifoDevice& operator=(const FifoDevice&) = delete;

    // The device comes up: it listens on PIPE00 and can answer on PIPE01.
    void attach() {
        fromHost_ = ::open((folder_ + "/PIPE00").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (std::filesystem::exists(folder_ + "/PIPE01")) {
            toHost_ = ::open((folder_ + "/PIPE01").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        }
    }
    void detach() {
        if (fromHost_ >= 0) {
            ::close(fromHost_);
            fromHost_ = -1;
        }
        if (toHost_ >= 0) {
            ::close(toHost_);
            toHost_ = -1;
        }
    }

    const std::string& path() const { return folder_; }
    int toHost() const { return toHost_; }
    int fromHost() const { return fromHost_; }

    bool send(const std::string& bytes) {
        return ::write(toHost_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    std::string receive(int timeoutMs = 1000) {
        std::string got;
        pollfd entry{fromHost_, POLLIN, 0};
        while (::poll(&entry, 1, got.empty() ? timeoutMs : 50) > 0 &&
               (entry.revents & POLLIN) != 0) {
            char chunk[256];
            const ssize_t n = ::read(fromHost_, chunk, sizeof chunk);
            if (n <= 0) {
                break;
            }
            got.append(chunk, static_cast<std::size_t>(n));
        }
        return got;
    }

private:
    std::string folder_;
    int fromHost_ = -1;
    int toHost_ = -1;
};

}  // namespace tervan::testing
