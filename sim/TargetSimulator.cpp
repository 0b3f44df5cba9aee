#include "sim/TargetSimulator.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "protocol/Frame.h"
#include "sim/SimLine.h"

namespace tervan::sim {
namespace {

using Duration = Clock::duration;
using std::chrono::milliseconds;

enum class Phase {
    Booting,            // reset: the 'X' is not sent yet
    AwaitingHandshake,  // serial: 'X' sent, waiting for 'H'
    Running,            // taking frames
    ProgramRunning,     // 'G' accepted: the loader has handed over until the next reset
    NotReady,           // never announces itself
    Dropped,            // the line is gone
};

enum class ResetCause { Start, Open, Command, Request };

const char* causeName(ResetCause cause) {
    switch (cause) {
        case ResetCause::Start:
            return "start";
        case ResetCause::Open:
            return "open";
        case ResetCause::Command:
            return "command";
        case ResetCause::Request:
            return "request";
    }
    return "";
}

// A byte as a JSON value: the character when it is printable, else its \u escape.
std::string jsonChar(int value) {
    if (value < 0) {
        return "null";
    }
    char text[16];
    if (value >= 0x20 && value < 0x7F && value != '"' && value != '\\') {
        std::snprintf(text, sizeof text, "\"%c\"", value);
    } else {
        std::snprintf(text, sizeof text, "\"\\u%04x\"", value);
    }
    return text;
}

// A text as a JSON string.
std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

bool writeFileAtomically(const std::string& path, const std::vector<std::uint8_t>& bytes,
                         std::string* error) {
    const std::string temporary = path + ".part";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        if (!out.flush()) {
            if (error != nullptr) {
                *error = "cannot write " + path;
            }
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        if (error != nullptr) {
            *error = "cannot write " + path;
        }
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

// Noise before the 'X': a fixed pseudo-random sequence that never contains 'X'.
std::uint8_t noiseByte(std::uint32_t& state) {
    for (;;) {
        state = state * 1103515245u + 12345u;
        const auto value = static_cast<std::uint8_t>(state >> 16);
        if (value != kAnswerAccepted) {
            return value;
        }
    }
}

}  // namespace

struct TargetSimulator::Impl {
    explicit Impl(SimConfig c) : config(std::move(c)), model(modelParameters(config.model)) {}

    // ---- set up once, then read-only -------------------------------------------------------
    SimConfig config;
    ModelParameters model;
    bool serial() const { return config.transport == SimConfig::Transport::Serial; }
    Duration byteTime{0};
    Clock::time_point startTime;

    // ---- shared with the callers, under `mutex` ---------------------------------------------
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<std::uint8_t> flash;
    std::vector<std::uint8_t> ram;
    std::vector<FrameRecord> frames;
    std::vector<SentByte> sent;
    SimCounters counters;

    template <typename F>
    void update(F&& change) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            change();
        }
        changed.notify_all();
    }

    // ---- owned by the loader thread ---------------------------------------------------------
    std::unique_ptr<SimLine> line;
    std::thread thread;
    int wakeFd = -1;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> resetRequested{false};
    std::atomic<bool> started{false};
    std::atomic<bool> stopped{false};
    std::FILE* log = nullptr;

    struct RxByte {
        std::uint8_t value;
        Clock::time_point arrival;
    };
    struct TxByte {
        std::uint8_t value;
        Clock::time_point due;
        bool ready;  // the 'X' announcing readiness
    };
    struct Pending {  // a frame taken in, its answer not yet sent
        int answer;
        Clock::time_point due;
        std::uint8_t command;
        bool applied;
        int number;
    };
    struct LastFrame {
        bool valid = false;
        std::uint8_t command = 0;
        std::uint16_t block = 0;
        int answer = -1;
        int number = 0;
        int transmission = 0;
    };

    Phase phase = Phase::Booting;
    Clock::time_point readyAt;
    bool awaitingPurge = false;
    Clock::time_point purgeWaitEnd;
    std::deque<RxByte> rx;
    Clock::time_point rxLineFree;
    std::vector<std::uint8_t> frame;
    Clock::time_point frameStart;
    Clock::time_point lastArrival;
    std::deque<TxByte> tx;
    Clock::time_point txLineFree;
    bool txBlocked = false;
    std::optional<Pending> pending;
    LastFrame last;
    int nextNumber = 0;
    bool dropArmed = false;
    std::uint32_t noiseState = 0x7E57u;

    // ---- log ----------------------------------------------------------------------------------
    void logLine(const std::string& body) {
        if (log == nullptr) {
            return;
        }
        const double ms =
            std::chrono::duration<double, std::milli>(Clock::now() - startTime).count();
        std::fprintf(log, "{\"t_ms\":%.3f,%s}\n", ms, body.c_str());
        std::fflush(log);
    }

    // ---- loader behaviour ---------------------------------------------------------------------
    void reset(ResetCause cause, Clock::time_point now) {
        update([&] { ++counters.resets; });
        logLine(std::string("\"event\":\"reset\",\"cause\":\"") + causeName(cause) + "\"");
        rx.clear();
        frame.clear();
        pending.reset();
        last = {};
        nextNumber = 0;
        // A reset of the board loses what was still going out, except the answer to the 'R'
        // frame that caused it.
        if (cause != ResetCause::Command) {
            tx.clear();
            line->discardUnread();
        }
        phase = Phase::Booting;
        readyAt = now + milliseconds(config.readyDelayMs);
        awaitingPurge = cause == ResetCause::Open;
        purgeWaitEnd = now + milliseconds(kPurgeWaitMs);
    }

    // The tool purges right after opening the port: the ready delay counts from there, so the
    // 'X' is never thrown away by that purge however slowly the tool gets to it.
    void purgeSeen(Clock::time_point now) {
        if (phase == Phase::Booting && awaitingPurge) {
            awaitingPurge = false;
            readyAt = now + milliseconds(config.readyDelayMs);
        }
    }

    void announceIfReady(Clock::time_point now) {
        if (phase != Phase::Booting) {
            return;
        }
        if (awaitingPurge) {
            if (now < purgeWaitEnd) {
                return;
            }
            awaitingPurge = false;
        } else if (now < readyAt) {
            return;
        }
        for (int i = 0; i < config.noiseBytes; ++i) {
            queueByte(noiseByte(noiseState), now, false);
        }
        if (config.neverReady) {
            phase = Phase::NotReady;
            return;
        }
        queueByte(kAnswerAccepted, now, true);
        phase = serial() ? Phase::AwaitingHandshake : Phase::Running;
    }

    void queueByte(std::uint8_t value, Clock::time_point earliest, bool ready) {
        Clock::time_point due = earliest;
        if (byteTime.count() > 0) {
            due = std::max(earliest, txLineFree) + byteTime;
            txLineFree = due;
        }
        tx.push_back({value, due, ready});
    }

    void discard(const RxByte& byte) {
        update([&] { ++counters.bytesDiscarded; });
        logLine("\"event\":\"discarded\",\"value\":" + std::to_string(byte.value) +
                ",\"char\":" + jsonChar(byte.value));
    }

    void discardPartialFrame() {
        const std::size_t count = frame.size();
        update([&] { counters.bytesDiscarded += count; });
        logLine("\"event\":\"partial_frame\",\"bytes\":" + std::to_string(count));
        frame.clear();
    }

    void takeByte(const RxByte& byte, Clock::time_point now) {
        switch (phase) {
            case Phase::AwaitingHandshake:
                if (byte.value != kHandshakeReply) {
                    discard(byte);
                    return;
                }
                update([&] {
                    ++counters.handshakeBytes;
                    counters.lastHandshakeAt = byte.arrival;
                });
                logLine("\"event\":\"handshake\"");
                phase = Phase::Running;
                last = {};
                nextNumber = 0;
                lastArrival = byte.arrival;
                return;
            case Phase::Running:
                if (!frame.empty() && byte.arrival - lastArrival >= milliseconds(kFrameStallMs)) {
                    discardPartialFrame();
                }
                if (frame.empty()) {
                    frameStart = byte.arrival;
                }
                frame.push_back(byte.value);
                lastArrival = byte.arrival;
                if (frame.size() == model.frameLength) {
                    takeFrame(now);
                    frame.clear();
                }
                return;
            default:
                discard(byte);
                return;
        }
    }

    void takeFrame(Clock::time_point now) {
        const std::uint8_t command = frame[2];
        const auto block = static_cast<std::uint16_t>(frame[3] | (frame[4] << 8));
        const bool crcOk = frameCrcMatches(frame.data(), model.frameLength);

        const bool repeat = last.valid && last.answer != kAnswerAccepted &&
                            last.command == command && last.block == block;
        const int number = repeat ? last.number : nextNumber++;
        const int transmission = repeat ? last.transmission + 1 : 1;

        const std::uint32_t end = (static_cast<std::uint32_t>(block) + 1) * model.pageSize;
        bool known = true;
        bool inRange = true;
        switch (command) {
            case kCommandWrite:
                inRange = end <= model.flashSize;
                break;
            case kCommandRam:
                inRange = end <= kSimRamSize;
                break;
            case kCommandGo:
            case kCommandReset:
                break;
            default:
                known = false;
                break;
        }
        const bool valid = crcOk && known && inRange;
        const bool unanswered = serial() && (command == kCommandGo || command == kCommandReset);
        int natural = kAnswerAccepted;
        if (!crcOk) {
            natural = kAnswerCrcError;
        } else if (!known) {
            natural = kAnswerUnknownCommand;
        } else if (!inRange) {
            natural = kAnswerVerifyError;
        } else if (unanswered) {
            natural = -1;
        }

        int answer = natural;
        const bool silent = config.silentAfterFrame >= 0 && number > config.silentAfterFrame;
        if (silent) {
            answer = -1;
        } else if (auto it = config.forcedAnswers.find(number);
                   it != config.forcedAnswers.end() &&
                   transmission <= static_cast<int>(it->second.size())) {
            const char forced = it->second[static_cast<std::size_t>(transmission - 1)];
            answer = forced == kForcedNoAnswer ? -1 : static_cast<std::uint8_t>(forced);
        }
        // The command takes effect only when the frame is sound and the loader says so.
        const bool applied =
            !silent && valid && (answer == kAnswerAccepted || (answer == -1 && natural == -1));

        FrameRecord record;
        record.number = number;
        record.transmission = transmission;
        record.command = command;
        record.block = block;
        record.crcOk = crcOk;
        record.answer = answer;
        record.applied = applied;
        record.startedAt = frameStart;
        record.receivedAt = now;
        update([&] {
            if (applied && (command == kCommandWrite || command == kCommandRam)) {
                auto& memory = command == kCommandWrite ? flash : ram;
                std::copy(frame.begin() + kFrameHeaderSize, frame.end(),
                          memory.begin() + (end - model.pageSize));
            }
            frames.push_back(record);
            counters.framesReceived = frames.size();
        });
        logLine("\"event\":\"frame\",\"number\":" + std::to_string(number) +
                ",\"transmission\":" + std::to_string(transmission) +
                ",\"command\":" + jsonChar(command) + ",\"block\":" + std::to_string(block) +
                ",\"crc_ok\":" + (crcOk ? "true" : "false") + ",\"answer\":" + jsonChar(answer) +
                ",\"applied\":" + (applied ? "true" : "false"));

        last = {true, command, block, answer, number, transmission};
        Duration delay{0};
        if (answer >= 0) {
            delay = milliseconds(config.answerDelayMs);
            if (applied && command == kCommandWrite) {
                delay += milliseconds(config.pageWriteDelayMs);
            }
        }
        // The answer is due counted from the frame's last byte on the wire, not from when this
        // thread got round to it, so the loader's own lateness never slows the line.
        pending = Pending{answer, std::min(now, lastArrival) + delay, command, applied, number};
    }

    void finishFrame(Clock::time_point now) {
        const Pending done = *pending;
        pending.reset();
        if (done.answer >= 0) {
            queueByte(static_cast<std::uint8_t>(done.answer), std::min(now, done.due), false);
        }
        if (config.dropAfterFrame >= 0 && done.number == config.dropAfterFrame) {
            dropArmed = true;
        }
        if (!done.applied) {
            return;
        }
        if (done.command == kCommandGo) {
            update([&] { ++counters.programStarts; });
            logLine("\"event\":\"program_started\"");
            phase = Phase::ProgramRunning;
        } else if (done.command == kCommandReset) {
            reset(ResetCause::Command, now);
        }
    }

    void dropLine() {
        // Under the lock: whoever sees the line gone, or the counter set, finds the other too.
        update([&] {
            counters.lineDropped = true;
            line->drop();
        });
        phase = Phase::Dropped;
        rx.clear();
        tx.clear();
        frame.clear();
        pending.reset();
        logLine("\"event\":\"line_dropped\"");
    }

    // Takes the bytes that have arrived by `now`, up to a frame whose answer is still due.
    void consume(Clock::time_point now) {
        while (!rx.empty() && rx.front().arrival <= now && !pending && phase != Phase::Dropped) {
            // Serial: the line goes when the tool starts sending after the last answer, so that
            // the answer itself is not lost with the hang-up.
            if (dropArmed && serial()) {
                dropLine();
                return;
            }
            const RxByte byte = rx.front();
            rx.pop_front();
            takeByte(byte, now);
        }
    }

    // Bytes are counted as sent before they are written, so that whoever reads them already
    // finds them in the counters; what the line did not take is taken back.
    void flushTx(Clock::time_point now) {
        txBlocked = false;
        while (!tx.empty() && tx.front().due <= now) {
            std::vector<std::uint8_t> run;
            int ready = 0;
            for (const auto& byte : tx) {
                if (byte.due > now) {
                    break;
                }
                run.push_back(byte.value);
                ready += byte.ready ? 1 : 0;
            }
            std::optional<Clock::time_point> previousReadyAt;
            update([&] {
                previousReadyAt = counters.lastReadyAt;
                for (const std::uint8_t value : run) {
                    sent.push_back({value, now});
                }
                counters.readySent += ready;
                if (ready > 0) {
                    counters.lastReadyAt = now;
                }
            });
            const std::size_t written = line->send(run.data(), run.size());
            if (written < run.size()) {
                int unsentReady = 0;
                for (std::size_t i = written; i < run.size(); ++i) {
                    unsentReady += tx[i].ready ? 1 : 0;
                }
                update([&] {
                    sent.resize(sent.size() - (run.size() - written));
                    counters.readySent -= unsentReady;
                    if (unsentReady == ready) {
                        counters.lastReadyAt = previousReadyAt;
                    }
                });
            }
            for (std::size_t i = 0; i < written; ++i) {
                const TxByte byte = tx.front();
                tx.pop_front();
                logLine("\"event\":\"sent\",\"value\":" + std::to_string(byte.value) +
                        ",\"char\":" + jsonChar(byte.value) +
                        (byte.ready ? ",\"ready\":true" : ""));
            }
            if (written < run.size()) {
                txBlocked = true;
                return;
            }
        }
    }

    void advance(Clock::time_point now) {
        for (;;) {
            announceIfReady(now);
            consume(now);
            if (pending && pending->due <= now) {
                finishFrame(now);
                continue;
            }
            break;
        }
        if (phase == Phase::Running && !frame.empty() && rx.empty() &&
            now - lastArrival >= milliseconds(kFrameStallMs)) {
            discardPartialFrame();
        }
        if (phase != Phase::Dropped) {
            flushTx(now);
        }
        // USB: unplugged as soon as the last answer is in the pipe.
        if (dropArmed && !serial() && tx.empty() && phase != Phase::Dropped) {
            dropLine();
        }
    }

    std::optional<Clock::time_point> nextDeadline(Clock::time_point now) const {
        std::optional<Clock::time_point> next;
        auto consider = [&](Clock::time_point t) {
            if (!next || t < *next) {
                next = t;
            }
        };
        if (phase == Phase::Dropped) {
            return next;
        }
        if (phase == Phase::Booting) {
            consider(awaitingPurge ? purgeWaitEnd : readyAt);
        }
        if (pending) {
            consider(pending->due);
        } else if (!rx.empty()) {
            consider(rx.front().arrival);
        }
        if (txBlocked) {
            consider(now + milliseconds(10));  // the tool has not read; look again soon
        } else if (!tx.empty()) {
            consider(tx.front().due);
        }
        if (phase == Phase::Running && !frame.empty()) {
            consider(lastArrival + milliseconds(kFrameStallMs));
        }
        return next;
    }

    void receive(const LineInput& in, Clock::time_point now) {
        for (const std::uint8_t value : in.data) {
            Clock::time_point arrival = now;
            if (byteTime.count() > 0) {
                rxLineFree = std::max(rxLineFree, now) + byteTime;
                arrival = rxLineFree;
            }
            rx.push_back({value, arrival});
        }
        // What came before an open belongs to the session that ended.
        consume(now);
        if (in.closes > 0) {
            logLine("\"event\":\"port_closed\"");
        }
        if (in.opens > 0) {
            update([&] { counters.portOpens += in.opens; });
            logLine("\"event\":\"port_opened\"");
            if (config.resetOnOpen) {
                reset(ResetCause::Open, now);
            }
        }
        if (in.purged) {
            purgeSeen(now);
        }
    }

    void run() {
        std::vector<pollfd> fds;
        for (;;) {
            std::uint64_t counter = 0;
            while (::read(wakeFd, &counter, sizeof counter) > 0) {
            }
            if (stopRequested) {
                return;
            }
            Clock::time_point now = Clock::now();
            if (resetRequested.exchange(false) && phase != Phase::Dropped) {
                reset(ResetCause::Request, now);
            }
            if (phase != Phase::Dropped) {
                receive(line->collect(), now);
            }
            advance(now);

            fds.clear();
            fds.push_back({wakeFd, POLLIN, 0});
            if (phase != Phase::Dropped) {
                line->pollSet(fds, txBlocked);
            }
            const auto deadline = nextDeadline(now);
            timespec wait{};
            timespec* timeout = nullptr;
            if (deadline) {
                const auto left = std::max(Duration::zero(), *deadline - Clock::now());
                const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
                wait.tv_sec = static_cast<time_t>(ns / 1000000000);
                wait.tv_nsec = static_cast<long>(ns % 1000000000);
                timeout = &wait;
            }
            ::ppoll(fds.data(), fds.size(), timeout, nullptr);
        }
    }

    void wake() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof one);
    }

    bool validate(std::string& reason) const {
        if (config.root.empty()) {
            reason = "no root folder given";
        } else if (serial() && (config.comNumber < 1 || config.comNumber > 255)) {
            reason = "COM number out of range: " + std::to_string(config.comNumber);
        } else if (!serial() && (config.deviceName.empty() || config.deviceName == "." ||
                                 config.deviceName == ".." ||
                                 config.deviceName.find('/') != std::string::npos)) {
            reason = "unusable device name: " + config.deviceName;
        } else if (config.readyDelayMs < 0 || config.noiseBytes < 0 || config.answerDelayMs < 0 ||
                   config.pageWriteDelayMs < 0) {
            reason = "delays and counts cannot be negative";
        } else {
            for (const auto& [number, answers] : config.forcedAnswers) {
                if (number < 0 || answers.empty()) {
                    reason = "unusable forced answer for frame " + std::to_string(number);
                    return false;
                }
            }
            return true;
        }
        return false;
    }
};

TargetSimulator::TargetSimulator(SimConfig config)
    : impl_(std::make_unique<Impl>(std::move(config))) {}

TargetSimulator::~TargetSimulator() {
    stop();
}

bool TargetSimulator::start(std::string* error) {
    Impl& d = *impl_;
    if (d.started) {
        if (error != nullptr) {
            *error = "already started";
        }
        return false;
    }
    std::string reason;
    auto fail = [&](const std::string& why) {
        if (error != nullptr) {
            *error = why;
        }
        if (d.log != nullptr) {
            std::fclose(d.log);
            d.log = nullptr;
        }
        d.line.reset();
        return false;
    };
    if (!d.validate(reason)) {
        return fail(reason);
    }
    d.flash.assign(d.model.flashSize, 0xFF);
    d.ram.assign(kSimRamSize, 0x00);
    if (d.config.baudRate > 0) {
        d.byteTime = std::chrono::duration_cast<Duration>(
            std::chrono::nanoseconds(10'000'000'000ull / d.config.baudRate));
    }
    // The images are written only at the end: a folder they cannot go to is refused now.
    for (const std::string& file : {d.config.flashFile, d.config.ramFile}) {
        const std::string folder = std::filesystem::path(file).parent_path().string();
        if (!file.empty() && ::access(folder.empty() ? "." : folder.c_str(), W_OK) != 0) {
            return fail("cannot write " + file);
        }
    }
    if (!d.config.logFile.empty()) {
        d.log = std::fopen(d.config.logFile.c_str(), "w");
        if (d.log == nullptr) {
            return fail("cannot write " + d.config.logFile);
        }
    }
    d.line = d.serial() ? makeSerialLine(d.config.root, d.config.comNumber)
                        : makeUsbLine(d.config.root, d.config.deviceName);
    if (!d.line->create(&reason)) {
        return fail(reason);
    }
    d.wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (d.wakeFd < 0) {
        return fail("cannot create an event descriptor");
    }
    d.startTime = Clock::now();
    d.logLine(std::string("\"event\":\"start\",\"transport\":\"") +
              (d.serial() ? "serial" : "usb") + "\",\"model\":\"" + modelName(d.config.model) +
              "\",\"path\":" + jsonString(d.line->path()));
    d.reset(ResetCause::Start, d.startTime);
    d.started = true;
    d.thread = std::thread([&d] { d.run(); });
    return true;
}

void TargetSimulator::stop() {
    Impl& d = *impl_;
    if (!d.started || d.stopped.exchange(true)) {
        return;
    }
    d.stopRequested = true;
    d.wake();
    d.thread.join();
    writeOutputs();
    d.line->remove();
    d.logLine("\"event\":\"stop\"");
    if (d.log != nullptr) {
        std::fclose(d.log);
        d.log = nullptr;
    }
    ::close(d.wakeFd);
    d.wakeFd = -1;
}

void TargetSimulator::reset() {
    Impl& d = *impl_;
    if (d.started && !d.stopped) {
        d.resetRequested = true;
        d.wake();
    }
}

bool TargetSimulator::writeOutputs(std::string* error) const {
    const Impl& d = *impl_;
    bool ok = true;
    if (!d.config.flashFile.empty()) {
        ok = writeFileAtomically(d.config.flashFile, flash(), error) && ok;
    }
    if (!d.config.ramFile.empty()) {
        ok = writeFileAtomically(d.config.ramFile, ram(), error) && ok;
    }
    return ok;
}

const SimConfig& TargetSimulator::config() const {
    return impl_->config;
}

std::string TargetSimulator::portPath() const {
    return impl_->serial() && impl_->line ? impl_->line->path() : std::string();
}

std::string TargetSimulator::slavePath() const {
    return impl_->line ? impl_->line->slavePath() : std::string();
}

std::string TargetSimulator::devicePath() const {
    return !impl_->serial() && impl_->line ? impl_->line->path() : std::string();
}

std::string TargetSimulator::description() const {
    const Impl& d = *impl_;
    const std::string where = d.line ? d.line->describe() : std::string();
    if (d.serial()) {
        return "serial target on COM" + std::to_string(d.config.comNumber) + " (" + where +
               "), model " + modelName(d.config.model);
    }
    return "usb target " + d.config.deviceName + " (" + where + "), model " +
           modelName(d.config.model);
}

std::vector<std::uint8_t> TargetSimulator::flash() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->flash;
}

std::vector<std::uint8_t> TargetSimulator::ram() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->ram;
}

std::vector<FrameRecord> TargetSimulator::frames() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->frames;
}

std::vector<SentByte> TargetSimulator::sentBytes() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->sent;
}

SimCounters TargetSimulator::counters() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->counters;
}

int TargetSimulator::handshakeBytes() const {
    return counters().handshakeBytes;
}

bool TargetSimulator::waitUntil(const std::function<bool(const SimCounters&)>& condition,
                                int timeoutMs) const {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    return impl_->changed.wait_for(lock, milliseconds(timeoutMs),
                                   [&] { return condition(impl_->counters); });
}

bool TargetSimulator::waitForFrames(std::size_t count, int timeoutMs) const {
    return waitUntil([count](const SimCounters& c) { return c.framesReceived >= count; },
                     timeoutMs);
}

const char* modelName(int model) {
    return model == 0 ? "SAM7S256/128" : "SAM7S64/32";
}

}  // namespace tervan::sim
