// Fuzz target: the byte stream the tool reads while it connects, downloads and sends a command,
// over a line in memory.
//
// The same tool as in AnswerStreamFuzz.cpp (DownloaderDialog and its session behind a window
// that keeps what the checks read) and the same input and checks (AnswerScript.h), but no
// kernel and no thread. This file defines the OS services of the serial port, the USB pipes,
// the device discovery and the image file itself, so the linker takes them from here and never
// pulls in the platform's files (a service missing here would bring its whole file in and fail
// the link on the duplicates). The target plays its script in step with the tool: it sends its
// next chunk when the tool reads and finds nothing, and answers a frame as soon as the frame is
// whole. Every time-out runs on a driven clock, so a silent target costs nothing: the script
// can leave the tool waiting, which the real-line target cannot afford.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "app/ImageFile.h"
#include "fuzz/AnswerScript.h"
#include "link/PipeFile.h"
#include "link/SerialPort.h"
#include "link/UsbFolders.h"
#include "link/UsbPipeLink.h"
#include "support/DrivenClock.h"

using namespace tervan;
using namespace tervan::fuzz;

namespace {

// The read time-outs of the platform's services: serial 1000 ms plus 1 ms a byte, a pipe
// 1000 ms.
constexpr Clock::Duration kReadTimeout{1000};
constexpr const char* kDevicePath = "memory/target0";
constexpr PlatformHandle kSerialHandle = 3;
constexpr PlatformHandle kReadPipeHandle = 4;
constexpr PlatformHandle kWritePipeHandle = 5;

// The target and the line between it and the tool.
class MemoryTarget final : public ScriptedLine {
public:
    MemoryTarget(const Options& options, std::vector<Record> records)
        : options_(options),
          records_(std::move(records)),
          frameLength_(modelParameters(options.model).frameLength) {}

    // ---- the tool's side, through the OS services below ----

    bool present() const { return !gone_; }

    // Takes up to `length` bytes the target has sent, letting it send its next chunk when
    // nothing waits. Nothing comes when the target keeps silent, waits for a frame or is gone.
    std::uint32_t take(std::uint8_t* buffer, std::uint32_t length) {
        if (taken_ == toTool_.size() && !stopped_) {
            announce();
        }
        const auto n =
            static_cast<std::uint32_t>(std::min<std::size_t>(length, toTool_.size() - taken_));
        std::copy_n(toTool_.begin() + static_cast<std::ptrdiff_t>(taken_), n, buffer);
        taken_ += n;
        return n;
    }
    void discard() { taken_ = toTool_.size(); }
    // The target takes in what the tool wrote and answers every whole frame.
    void receive(const std::uint8_t* bytes, std::uint32_t length) {
        if (stopped_) {
            return;
        }
        fromTool_.insert(fromTool_.end(), bytes, bytes + length);
        if (phase_ == Phase::Handshake && !fromTool_.empty()) {
            // The host's 'H' comes first on the serial line.
            FUZZ_CHECK(fromTool_.front() == kHandshakeReply);
            fromTool_.erase(fromTool_.begin());
            phase_ = Phase::Frames;
        }
        while (phase_ == Phase::Frames && !gone_ && fromTool_.size() >= frameLength_) {
            answerFrame();
        }
    }

    // ---- ScriptedLine ----

    std::optional<Transmission> transmission(std::size_t index) override {
        if (index < log_.size()) {
            return log_[index];
        }
        return std::nullopt;
    }
    std::size_t transmissionCount() override { return log_.size(); }
    std::size_t readyPosition() override { return readyAt_; }
    int silencesBeforeReady() override { return silencesBeforeReady_; }
    bool leftoverBytes() override { return !fromTool_.empty(); }
    void stop() override { stopped_ = true; }
    bool realTime() const override { return false; }

private:
    enum class Phase { Announce, Handshake, Frames };

    std::optional<Record> nextRecord() {
        if (next_ < records_.size()) {
            return records_[next_++];
        }
        return std::nullopt;
    }

    // Before the 'X': the next chunk, a silence, or the line dropped.
    void announce() {
        while (phase_ == Phase::Announce && !gone_) {
            const auto record = nextRecord();
            if (!record || record->kind == RecordKind::Drop) {
                if (options_.usb) {
                    // Five filler bytes: every connect pass reads one at once.
                    sent_ += 5;
                    toTool_.insert(toTool_.end(), 5, 0);
                }
                gone_ = true;
                return;
            }
            if (record->kind == RecordKind::Pause) {
                continue;
            }
            if (record->kind == RecordKind::Silence) {
                ++silencesBeforeReady_;
                return;
            }
            auto bytes = record->bytes;
            const auto x = std::find(bytes.begin(), bytes.end(), kAnswerAccepted);
            if (x != bytes.end()) {
                bytes.erase(x + 1, bytes.end());
                readyAt_ = sent_ + bytes.size() - 1;
                phase_ = options_.usb ? Phase::Frames : Phase::Handshake;
            }
            sent_ += bytes.size();
            toTool_.insert(toTool_.end(), bytes.begin(), bytes.end());
            return;
        }
    }

    void answerFrame() {
        Transmission t;
        t.bytes.assign(fromTool_.begin(), fromTool_.begin() + frameLength_);
        fromTool_.erase(fromTool_.begin(), fromTool_.begin() + frameLength_);
        // The records up to the answer.
        std::vector<std::uint8_t> answer{kAnswerAccepted};
        bool drop = false;
        bool silent = false;
        while (const auto record = nextRecord()) {
            if (record->kind == RecordKind::Pause) {
                continue;
            }
            if (record->kind == RecordKind::Silence) {
                silent = true;
                break;
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
        if (drop) {
            // Serial: the line goes with the frame unanswered. USB: the device goes just
            // before its answer; the answer still reaches the pipe the tool holds open.
            gone_ = true;
            t.goneAfter = true;
            silent = silent || !options_.usb;
        }
        if (!silent) {
            if (options_.usb) {
                answer.resize(1);
            }
            t.answer = answer.front();
            toTool_.insert(toTool_.end(), answer.begin(), answer.end());
        }
        log_.push_back(std::move(t));
    }

    Options options_;
    std::vector<Record> records_;
    std::size_t next_ = 0;
    std::uint32_t frameLength_ = 0;
    Phase phase_ = Phase::Announce;
    bool gone_ = false;
    bool stopped_ = false;
    std::vector<std::uint8_t> toTool_;  // sent to the tool; it has read the first taken_
    std::size_t taken_ = 0;
    std::vector<std::uint8_t> fromTool_;
    std::size_t sent_ = 0;  // bytes sent before the 'X', the 'X' included
    std::size_t readyAt_ = std::string::npos;
    int silencesBeforeReady_ = 0;
    std::vector<Transmission> log_;
};

MemoryTarget* target = nullptr;  // the target of the input being run
constexpr const char* kImagePath = "memory/fw.bin";
constexpr PlatformHandle kImageHandle = 6;
std::vector<std::uint8_t> imageBytes;  // the image file of the input being run

// A wait for bytes that do not come: the clock's time moves on by all of `limit`.
void waitOut(Clock& clock, Clock::Duration limit) {
    clock.wait(limit, [](Clock::Duration) { return 0; });
}

}  // namespace

// ---- the OS services, in memory ----

namespace tervan {

std::string usbClassFolder(const std::string& root) {
    return root + "/usb/" + kUsbInterfaceClass;
}

int enumerateUsbDevices(UsbDevicePaths& pathsOut) {
    pathsOut.clear();
    if (target != nullptr && target->present()) {
        pathsOut.push_back(kDevicePath);
    }
    return static_cast<int>(pathsOut.size());
}

}  // namespace tervan

namespace tervan::os {

std::string resolveSerialPath(const char* path) {
    return path != nullptr ? path : "";
}

PlatformHandle serialOpen(const char*, int* error) {
    if (target == nullptr || !target->present()) {
        *error = kErrorNotFound;
        return kInvalidHandle;
    }
    *error = 0;
    return kSerialHandle;
}
void serialClose(PlatformHandle) {}
SavedLine serialSaveLine(PlatformHandle) {
    return {};
}
void serialRestoreLine(PlatformHandle, const SavedLine&) {}
// A line in memory has no adapter and so no latency timer to lower.
AdapterLatency serialLowerLatency(PlatformHandle, const char*) {
    return {};
}
void serialRestoreLatency(PlatformHandle, const AdapterLatency&) {}
AdapterLatency adapterLatencyOf(const char*) {
    return {};
}
bool serialSetTimeouts(PlatformHandle) {
    return true;
}
bool serialGetLine(PlatformHandle, SerialLineSettings* settings) {
    *settings = SerialLineSettings{};
    return true;
}
bool serialSetLine(PlatformHandle, const SerialLineSettings&) {
    return true;
}
bool serialSetupQueues(PlatformHandle, std::uint32_t, std::uint32_t) {
    return true;
}
bool serialPurge(PlatformHandle handle) {
    if (handle != kSerialHandle) {
        return false;
    }
    target->discard();
    return true;
}
void serialClearErrors(PlatformHandle) {}

// Every byte that came, or what there is once the time-out has run out; a line that hung up
// fails with EIO, as a pseudo-terminal without its master does.
LinkResult serialRead(PlatformHandle, void* buffer, std::uint32_t length, Clock& clock) {
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    LinkResult result;
    while (result.count < length) {
        if (!target->present()) {
            result.error = EIO;
            return result;
        }
        const std::uint32_t n = target->take(bytes + result.count, length - result.count);
        if (n == 0) {
            waitOut(clock, kReadTimeout + Clock::Duration(length));
            return result;
        }
        result.count += n;
    }
    return result;
}

// The session never reads this way; the link's monitor call links against it.
LinkResult serialReadSome(PlatformHandle handle, void* buffer, std::uint32_t length,
                          Clock::Duration, Clock& clock) {
    return serialRead(handle, buffer, length, clock);
}

LinkResult serialWrite(PlatformHandle, const void* buffer, std::uint32_t length, Clock&) {
    if (!target->present()) {
        return {0, EIO};
    }
    target->receive(static_cast<const std::uint8_t*>(buffer), length);
    return {length, 0};
}

PlatformHandle pipeOpen(const char* path, PipeSide side, int* error) {
    const std::string expected =
        std::string(kDevicePath) + (side == PipeSide::Read ? kReadPipeName : kWritePipeName);
    if (target == nullptr || !target->present() || path == nullptr || expected != path) {
        *error = ENOENT;
        return kInvalidHandle;
    }
    return side == PipeSide::Read ? kReadPipeHandle : kWritePipeHandle;
}
void pipeClose(PlatformHandle) {}

// What is there, up to length; a pipe that stays silent fails once its time-out has run out.
// The pipe the tool reads keeps what came also after the device went.
LinkResult pipeRead(PlatformHandle, void* buffer, std::uint32_t length, Clock& clock) {
    const std::uint32_t n = target->take(static_cast<std::uint8_t*>(buffer), length);
    if (n == 0) {
        waitOut(clock, kReadTimeout);
        return {0, kErrorTimedOut};
    }
    return {n, 0};
}

// A device that went away has no reader: EPIPE.
LinkResult pipeWrite(PlatformHandle, const void* buffer, std::uint32_t length, Clock&) {
    if (!target->present()) {
        return {0, EPIPE};
    }
    target->receive(static_cast<const std::uint8_t*>(buffer), length);
    return {length, 0};
}
void pipeDiscard(PlatformHandle) {
    target->discard();
}

// The image file: one file that nothing changes while it is read.
PlatformHandle openImageFile(const std::string& path, std::optional<ImageWriter>* writer) {
    if (writer != nullptr) {
        writer->reset();
    }
    return path == kImagePath ? kImageHandle : kInvalidHandle;
}
bool imageFileInfo(PlatformHandle, ImageFileInfo* info) {
    info->size = imageBytes.size();
    info->modified = 1;
    return true;
}
std::int64_t readImageFile(PlatformHandle, void* buffer, std::uint32_t length) {
    const std::size_t n = std::min<std::size_t>(length, imageBytes.size());
    std::copy_n(imageBytes.begin(), n, static_cast<std::uint8_t*>(buffer));
    return static_cast<std::int64_t>(n);
}
void closeImageFile(PlatformHandle) {}

}  // namespace tervan::os

// A smaller quarantine than the sanitizer's 256 MiB: the freed blocks of one input are
// reused by the next instead of every input touching fresh pages, which costs more than the
// input itself. A block freed and then used within the same input is still caught.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=16";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return -1;
    }
    const Options o = parseOptions(data);
    const std::vector<std::uint8_t> image = imageOf(o);
    imageBytes = image;

    MemoryTarget scripted(o, parseRecords(data + 2, size - 2, /*silences=*/true));
    target = &scripted;

    SettingsStore settings("");
    settings.readOnly = true;
    FuzzWindow window;
    // Held in static storage: the controller carries the 256 KiB image buffer.
    static std::optional<FuzzedDialog> dialog;
    testing::DrivenClock clock;
    dialog.emplace(settings, clock);
    DownloaderDialog& d = *dialog;
    SessionOptions chosen = d.session().options();
    chosen.interfaceKind = o.usb ? 0 : 1;
    chosen.targetModel = o.model;
    chosen.targetMemory = o.ram ? 1 : 0;
    d.session().configure(chosen);
    d.imagePath = kImagePath;
    d.setWindow(&window);
    d.initWindow();
    FUZZ_CHECK(d.session().imageLength == o.length);
    playAndCheck(o, image, d, window, scripted);
    d.windowDestroyed();
    dialog.reset();
    target = nullptr;
    return 0;
}
