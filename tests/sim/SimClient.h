// The tool's side of the virtual target, opened and used the way the tool does it, with plain
// system calls: the serial port through <root>/ports/COMn, the USB device through its FIFOs.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/Frame.h"

namespace tervan::testing {

inline constexpr int kNoByte = -1;  // nothing arrived in time
inline constexpr int kHangUp = -2;  // the other side is gone

inline int readOneByte(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) {
        return kNoByte;
    }
    std::uint8_t byte = 0;
    const ssize_t n = ::read(fd, &byte, 1);
    return n == 1 ? byte : kHangUp;
}

inline bool writeAll(int fd, const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Exclusive, raw 115200 8N1, purged at open and before every write.
class SerialClient {
public:
    explicit SerialClient(const std::string& path, bool purgeAtOpen = true) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY);
        if (fd_ < 0) {
            return;
        }
        ::ioctl(fd_, TIOCEXCL);
        ::flock(fd_, LOCK_EX | LOCK_NB);
        termios tio{};
        ::tcgetattr(fd_, &tio);
        ::cfmakeraw(&tio);
        ::cfsetspeed(&tio, B115200);
        ::tcsetattr(fd_, TCSANOW, &tio);
        if (purgeAtOpen) {
            purge();
        }
    }
    ~SerialClient() { close(); }
    SerialClient(const SerialClient&) = delete;
    SerialClient& operator=(const SerialClient&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    int readByte(int timeoutMs = 2000) { return readOneByte(fd_, timeoutMs); }
    bool write(const std::vector<std::uint8_t>& bytes) {
        purge();
        return writeAll(fd_, bytes);
    }
    // Like the tool: the input always, the output only while some of it is still unsent (on a
    // pseudo-terminal nothing is: flushing it would take back bytes already delivered).
    void purge() {
        ::tcflush(fd_, TCIFLUSH);
        int unsent = 0;
        if (::ioctl(fd_, TIOCOUTQ, &unsent) != 0 || unsent != 0) {
            ::tcflush(fd_, TCOFLUSH);
        }
    }
    // Waits for the 'X' and replies 'H'.
    bool connect() { return readByte() == kAnswerAccepted && write({kHandshakeReply}); }

private:
    int fd_ = -1;
};

// PIPE00 opened for writing without blocking (ENXIO: no device), PIPE01 for reading and writing.
class PipeClient {
public:
    explicit PipeClient(const std::string& device) {
        ::signal(SIGPIPE, SIG_IGN);
        out_ = ::open((device + "/PIPE00").c_str(), O_WRONLY | O_NONBLOCK);
        if (out_ >= 0) {
            ::fcntl(out_, F_SETFL, ::fcntl(out_, F_GETFL) & ~O_NONBLOCK);
        }
        in_ = ::open((device + "/PIPE01").c_str(), O_RDWR);
    }
    ~PipeClient() {
        ::close(out_);
        ::close(in_);
    }
    PipeClient(const PipeClient&) = delete;
    PipeClient& operator=(const PipeClient&) = delete;

    bool isOpen() const { return in_ >= 0 && out_ >= 0; }
    int readByte(int timeoutMs = 2000) { return readOneByte(in_, timeoutMs); }
    bool write(const std::vector<std::uint8_t>& bytes) { return writeAll(out_, bytes); }

private:
    int out_ = -1;
    int in_ = -1;
};

inline std::vector<std::uint8_t> makeFrame(int model, std::uint8_t command, std::uint16_t block,
                                           const std::uint8_t* data = nullptr,
                                           std::size_t count = 0) {
    const ModelParameters params = modelParameters(model);
    std::vector<std::uint8_t> frame(params.frameLength);
    buildFrame(frame.data(), params, command, block, data, count);
    return frame;
}

// Bytes that differ from page to page and from the erased state.
inline std::vector<std::uint8_t> makePattern(std::size_t size, unsigned seed = 1) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 31 + i / 251 + seed * 7) & 0x7F);
    }
    return bytes;
}

// Sends an image page by page and returns how many frames were answered 'X'.
template <typename Client>
std::size_t sendImage(Client& client, int model, std::uint8_t command,
                      const std::vector<std::uint8_t>& image) {
    const std::size_t page = modelParameters(model).pageSize;
    std::size_t accepted = 0;
    for (std::size_t at = 0; at < image.size(); at += page) {
        const auto frame = makeFrame(model, command, static_cast<std::uint16_t>(at / page),
                                     image.data() + at, std::min(page, image.size() - at));
        if (!client.write(frame) || client.readByte() != kAnswerAccepted) {
            break;
        }
        ++accepted;
    }
    return accepted;
}

}  // namespace tervan::testing
