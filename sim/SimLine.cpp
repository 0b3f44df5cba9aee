#include "sim/SimLine.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "link/UsbFolders.h"
#include "link/UsbPipeLink.h"

namespace fs = std::filesystem;

namespace tervan::sim {
namespace {

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

std::string errnoText(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

// Creates `folder` and the missing folders above it, listing the ones it made (outermost
// first) so that they can be removed again. A folder another process created in the meantime
// is used but not listed: it is not this line's to remove.
bool makeFolders(const fs::path& folder, std::vector<fs::path>& made, std::string* error) {
    std::vector<fs::path> missing;
    for (fs::path p = folder; !p.empty() && !fs::exists(p); p = p.parent_path()) {
        missing.push_back(p);
        if (p == p.parent_path()) {
            break;
        }
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0755) == 0) {
            made.push_back(*it);
        } else if (errno != EEXIST) {
            *error = errnoText("cannot create " + it->string(), errno);
            return false;
        }
    }
    return true;
}

// Removes the folders makeFolders made, innermost first, as far as they are empty.
void removeFolders(std::vector<fs::path>& made) {
    for (auto it = made.rbegin(); it != made.rend(); ++it) {
        ::rmdir(it->c_str());
    }
    made.clear();
}

// ---------------------------------------------------------------------------------------------
// Serial: a pseudo-terminal. The tool opens the slave through the link; the loader keeps only
// the master. Opens and closes of the slave are watched with inotify, which counts every one
// (the master's POLLHUP only shows up after a first close and misses a quick close/reopen).
// Packet mode on the master reports the tool's purges, so the 'X' after an open can wait for
// the purge that would otherwise throw it away.
class SerialLine final : public SimLine {
public:
    SerialLine(const std::string& root, int comNumber)
        : root_(root), link_(root + "/ports/COM" + std::to_string(comNumber)) {}
    ~SerialLine() override { remove(); }

    bool create(std::string* error) override {
        std::string ignored;
        std::string& reason = error != nullptr ? *error : ignored;
        if (!fs::is_directory(root_)) {
            reason = "no folder " + root_;
            return false;
        }
        if (!makeFolders(fs::path(root_) / "ports", madeFolders_, &reason) ||
            !clearStaleLink(reason) || !openPseudoTerminal(reason)) {
            remove();
            return false;
        }
        if (::symlink(slave_.c_str(), link_.c_str()) != 0) {
            reason = errnoText("cannot create " + link_, errno);
            remove();
            return false;
        }
        linked_ = true;
        return true;
    }

    void remove() override {
        closeFds();
        if (linked_) {
            std::error_code ec;
            if (fs::read_symlink(link_, ec) == slave_) {
                ::unlink(link_.c_str());
            }
            linked_ = false;
        }
        removeFolders(madeFolders_);
    }

    void drop() override { closeFds(); }

    void pollSet(std::vector<pollfd>& fds, bool wantWrite) const override {
        if (notify_ >= 0) {
            fds.push_back({notify_, POLLIN, 0});
        }
        // With no opener the master reports POLLHUP all the time: leave it out then.
        if (master_ >= 0 && openers_ > 0) {
            fds.push_back(
                {master_, static_cast<short>(POLLIN | POLLPRI | (wantWrite ? POLLOUT : 0)), 0});
        }
    }

    LineInput collect() override {
        LineInput in;
        readOpenEvents(in);
        // Data written just before a close can still be read after it.
        if (master_ >= 0 && (openers_ > 0 || in.closes > 0 || in.opens > 0)) {
            readMaster(in);
        }
        return in;
    }

    std::size_t send(const std::uint8_t* bytes, std::size_t count) override {
        if (master_ < 0) {
            return 0;
        }
        const ssize_t n = ::write(master_, bytes, count);
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }

    // The tool purges its input at every open and before every write: nothing to do.
    void discardUnread() override {}

    std::string path() const override { return link_; }
    std::string slavePath() const override { return slave_; }
    std::string describe() const override { return link_ + " -> " + slave_; }

private:
    bool clearStaleLink(std::string& reason) {
        struct stat st {};
        if (::lstat(link_.c_str(), &st) != 0) {
            return true;
        }
        std::error_code ec;
        const fs::path target = fs::read_symlink(link_, ec);
        // A link left by a target that ended without cleaning up points to a terminal that
        // no longer exists.
        if (S_ISLNK(st.st_mode) && !ec && target.string().rfind("/dev/pts/", 0) == 0 &&
            !fs::exists(target)) {
            ::unlink(link_.c_str());
            return true;
        }
        reason = link_ + " is already in use";
        return false;
    }

    bool openPseudoTerminal(std::string& reason) {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        char name[PATH_MAX] = {};
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
            ::ptsname_r(master_, name, sizeof name) != 0) {
            reason = errnoText("cannot open a pseudo-terminal", errno);
            return false;
        }
        slave_ = name;
        // The slave starts raw so that nothing is echoed or translated before the tool sets
        // its own line settings (on a pty master these calls act on the slave's settings).
        termios tio{};
        if (::tcgetattr(master_, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::cfsetspeed(&tio, B115200);
            ::tcsetattr(master_, TCSANOW, &tio);
        }
        int on = 1;
        if (::ioctl(master_, TIOCPKT, &on) != 0) {
            reason = errnoText("cannot watch the purges of " + slave_, errno);
            return false;
        }
        notify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (notify_ < 0 || ::inotify_add_watch(notify_, slave_.c_str(), IN_OPEN | IN_CLOSE) < 0) {
            reason = errnoText("cannot watch the opens of " + slave_, errno);
            return false;
        }
        return true;
    }

    void readOpenEvents(LineInput& in) {
        if (notify_ < 0) {
            return;
        }
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(notify_, buffer, sizeof buffer);
            if (n <= 0) {
                return;
            }
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->mask & IN_OPEN) {
                    if (openers_++ == 0) {
                        ++in.opens;
                    }
                } else if (event->mask & IN_CLOSE) {
                    if (openers_ > 0 && --openers_ == 0) {
                        ++in.closes;
                    }
                } else if (event->mask & IN_Q_OVERFLOW) {
                    // Events were lost: the master's hang-up tells whether anyone holds it.
                    pollfd p{master_, 0, 0};
                    const bool hungUp = ::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP);
                    openers_ = hungUp ? 0 : (openers_ > 0 ? openers_ : 1);
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }

    // In packet mode every read returns either a status byte (non-zero) or a zero byte
    // followed by data.
    void readMaster(LineInput& in) {
        std::uint8_t buffer[4096];
        for (;;) {
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n <= 0) {
                return;
            }
            if (buffer[0] == TIOCPKT_DATA) {
                in.data.insert(in.data.end(), buffer + 1, buffer + n);
            } else if (buffer[0] & TIOCPKT_FLUSHREAD) {
                in.purged = true;
            }
        }
    }

    void closeFds() {
        closeFd(notify_);
        closeFd(master_);
        openers_ = 0;
    }

    std::string root_;
    std::string link_;
    std::string slave_;
    int master_ = -1;
    int notify_ = -1;
    int openers_ = 0;
    bool linked_ = false;
    std::vector<fs::path> madeFolders_;
};

// ---------------------------------------------------------------------------------------------
// USB: a device folder with two FIFOs. PIPE00 is held open for reading and writing, so the
// tool's non-blocking open for writing finds a reader and the loader never sees an end of file
// when the tool closes its end; PIPE01 is held open for reading and writing, so the tool's opens
// never block and answers wait in the FIFO until the tool reads them.
class UsbLine final : public SimLine {
public:
    UsbLine(const std::string& root, const std::string& deviceName)
        : root_(root),
          device_(usbClassFolder(root) + "/" + deviceName),
          hostWrites_(device_ + "/" + (kWritePipeName + 1)),
          hostReads_(device_ + "/" + (kReadPipeName + 1)) {}
    ~UsbLine() override { remove(); }

    bool create(std::string* error) override {
        std::string ignored;
        std::string& reason = error != nullptr ? *error : ignored;
        if (!fs::is_directory(root_)) {
            reason = "no folder " + root_;
            return false;
        }
        if (!claimDevice(reason) || !makeFolders(device_, madeFolders_, &reason) ||
            !makeFifo(hostWrites_, reason) || !makeFifo(hostReads_, reason)) {
            remove();
            return false;
        }
        in_ = ::open(hostWrites_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        out_ = ::open(hostReads_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (in_ < 0 || out_ < 0) {
            reason = errnoText("cannot open the pipes in " + device_, errno);
            remove();
            return false;
        }
        return true;
    }

    void remove() override {
        closeFd(in_);
        closeFd(out_);
        if (ownsFiles_) {
            ::unlink(hostWrites_.c_str());
            ::unlink(hostReads_.c_str());
            ::rmdir(device_.c_str());
            ownsFiles_ = false;
        }
        removeFolders(madeFolders_);
    }

    // Unplugged: the tool's next write finds no reader (EPIPE) and enumeration finds nothing.
    void drop() override { remove(); }

    void pollSet(std::vector<pollfd>& fds, bool wantWrite) const override {
        if (in_ >= 0) {
            fds.push_back({in_, POLLIN, 0});
        }
        if (out_ >= 0 && wantWrite) {
            fds.push_back({out_, POLLOUT, 0});
        }
    }

    LineInput collect() override {
        LineInput in;
        std::uint8_t buffer[4096];
        while (in_ >= 0) {
            const ssize_t n = ::read(in_, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            in.data.insert(in.data.end(), buffer, buffer + n);
        }
        return in;
    }

    std::size_t send(const std::uint8_t* bytes, std::size_t count) override {
        if (out_ < 0) {
            return 0;
        }
        const ssize_t n = ::write(out_, bytes, count);
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }

    void discardUnread() override {
        std::uint8_t buffer[4096];
        while (out_ >= 0 && ::read(out_, buffer, sizeof buffer) > 0) {
        }
    }

    std::string path() const override { return device_; }
    std::string describe() const override { return device_; }

private:
    // A device folder left by a target that ended without cleaning up has pipes nobody reads:
    // it is taken over. One whose PIPE00 has a reader belongs to a running target.
    bool claimDevice(std::string& reason) {
        ownsFiles_ = true;
        if (!fs::exists(device_)) {
            return true;
        }
        const int probe = ::open(hostWrites_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (probe >= 0) {
            ::close(probe);
            ownsFiles_ = false;
            reason = device_ + " is already in use";
            return false;
        }
        return true;
    }

    bool makeFifo(const std::string& path, std::string& reason) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0) {
            if (S_ISFIFO(st.st_mode)) {
                return true;
            }
            reason = path + " exists and is not a pipe";
            return false;
        }
        if (::mkfifo(path.c_str(), 0666) != 0) {
            reason = errnoText("cannot create " + path, errno);
            return false;
        }
        return true;
    }

    std::string root_;
    std::string device_;
    std::string hostWrites_;  // PIPE00
    std::string hostReads_;   // PIPE01
    int in_ = -1;
    int out_ = -1;
    bool ownsFiles_ = false;
    std::vector<fs::path> madeFolders_;
};

}  // namespace

std::unique_ptr<SimLine> makeSerialLine(const std::string& root, int comNumber) {
    return std::make_unique<SerialLine>(root, comNumber);
}

std::unique_ptr<SimLine> makeUsbLine(const std::string& root, const std::string& deviceName) {
    return std::make_unique<UsbLine>(root, deviceName);
}

}  // namespace tervan::sim
