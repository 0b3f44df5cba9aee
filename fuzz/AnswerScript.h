// What the two answers targets share: the input's form (the tool's settings and the target's
// script), the model of what the tool must do with the target's answers, and the run of the
// whole tool (connect, download, command) checked against that model. The targets differ in
// the line: a real pseudo-terminal or FIFOs with the target on a thread, or a line in memory
// with the target played in step with the tool on a driven clock.
//
// Input:
//   byte 0  bit 0 USB (else serial), bit 1 RAM target, bit 2 the 256 KiB model (else 64 KiB),
//           bits 3-5 pages - 1, bit 6 send Reset (ROM) or Run RAM (RAM) afterwards
//   byte 1  how many bytes the last page lacks (modulo the page size)
//   then records:
//     0x00-0x7F  a chunk of (op + 1) bytes follows. Before the 'X' it is sent as it is (cut
//                after the first 'X'); after it, it answers the next frame (over USB only its
//                first byte: the loader answers one byte a frame)
//     0x80-0xBF  pause (op & 0x0F) x 200 us before the next send (10 ms in all at most). On
//                the line in memory, 0xB0-0xBF is silence instead: the target sends nothing for
//                one whole read time-out of the tool (before the 'X': one connect pass without
//                a byte; after it: the next frame goes unanswered, the line stays)
//     0xC0-0xFF  drop the line: serial, at the next frame, which gets no answer; USB, the
//                device is unplugged just before the next answer goes out
//   When the records run out, every further frame is answered 'X'; before the 'X' the line is
//   dropped instead (over USB after five filler bytes, so that no read waits for nothing).
//
// Checks: the tool's outcome (status line, message box, buttons, progress) is exactly what the
// target's answers call for, as worked out by a model of the sequences below; "Write
// successfull!" only when every page got its 'X'; no frame after a failure; every frame the
// target received is well formed and carries the right page; every handler returns quickly.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "app/DialogWindow.h"
#include "app/DownloaderDialog.h"
#include "fuzz/FuzzCheck.h"
#include "protocol/Frame.h"
#include "protocol/TargetSession.h"

namespace tervan::fuzz {

inline constexpr int kMaxPauseUsTotal = 10000;  // all pauses of one input together
inline constexpr int kHandlerLimitMs = 5000;    // a handler that takes longer hangs the user
inline constexpr int kReadTimeoutMs = 1000;     // the tool's shortest read time-out

struct Options {
    bool usb = false;
    bool ram = false;
    int model = 1;
    int pages = 1;
    bool command = false;
    std::uint32_t length = 0;
};

// The tool's side of the input (its first two bytes).
inline Options parseOptions(const std::uint8_t* data) {
    Options o;
    o.usb = (data[0] & 1) != 0;
    o.ram = (data[0] & 2) != 0;
    o.model = (data[0] & 4) != 0 ? 0 : 1;
    o.pages = ((data[0] >> 3) & 7) + 1;
    o.command = (data[0] & 0x40) != 0;
    const ModelParameters p = modelParameters(o.model);
    o.length = o.pages * p.pageSize - data[1] % p.pageSize;
    return o;
}

// The image the tool downloads: the same bytes for the same length, every byte non-zero.
inline std::vector<std::uint8_t> imageOf(const Options& o) {
    std::vector<std::uint8_t> image(o.length);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8) + 1);
    }
    return image;
}

enum class RecordKind { Chunk, Pause, Silence, Drop };
struct Record {
    RecordKind kind;
    std::vector<std::uint8_t> bytes;  // Chunk
    int pauseUs = 0;                  // Pause
};

// The target's script. `silences`: records 0xB0-0xBF are silences rather than pauses.
inline std::vector<Record> parseRecords(const std::uint8_t* data, std::size_t size, bool silences) {
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
        } else if (op >= 0xB0 && op < 0xC0 && silences) {
            records.push_back({RecordKind::Silence, {}});
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

// What the checks need to know of a scripted target.
class ScriptedLine {
public:
    virtual ~ScriptedLine() = default;
    // The transmission `index`, once the target has dealt with it; nothing when it never came.
    virtual std::optional<Transmission> transmission(std::size_t index) = 0;
    virtual std::size_t transmissionCount() = 0;
    // Where the 'X' stands among the bytes sent before the line went or the frames began
    // (npos: none, or not sent yet).
    virtual std::size_t readyPosition() = 0;
    // How many times the target kept silent before its 'X'.
    virtual int silencesBeforeReady() = 0;
    // Bytes of a frame the target took in but that never made a whole frame.
    virtual bool leftoverBytes() = 0;
    // Ends the target's part: nothing it receives afterwards is dealt with.
    virtual void stop() = 0;
    // Whether the tool's time-outs run on real time, so that a machine too busy to run the
    // target's thread in time can make a read time out.
    virtual bool realTime() const = 0;
};

inline const char* rejection(int answer) {
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
inline std::vector<std::uint8_t> expectedFrame(const Options& o,
                                               const std::vector<std::uint8_t>& image,
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
    ExpectedTool(const Options& o, ScriptedLine& target, const std::vector<std::uint8_t>& image)
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
    ScriptedLine& target_;
    const std::vector<std::uint8_t>& image_;
    std::size_t next_ = 0;
    bool gone_ = false;
};

// The controller as the fuzzers hold it (final: it is destroyed as what it is).
class FuzzedDialog final : public DownloaderDialog {
public:
    using DownloaderDialog::DownloaderDialog;
};

// The window the checks read: the status line, the message boxes, the beeps, the buttons and
// the progress. Flat and without a call log, as it is called for every byte the tool reads
// while it connects.
class FuzzWindow final : public DialogWindow {
public:
    FuzzWindow() { enabled_.fill(true); }

    void setControlText(int id, const std::string& text) override {
        if (std::string* field = textOf(id)) {
            *field = text;
        }
    }
    std::string controlText(int id) override {
        const std::string* field = textOf(id);
        return field != nullptr ? *field : std::string();
    }
    void setChecked(int id, bool state) override {
        if (inRange(id)) {
            checked_[slot(id)] = state;
        }
    }
    bool isChecked(int id) override { return inRange(id) && checked_[slot(id)]; }
    void selectListEntry(int, int index) override { comSelection_ = index; }
    int selectedListEntry(int) override { return comSelection_; }
    void enableControl(int id, bool state) override {
        if (inRange(id)) {
            enabled_[slot(id)] = state;
        }
    }
    bool isControlEnabled(int id) override { return inRange(id) && enabled_[slot(id)]; }
    void setProgressRange(std::uint16_t, std::uint16_t) override {}
    void setProgressPosition(std::int16_t value) override { position = value; }
    void messageBox(const std::string& text) override { boxes.push_back(text); }
    void beep(BeepKind kind) override { beeps.push_back(kind); }
    void setWaitCursor(bool on) override { waitDepth += on ? 1 : -1; }
    std::optional<std::string> chooseImageFile(const std::string&) override { return std::nullopt; }
    void endDialog(DialogResult) override {}
    void repaint() override {}

    // The six connection and action buttons, in the order Connect, Disconnect, Download,
    // Reset, Down to RAM, Run RAM: "1" enabled, "0" disabled.
    std::string buttonRow() {
        std::string row;
        for (const int id : {kConnectButton, kDisconnectButton, kDownloadButton, kResetButton,
                             kDownToRamButton, kRunRamButton}) {
            row += isControlEnabled(id) ? '1' : '0';
        }
        return row;
    }

    std::string status;
    std::vector<std::string> boxes;
    std::vector<BeepKind> beeps;
    std::int16_t position = 0;
    int waitDepth = 0;

private:
    // The dialog's controls other than the close button have ids kPathField and up.
    static constexpr int kSlots = kRamRadio - kPathField + 1;
    static bool inRange(int id) { return id >= kPathField && id <= kRamRadio; }
    static std::size_t slot(int id) { return static_cast<std::size_t>(id - kPathField); }
    std::string* textOf(int id) {
        switch (id) {
            case kStatusLine:
                return &status;
            case kPathField:
                return &path_;
            case kSizeLabel:
                return &size_;
            default:
                return nullptr;
        }
    }

    std::string path_;
    std::string size_;
    std::array<bool, kSlots> checked_{};
    std::array<bool, kSlots> enabled_{};
    int comSelection_ = -1;
};

// How long the threads of this process have waited, ready to run, for a CPU: the kernel's
// scheduler statistics, summed over the threads (0 where the kernel keeps none).
inline long long waitedForCpuMs() {
    long long ns = 0;
    std::error_code ignored;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ignored)) {
        std::ifstream in(task.path() / "schedstat");
        long long running = 0;
        long long waiting = 0;
        if (in >> running >> waiting) {
            ns += waiting;
        }
    }
    return ns / 1000000;
}

// How one handler went: its time on the wall, and how much of that the process's threads
// spent waiting for a CPU (a long run beside other work, at a low priority).
struct HandlerTime {
    long long tookMs = 0;
    long long starvedMs = 0;
};

// Runs one handler and checks that it returns in time: the time the machine kept the process
// waiting does not count.
inline HandlerTime timed(DownloaderDialog& dialog, int control) {
    const long long waitedBefore = waitedForCpuMs();
    const auto started = std::chrono::steady_clock::now();
    dialog.controlClicked(control);
    HandlerTime time;
    time.tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - started)
                      .count();
    time.starvedMs = waitedForCpuMs() - waitedBefore;
    if (time.tookMs - time.starvedMs > kHandlerLimitMs) {
        std::fprintf(stderr, "handler %d took %lld ms (%lld ms of them waiting for a CPU)\n",
                     control, time.tookMs, time.starvedMs);
        std::abort();
    }
    return time;
}

// On a real line the script never leaves the tool waiting, so a handler that took a read
// time-out's length saw a read time out. When the process waited for a CPU for a good part of
// that time, the target's thread may not have run in time: the outcome then depends on the
// scheduler, not on the script, and is counted and not checked. Otherwise it is checked: a
// read that timed out with the target's answer there is a fault.
inline bool starved(const HandlerTime& time, ScriptedLine& target) {
    if (!target.realTime() || time.tookMs < kReadTimeoutMs || time.starvedMs < kReadTimeoutMs / 2) {
        return false;
    }
    static long count = 0;
    std::fprintf(stderr,
                 "a read timed out while the machine kept the target waiting %lld ms: outcome "
                 "not checked (%ld so far)\n",
                 time.starvedMs, ++count);
    target.stop();
    return true;
}

// Connects, downloads and sends the command as a user would, with the target already
// playing its script, and checks every outcome against the model. Stops the target.
inline void playAndCheck(const Options& o, const std::vector<std::uint8_t>& image,
                         DownloaderDialog& d, FuzzWindow& window, ScriptedLine& target) {
    const ModelParameters p = modelParameters(o.model);

    // Connect.
    if (starved(timed(d, kConnectButton), target)) {
        return;
    }
    const std::string connectStatus = window.status;
    const bool connected = connectStatus == "Connected";
    FUZZ_CHECK(window.boxes.empty());
    {
        // Over the serial line every byte before the 'X' is a stray one, up to 500, and each
        // silence uses up one of the five passes; over USB each pass reads one byte or waits
        // out one silence.
        const std::size_t readyAt = target.readyPosition();
        const auto silences = static_cast<std::size_t>(target.silencesBeforeReady());
        const bool expectConnected =
            readyAt != std::string::npos &&
            (o.usb ? readyAt + silences < static_cast<std::size_t>(kConnectSeconds)
                   : readyAt <= static_cast<std::size_t>(kMaxStrayBytes) &&
                         silences < static_cast<std::size_t>(kConnectSeconds));
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
        return;
    }
    FUZZ_CHECK(window.buttonRow() == connectedRow);

    // Download.
    ExpectedTool expected(o, target, image);
    window.beeps.clear();
    if (starved(timed(d, o.ram ? kDownToRamButton : kDownloadButton), target)) {
        return;
    }
    std::optional<std::string> failure;
    int accepted = 0;
    for (int block = 0; block < o.pages && !failure; ++block) {
        failure = expected.send(o.ram ? kCommandRam : kCommandWrite,
                                static_cast<std::uint16_t>(block), true);
        accepted += failure ? 0 : 1;
    }
    if (failure) {
        FUZZ_CHECK(window.boxes == std::vector<std::string>{*failure});
        FUZZ_CHECK(window.status == "Error while flashing");
        FUZZ_CHECK(window.beeps.empty());
        FUZZ_CHECK(window.position == accepted);
    } else {
        FUZZ_CHECK(window.boxes.empty());
        FUZZ_CHECK(window.status == "Write successfull!");
        FUZZ_CHECK(window.beeps == std::vector<BeepKind>{BeepKind::Default});
        FUZZ_CHECK(window.position == static_cast<int>(o.length / p.pageSize));
    }
    FUZZ_CHECK(window.buttonRow() == connectedRow);

    // Reset or Run RAM.
    if (o.command) {
        window.boxes.clear();
        const std::string statusBefore = window.status;
        if (starved(timed(d, o.ram ? kRunRamButton : kResetButton), target)) {
            return;
        }
        const auto commandFailure =
            expected.send(o.ram ? kCommandGo : kCommandReset, 0, /*answered=*/o.usb);
        if (commandFailure) {
            FUZZ_CHECK(window.boxes == std::vector<std::string>{*commandFailure});
            FUZZ_CHECK(window.status == statusBefore);
            FUZZ_CHECK(window.buttonRow() == connectedRow);
        } else {
            FUZZ_CHECK(window.boxes.empty());
            FUZZ_CHECK(window.status == "Disconnected");
            FUZZ_CHECK(window.buttonRow() == "100000");
        }
    }

    // No frame after the last one the sequences call for.
    target.stop();
    FUZZ_CHECK(target.transmissionCount() == expected.sent());
    FUZZ_CHECK(!target.leftoverBytes());
    FUZZ_CHECK(window.waitDepth == 0);
}

}  // namespace tervan::fuzz
