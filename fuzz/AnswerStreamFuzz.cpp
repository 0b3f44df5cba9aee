// Fuzz target: the byte stream the tool reads while it connects, downloads and sends a command.
//
// The whole tool (DownloaderDialog behind a recording window) runs against a scripted target
// on a real pseudo-terminal (serial) or on real FIFOs in a USB device folder. A thread plays
// the target from the fuzz input: it sends the bytes before the 'X' in chunks with short
// pauses, answers every frame the tool writes with the script's next chunk, and takes the
// line away where the script says so.
//
// Input:
//   byte 0  bit 0 USB (else serial), bit 1 RAM target, bit 2 the 256 KiB model (else 64 KiB),
//           bits 3-5 pages - 1, bit 6 send Reset (ROM) or Run RAM (RAM) afterwards
//   byte 1  how many bytes the last page lacks (modulo the page size)
//   then records:
//     0x00-0x7F  a chunk of (op + 1) bytes follows. Before the 'X' it is sent as it is (cut
//                after the first 'X'); after it, it answers the next frame (over USB only its
//                first byte: the loader answers one byte a frame)
//     0x80-0xBF  pause (op & 0x0F) x 200 us before the next send (10 ms in all at most)
//     0xC0-0xFF  drop the line: serial, at the next frame, which gets no answer; USB, the
//                device is unplugged just before the next answer goes out
//   When the records run out, every further frame is answered 'X'; before the 'X' the line is
//   dropped instead (over USB after five filler bytes, so that no read waits for nothing).
//
// Checks: the tool's outcome (status line, message box, buttons, progress) is exactly what the
// target's answers call for, as worked out by a model of the sequences below; "Write
// successfull!" only when every page got its 'X'; no frame after a failure; every frame the
// target received is well formed and carries the right page; every handler returns quickly
// (no read time-out is ever due, since the script never leaves the tool waiting).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
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
#include "fuzz/FuzzCheck.h"
#include "link/SystemPaths.h"
#include "link/UsbPipeLink.h"
#include "link/posix/UsbFolders.h"
#include "protocol/Frame.h"
#include "support/DrivenClock.h"
#include "support/RecordingWindow.h"

using namespace tervan;
using WallClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

constexpr int kMaxPauseUsTotal = 10000;  // all pauses of one input together
constexpr int kHandlerLimitMs = 5000;    // a handler that takes longer hangs the user
constexpr int kLogWaitMs = 3000;         // how long a check waits for a frame to reach the target

struct Options {
    bool usb = false;
    bool ram = false;
    int model = 1;
    int pages = 1;
    bool command = false;
    std::uint32_t length = 0;
};

enum class RecordKind { Chunk, Pause, Drop };
struct Record {
    RecordKind kind;
    std::vector<std::uint8_t> bytes;  // Chunk
    int pauseUs = 0;                  // Pause
};

std::vector<Record> parseRecords(const std::uint8_t* data, std::size_t size) {
    std::vector<Record> records;
    std::size_t at = 0;
    while (at < size) {
        const std::uint8_t op = data[at++];
        if (op < 0x80) {
            const std::size_t n = std::min<std::size_t>(op + 1u, size - at);
            if (n == 0) {
                break;
            }
            records.push_back({RecordKind::Chunk, {data + at, data + at + n}});
            at += n;
        } else if (op < 0xC0) {
            records.push_back({RecordKind::Pause, {}, (op & 0x0F) * 200});
        } else {
            records.push_back({RecordKind::Drop, {}});
        }
    }
    return records;
}

// One transmission the target took in, and what it did about it.
struct Transmission {
    std::vector<std::uint8_t> bytes;
    int answer = -1;         // the first byte of the answer, -1 for none
    bool goneAfter = false;  // the line was gone once this transmission had been dealt with
};

// The scripted target. Everything it saw and did goes into the log, guarded by `mutex`.
class ScriptedTarget {
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

    void stop() {
        if (thread_.joinable()) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(stopFd_, &one, sizeof one);
            thread_.join();
        }
    }

    // The log entry `index`, once the target has dealt with it (or nothing after kLogWaitMs).
    std::optional<Transmission> transmission(std::size_t index) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, milliseconds(kLogWaitMs), [&] { return log_.size() > index; });
        if (log_.size() > index) {
            return log_[index];
        }
        return std::nullopt;
    }
    std::size_t transmissionCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_.size();
    }
    bool goneBeforeFrames() {
        std::lock_guard<std::mutex> lock(mutex_);
        return goneBeforeFrames_;
    }
    bool leftoverBytes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return !pending_.empty();
    }

    // Where the 'X' stands among the bytes sent before the line went or the frames began
    // (npos: none, or not sent yet). The target may still be sending those bytes while the
    // tool has given up on them.
    std::size_t readyPosition() {
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

const char* rejection(int answer) {
    switch (answer) {
        case kAnswerCrcError:
            return "CRC error!";
        case kAnswerVerifyError:
            return "Verify error!";
        default:
            return "Unknown Answer!";
    }
}

// The frame the tool must send for `block` of `command` ('W', 'M': a page of the image; 'R',
// 'G': no data).
std::vector<std::uint8_t> expectedFrame(const Options& o, const std::vector<std::uint8_t>& image,
                                        std::uint8_t command, std::uint16_t block) {
    const ModelParameters p = modelParameters(o.model);
    std::vector<std::uint8_t> frame(p.frameLength);
    const bool data = command == kCommandWrite || command == kCommandRam;
    const std::size_t from = static_cast<std::size_t>(block) * p.pageSize;
    const std::size_t count = data ? std::min<std::size_t>(p.pageSize, image.size() - from) : 0;
    buildFrame(frame.data(), p, command, block, data ? image.data() + from : nullptr, count);
    return frame;
}

// What the tool must do with one frame, given what the target did: the sequences of the
// download loop and of the two commands, worked out from the log.
class ExpectedTool {
public:
    ExpectedTool(const Options& o, ScriptedTarget& target, const std::vector<std::uint8_t>& image)
        : o_(o), target_(target), image_(image) {}

    // Sends one frame as the tool does. Empty on success, else the message box's text.
    std::optional<std::string> send(std::uint8_t command, std::uint16_t block, bool answered) {
        const auto frame = expectedFrame(o_, image_, command, block);
        for (int attempts = 3;;) {
            if (gone_) {
                return std::string("Error while sending data!");  // nothing reaches the target
            }
            const auto t = target_.transmission(next_++);
            FUZZ_CHECK(t.has_value());  // the frame never reached the target
            FUZZ_CHECK(t->bytes == frame);
            gone_ = t->goneAfter;
            if (!answered) {
                return std::nullopt;  // serial 'R' and 'G': no answer is read
            }
            if (t->answer < 0) {
                return std::string("No Answer from device!");
            }
            if (t->answer == kAnswerAccepted) {
                return std::nullopt;
            }
            if (!o_.usb || --attempts == 0) {
                return std::string(rejection(t->answer));
            }
        }
    }

    std::size_t sent() const { return next_; }

private:
    const Options& o_;
    ScriptedTarget& target_;
    const std::vector<std::uint8_t>& image_;
    std::size_t next_ = 0;
    bool gone_ = false;
};

std::string root;
std::string imageFile;

// The controller as the fuzzer holds it (final: it is destroyed as what it is).
class FuzzedDialog final : public DownloaderDialog {
public:
    using DownloaderDialog::DownloaderDialog;
};

// Runs one handler and checks that it returns in time.
void timed(DownloaderDialog& dialog, int control) {
    const auto started = WallClock::now();
    dialog.controlClicked(control);
    const auto took = std::chrono::duration_cast<milliseconds>(WallClock::now() - started);
    if (took.count() > kHandlerLimitMs) {
        std::fprintf(stderr, "handler %d took %lld ms\n", control,
                     static_cast<long long>(took.count()));
        std::abort();
    }
}

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
    Options o;
    o.usb = (data[0] & 1) != 0;
    o.ram = (data[0] & 2) != 0;
    o.model = (data[0] & 4) != 0 ? 0 : 1;
    o.pages = ((data[0] >> 3) & 7) + 1;
    o.command = (data[0] & 0x40) != 0;
    const ModelParameters p = modelParameters(o.model);
    o.length = o.pages * p.pageSize - data[1] % p.pageSize;

    std::vector<std::uint8_t> image(o.length);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8) + 1);
    }
    {
        FILE* out = std::fopen(imageFile.c_str(), "wb");
        FUZZ_CHECK(out != nullptr);
        std::fwrite(image.data(), 1, image.size(), out);
        std::fclose(out);
    }

    ScriptedTarget target(o, parseRecords(data + 2, size - 2), root);
    const std::string line = target.create();

    SettingsStore settings(root + "/tervan.ini");
    settings.readOnly = true;
    testing::RecordingWindow window;
    // Held in static storage: the controller carries the 256 KiB image buffer.
    static std::optional<FuzzedDialog> dialog;
    // Real time-outs against the scripted target; the pauses between USB passes are skipped.
    static testing::SkippedPausesClock clock;
    dialog.emplace(settings, clock);
    DownloaderDialog& d = *dialog;
    d.session().interfaceKind = o.usb ? 0 : 1;
    d.session().targetModel = o.model;
    d.session().targetMemory = o.ram ? 1 : 0;
    d.imagePath = imageFile;
    d.setWindow(&window);
    d.initWindow();
    FUZZ_CHECK(d.session().imageLength == o.length);
    if (!o.usb) {
        // The port is opened before the target starts talking: the purge at every open would
        // otherwise race the first bytes.
        d.session().comPortPath = line;
        FUZZ_CHECK(d.session().serialLink.open(line.c_str(), kSerialBaudRate) == 1);
    }
    target.start();

    // Connect.
    timed(d, kConnectButton);
    const std::string connectStatus = window.texts[kStatusLine];
    const bool connected = connectStatus == "Connected";
    FUZZ_CHECK(window.boxes.empty());
    {
        // Over the serial line every byte before the 'X' is a stray one, up to 500; over USB
        // each of the five passes reads one byte.
        const std::size_t limit = o.usb ? 4 : static_cast<std::size_t>(kMaxStrayBytes);
        const std::size_t readyAt = target.readyPosition();
        const bool expectConnected = readyAt != std::string::npos && readyAt <= limit;
        FUZZ_CHECK(connected == expectConnected);
    }
    const std::string connectedRow = o.ram ? "010011" : "011100";
    if (!connected) {
        FUZZ_CHECK(connectStatus == "Timeout. No Answer from device!");
        FUZZ_CHECK(window.buttonRow() == "100000");
        FUZZ_CHECK(window.beeps == std::vector<BeepKind>{BeepKind::Exclamation});
        // Nothing to download to.
        timed(d, o.ram ? kDownToRamButton : kDownloadButton);
        FUZZ_CHECK(window.boxes == std::vector<std::string>{"Not connected!"});
        target.stop();
        FUZZ_CHECK(target.transmissionCount() == 0);
        d.windowDestroyed();
        dialog.reset();
        return 0;
    }
    FUZZ_CHECK(window.buttonRow() == connectedRow);

    // Download.
    ExpectedTool expected(o, target, image);
    window.beeps.clear();
    timed(d, o.ram ? kDownToRamButton : kDownloadButton);
    std::optional<std::string> failure;
    int accepted = 0;
    for (int block = 0; block < o.pages && !failure; ++block) {
        failure = expected.send(o.ram ? kCommandRam : kCommandWrite,
                                static_cast<std::uint16_t>(block), true);
        accepted += failure ? 0 : 1;
    }
    if (failure) {
        FUZZ_CHECK(window.boxes == std::vector<std::string>{*failure});
        FUZZ_CHECK(window.texts[kStatusLine] == "Error while flashing");
        FUZZ_CHECK(window.beeps.empty());
        FUZZ_CHECK(window.position == accepted);
    } else {
        FUZZ_CHECK(window.boxes.empty());
        FUZZ_CHECK(window.texts[kStatusLine] == "Write successfull!");
        FUZZ_CHECK(window.beeps == std::vector<BeepKind>{BeepKind::Default});
        FUZZ_CHECK(window.position == static_cast<int>(o.length / p.pageSize));
    }
    FUZZ_CHECK(window.buttonRow() == connectedRow);

    // Reset or Run RAM.
    if (o.command) {
        window.boxes.clear();
        const std::string statusBefore = window.texts[kStatusLine];
        timed(d, o.ram ? kRunRamButton : kResetButton);
        const auto commandFailure =
            expected.send(o.ram ? kCommandGo : kCommandReset, 0, /*answered=*/o.usb);
        if (commandFailure) {
            FUZZ_CHECK(window.boxes == std::vector<std::string>{*commandFailure});
            FUZZ_CHECK(window.texts[kStatusLine] == statusBefore);
            FUZZ_CHECK(window.buttonRow() == connectedRow);
        } else {
            FUZZ_CHECK(window.boxes.empty());
            FUZZ_CHECK(window.texts[kStatusLine] == "Disconnected");
            FUZZ_CHECK(window.buttonRow() == "100000");
        }
    }

    // No frame after the last one the sequences call for.
    target.stop();
    FUZZ_CHECK(target.transmissionCount() == expected.sent());
    FUZZ_CHECK(!target.leftoverBytes());
    FUZZ_CHECK(window.waitDepth == 0);
    d.windowDestroyed();
    dialog.reset();
    return 0;
}
