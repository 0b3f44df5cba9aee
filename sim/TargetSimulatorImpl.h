// Inside the virtual target: the state TargetSimulator keeps and the pieces of the loader that
// work on it. The members are defined by responsibility:
//   Loader.cpp          the loader's state machine: resets, the 'X', the handshake, frames and
//                       their answers
//   LoaderThread.cpp    the loader's thread: bytes in and out of the line on time, the wait
//   SimOutputs.cpp      the JSON log and the flash and RAM files
//   TargetSimulator.cpp the public face: start, stop, reset and what callers read
// Only the sim library includes this header.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/ChipModel.h"
#include "sim/SimLine.h"
#include "sim/TargetSimulator.h"

namespace tervan::sim {

using Duration = Clock::duration;

enum class Phase {
    Booting,            // reset: the 'X' is not sent yet
    AwaitingHandshake,  // serial: 'X' sent, waiting for 'H'
    Running,            // taking frames
    ProgramRunning,     // 'G' accepted: the loader has handed over until the next reset
    NotReady,           // never announces itself
    Dropped,            // the line is gone
};

enum class ResetCause { Start, Open, Command, Request };

// The cause as the log names it.
const char* causeName(ResetCause cause);
// A byte as a JSON value: the character when it is printable, else its \u escape; null for -1.
std::string jsonChar(int value);
// A text as a JSON string.
std::string jsonString(const std::string& text);
// Writes `bytes` to `path` through a temporary file, so a reader never sees half a file.
bool writeFileAtomically(const std::string& path, const std::vector<std::uint8_t>& bytes,
                         std::string* error);

struct TargetSimulator::Impl {
    explicit Impl(SimConfig c) : config(std::move(c)), model(chipModel(config.model)) {}

    // ---- set up once, then read-only -------------------------------------------------------
    SimConfig config;
    const ChipModel& model;
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

    // ---- SimOutputs.cpp ----------------------------------------------------------------------
    // One line of the log, stamped with the time since start.
    void logLine(const std::string& body);
    void closeLog();

    // ---- Loader.cpp ----------------------------------------------------------------------------
    // The board restarts: input, the frame in progress and the numbering are forgotten, and the
    // 'X' is due after the ready delay.
    void reset(ResetCause cause, Clock::time_point now);
    void purgeSeen(Clock::time_point now);
    // Queues the noise and the 'X' once a reset has lasted long enough.
    void announceIfReady(Clock::time_point now);
    // One byte from the tool, as the current phase takes it.
    void takeByte(const RxByte& byte, Clock::time_point now);
    // Checks the whole frame in `frame`, applies it and sets its answer pending.
    void takeFrame(Clock::time_point now);
    // Sends the pending answer and carries out a 'G' or 'R' that was accepted.
    void finishFrame(Clock::time_point now);
    void discard(const RxByte& byte);
    void discardPartialFrame();
    // Serial: the started program's lines, due one interval apart from `now`.
    void printProgramLines(Clock::time_point now);

    // ---- LoaderThread.cpp ----------------------------------------------------------------------
    // A byte for the tool, due at `earliest` or, on a paced line, once the bytes before it are out.
    void queueByte(std::uint8_t value, Clock::time_point earliest, bool ready);
    // Gives what the line brought its arrival times and acts on opens, closes and purges.
    void receive(const LineInput& in, Clock::time_point now);
    void consume(Clock::time_point now);
    void flushTx(Clock::time_point now);
    void dropLine();
    // Everything that is due by `now`.
    void advance(Clock::time_point now);
    // When advance() has something to do next, if ever.
    std::optional<Clock::time_point> nextDeadline(Clock::time_point now) const;
    // The thread's loop, until stopRequested.
    void run();
    void wake() const;
};

}  // namespace tervan::sim
