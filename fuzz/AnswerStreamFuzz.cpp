// Fuzz target: the byte stream the tool reads while it connects, downloads and sends a command,
// over a real line.
//
// The whole tool (DownloaderDialog behind a window that keeps what the checks read) runs against a
// scripted target on a real pseudo-terminal (serial) or on real FIFOs in a USB device folder. A
// thread plays the target from the fuzz input (its form and the checks are in AnswerScript.h): it
// sends the bytes before the 'X' in chunks with short pauses, answers every frame the tool writes
// with the script's next chunk, and takes the line away where the script says so. Time-outs are
// real: the script never leaves the tool waiting, and the target in memory
// (AnswerMemoryFuzz.cpp) covers what silence does. This target is for what only a real line
// shows: the kernel's buffers, hang-ups and the races between the two sides.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/DownloaderDialog.h"
#include "fuzz/AnswerScript.h"
#include "fuzz/FuzzCheck.h"
#include "link/SystemPaths.h"
#include "link/UsbFolders.h"
#include "link/UsbPipeLink.h"
#include "protocol/Frame.h"
#include "support/DrivenClock.h"

using namespace tervan;
using namespace tervan::fuzz;
using std::chrono::milliseconds;

namespace {

constexpr int kLogWaitMs = 3000;  // how long a check waits for a frame to reach the target

// The scripted target. Everything it saw and did goes into the log, guarded by `mutex`.
class ScriptedTarget final : public fuzz::ScriptedLine {
public:
    ScriptedTarget(const Options& options, std::vector<Record> records, const std::string& root)
        : options_(options), records_(std::move(records)), root_(root) {
        frameLength_ = modelParameters(options.model).frameLength;
        stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    ~ScriptedTarget() {
        stop();
        closeLine();
        ::close(stopFd_);
    }

    // Creates the line. Serial: the pseudo-terminal's slave path. USB: the device folder.
    std::string create() {
        if (!options_.usb) {
            master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            FUZZ_CHECK(master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0);
            char name[128] = {};
            FUZZ_CHECK(::ptsname_r(master_, name, sizeof name) == 0);
            // Raw from the start, as the virtual target makes its line: the tool puts back the
            // settings it found when it closes the port, and a line that echoes would then
            // hand the target's own later bytes back to it as if the tool had sent them.
            termios tio{};
            FUZZ_CHECK(::tcgetattr(master_, &tio) == 0);
            ::cfmakeraw(&tio);
            FUZZ_CHECK(::tcsetattr(master_, TCSANOW, &tio) == 0);
            return name;
        }
        device_ = usbClassFolder(root_) + "/target0";
        std::filesystem::create_directories(device_);
        FUZZ_CHECK(::mkfifo((device_ + "/PIPE00").c_str(), 0600) == 0);
        FUZZ_CHECK(::mkfifo((device_ + "/PIPE01").c_str(), 0600) == 0);
        // Held for reading and writing: the tool's opens never block and nothing is lost
        // while it closes and opens again between connect passes.
        in_ = ::open((device_ + "/PIPE00").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        out_ = ::open((device_ + "/PIPE01").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        FUZZ_CHECK(in_ >= 0 && out_ >= 0);
        return device_;
    }

    void start() {
        thread_ = std::thread([this] { run(); });
    }

    void stop() override {
        if (thread_.joinable()) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(stopFd_, &one, sizeof one);
            thread_.join();
        }
    }

    // The log entry `index`, once the target has dealt with it (or nothing after kLogWaitMs).
    std::optional<Transmission> transmission(std::size_t index) override {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, milliseconds(kLogWaitMs), [&] { return log_.size() > index; });
        if (log_.size() > index) {
            return log_[index];
        }
        return std::nullopt;
    }
    std::size_t transmissionCount() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_.size();
    }
    int silencesBeforeReady() override { return 0; }  // no silences on the real line
    bool realTime() const override { return true; }
    bool goneBeforeFrames() {
        std::lock_guard<std::mutex> lock(mutex_);
        return goneBeforeFrames_;
    }
    bool leftoverBytes() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return !pending_.empty();
    }

    // The target may still be sending the bytes before the 'X' while the tool has given up on
    // them.
    std::size_t readyPosition() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return readyAt_;
    }

private:
    void closeLine() {
        for (int* fd : {&master_, &in_, &out_}) {
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
        }
        if (!device_.empty()) {
            ::unlink((device_ + "/PIPE00").c_str());
            ::unlink((device_ + "/PIPE01").c_str());
            ::rmdir(device_.c_str());
            device_.clear();
        }
    }

    // The device unplugged: enumeration finds nothing and a write to PIPE00 finds no reader.
    void unplug() {
        ::close(in_);
        in_ = -1;
        ::unlink((device_ + "/PIPE00").c_str());
        ::unlink((device_ + "/PIPE01").c_str());
        ::rmdir(device_.c_str());
        device_.clear();
    }

    int readFd() const { return options_.usb ? in_ : master_; }
    int writeFd() const { return options_.usb ? out_ : master_; }

    void pause(int us) {
        us = std::min(us, kMaxPauseUsTotal - pausedUs_);
        if (us > 0) {
            pausedUs_ += us;
            std::this_thread::sleep_for(std::chrono::microseconds(us));
        }
    }

    void send(const std::uint8_t* bytes, std::size_t count) {
        while (count > 0) {
            const ssize_t n = ::write(writeFd(), bytes, count);
            if (n > 0) {
                bytes += n;
                count -= static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EAGAIN) {
                if (!waitFor(writeFd(), POLLOUT)) {
                    return;
                }
            } else {
                return;  // the tool has let go of the line
            }
        }
    }

    // Waits for `events` on fd or for stop(). False on stop.
    bool waitFor(int fd, short events) {
        pollfd fds[2] = {{stopFd_, POLLIN, 0}, {fd, events, 0}};
        for (;;) {
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
                return false;
            }
            if (fds[0].revents != 0) {
                return false;
            }
            if (fds[1].revents != 0) {
                return true;
            }
        }
    }

    // Reads until `count` bytes are pending or stop(). After stop() it takes what is already
    // there, so that a frame written just before is still seen.
    bool fill(std::size_t count) {
        std::uint8_t buffer[1024];
        bool stopping = false;
        while (pending_.size() < count) {
            const ssize_t n = ::read(readFd(), buffer, sizeof buffer);
            if (n > 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                pending_.insert(pending_.end(), buffer, buffer + n);
                continue;
            }
            if (n < 0 && errno != EAGAIN) {
                return false;  // serial: no opener; treated like silence
            }
            if (stopping) {
                return false;
            }
            pollfd fds[2] = {{stopFd_, POLLIN, 0}, {readFd(), POLLIN, 0}};
            ::poll(fds, 2, 200);
            if (fds[0].revents != 0) {
                // Stopped: one more look, with a short grace for bytes still on their way.
                pollfd last{readFd(), POLLIN, 0};
                ::poll(&last, 1, 2);
                stopping = true;
            }
        }
        return true;
    }

    std::optional<Record> nextRecord() {
        if (next_ < records_.size()) {
            return records_[next_++];
        }
        return std::nullopt;
    }

    void log(Transmission t) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            log_.push_back(std::move(t));
        }
        changed_.notify_all();
    }

    // Before the 'X': chunks and pauses until the 'X' is out or the line is dropped.
    bool announce() {
        for (;;) {
            const auto record = nextRecord();
            if (!record || record->kind == RecordKind::Drop) {
                if (options_.usb) {
                    // Five filler bytes: every connect pass reads one at once.
                    const std::vector<std::uint8_t> filler(5, 0);
                    readyStream_.insert(readyStream_.end(), filler.begin(), filler.end());
                    send(filler.data(), filler.size());
                    unplug();
                } else {
                    ::close(master_);
                    master_ = -1;
                }
                std::lock_guard<std::mutex> lock(mutex_);
                goneBeforeFrames_ = true;
                return false;
            }
            if (record->kind == RecordKind::Pause) {
                pause(record->pauseUs);
                continue;
            }
            auto bytes = record->bytes;
            const auto x = std::find(bytes.begin(), bytes.end(), kAnswerAccepted);
            const bool ready = x != bytes.end();
            if (ready) {
                bytes.erase(x + 1, bytes.end());
                std::lock_guard<std::mutex> lock(mutex_);
                readyAt_ = readyStream_.size() + bytes.size() - 1;
            }
            readyStream_.insert(readyStream_.end(), bytes.begin(), bytes.end());
            send(bytes.data(), bytes.size());
            if (ready) {
                return true;
            }
        }
    }

    void run() {
        if (!announce()) {
            return;
        }
        if (!options_.usb) {
            // The host's 'H' comes first on the serial line.
            if (!fill(1)) {
                return;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            handshake_ = pending_.front();
            pending_.erase(pending_.begin());
            FUZZ_CHECK(handshake_ == kHandshakeReply);
        }
        for (;;) {
            if (!fill(frameLength_)) {
                return;
            }
            Transmission t;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                t.bytes.assign(pending_.begin(), pending_.begin() + frameLength_);
                pending_.erase(pending_.begin(), pending_.begin() + frameLength_);
            }
            // The records up to the answer.
            std::vector<std::uint8_t> answer{kAnswerAccepted};
            bool drop = false;
            for (;;) {
                const auto record = nextRecord();
                if (!record) {
                    break;
                }
                if (record->kind == RecordKind::Pause) {
                    pause(record->pauseUs);
                    continue;
                }
                if (record->kind == RecordKind::Drop) {
                    drop = true;
                    if (!options_.usb) {
                        break;
                    }
                    continue;
                }
                answer = record->bytes;
                break;
            }
            if (drop && !options_.usb) {
                // Serial: the line goes with the frame unanswered.
                ::close(master_);
                master_ = -1;
                t.goneAfter = true;
                log(std::move(t));
                return;
            }
            if (options_.usb) {
                answer.resize(1);
            }
            if (drop) {
                unplug();  // USB: gone before the answer is read
            }
            t.answer = answer.front();
            t.goneAfter = drop;
            send(answer.data(), answer.size());  // one write: the serial purge takes the rest
            log(std::move(t));
            if (drop) {
                return;
            }
        }
    }

    Options options_;
    std::vector<Record> records_;
    std::size_t next_ = 0;
    std::string root_;
    std::string device_;
    std::uint32_t frameLength_ = 0;
    int master_ = -1;
    int in_ = -1;
    int out_ = -1;
    int stopFd_ = -1;
    int pausedUs_ = 0;
    int handshake_ = -1;
    std::thread thread_;
    // Every byte sent before the line went or the frames began (the target thread's own).
    std::vector<std::uint8_t> readyStream_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Transmission> log_;
    std::vector<std::uint8_t> pending_;
    std::size_t readyAt_ = std::string::npos;
    bool goneBeforeFrames_ = false;
};

std::string root;
std::string imageFile;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::signal(SIGPIPE, SIG_IGN);
    root = fuzz::scratchFolder("answers");
    imageFile = root + "/fw.bin";
    setDeviceRoot(root);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return -1;
    }
    const Options o = parseOptions(data);
    const std::vector<std::uint8_t> image = imageOf(o);
    {
        FILE* out = std::fopen(imageFile.c_str(), "wb");
        FUZZ_CHECK(out != nullptr);
        std::fwrite(image.data(), 1, image.size(), out);
        std::fclose(out);
    }

    ScriptedTarget target(o, parseRecords(data + 2, size - 2, /*silences=*/false), root);
    const std::string line = target.create();

    SettingsStore settings(root + "/tervan.ini");
    settings.readOnly = true;
    FuzzWindow window;
    // Held in static storage: the controller carries the 256 KiB image buffer.
    static std::optional<FuzzedDialog> dialog;
    // Real time-outs against the scripted target; the pauses between USB passes are skipped.
    static testing::SkippedPausesClock clock;
    dialog.emplace(settings, clock);
    DownloaderDialog& d = *dialog;
    SessionOptions chosen = d.session().options();
    chosen.interfaceKind = o.usb ? 0 : 1;
    chosen.targetModel = o.model;
    chosen.targetMemory = o.ram ? 1 : 0;
    d.session().configure(chosen);
    d.imagePath = imageFile;
    d.setWindow(&window);
    d.initWindow();
    FUZZ_CHECK(d.session().imageLength == o.length);
    if (!o.usb) {
        // The port is opened before the target starts talking: the purge at every open would
        // otherwise race the first bytes.
        chosen = d.session().options();
        chosen.comPortPath = line;
        d.session().configure(chosen);
        FUZZ_CHECK(d.session().serialLink.open(line.c_str(), kSerialBaudRate) == 1);
    }
    target.start();
    playAndCheck(o, image, d, window, target);
    d.windowDestroyed();
    dialog.reset();
    return 0;
}
