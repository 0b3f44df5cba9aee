// The virtual target: a stand-in for the download loader on the chip, reachable through a
// pseudo-terminal (the serial line, linked as <root>/ports/COMn) or through a USB device folder
// holding two FIFOs (<root>/usb/{class}/<device>/PIPE00 and PIPE01). Tests, benchmarks and the
// demo drive the tool against it instead of a board.
//
// Behaviour of the loader:
// - After a reset (at start, on an 'R' frame, on reset(), and on the serial line each time the
//   tool opens the port when resetOnOpen is set) it sends 'X' once it is ready. On the serial
//   line it then waits for the single byte 'H' (anything before it is discarded and logged);
//   over USB nothing is expected after the 'X'. After an open of the port the ready delay
//   counts from the purge the tool makes right after opening, so that purge never eats the 'X'.
// - It then reads frames of the model's fixed length, checks the CRC and answers one byte:
//   'X' accepted, 'C' bad CRC, 'O' block outside the memory, '?' unknown command. 'W' writes
//   the page into the flash image, 'M' stores it in RAM, 'G' starts the RAM program (the loader
//   then stays silent until the next reset, and on the serial line the program writes the
//   lines of printAfterRun, if any), 'R' resets. Over the serial line 'G' and 'R' get no
//   answer; over USB they are answered like any other frame.
// - A frame that stops half-way (no byte for kFrameStallMs) is thrown away so the stream
//   resynchronises with the next frame.
// - Flash and RAM have the sizes of the model's row in the chip-model table (protocol/ChipModel.h).
//   Flash starts erased (0xFF), RAM zeroed. A dropped line stays down until stop(): the serial
//   line hangs up when the tool starts sending after the last answer (a hang-up right after the
//   answer would take the answer with it); the USB device folder goes as soon as the answer is
//   in the pipe.
// - With resetOnOpen off, the 'X' after a reset goes out whether or not the tool has the port
//   open (and its purge at open throws away one sent before): call reset() once it is open.
//
// Frames are numbered from 0 after each handshake ('H' received on the serial line, 'X' sent over
// USB). A frame with the same command and block as the previous one, sent again after that one
// was not accepted, is another transmission of the same frame number: forced answers apply per
// transmission.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tervan::sim {

using Clock = std::chrono::steady_clock;

// The answer to a frame the loader does not know.
inline constexpr std::uint8_t kAnswerUnknownCommand = '?';
// In a forced answer list: this transmission gets no answer at all.
inline constexpr char kForcedNoAnswer = '-';
// A partial frame with no further byte for this long is discarded.
inline constexpr int kFrameStallMs = 200;
// After the tool opens the serial port the loader waits at most this long for the purge that
// follows every open before it starts counting the ready delay.
inline constexpr int kPurgeWaitMs = 500;

struct SimConfig {
    enum class Transport { Serial, Usb };

    Transport transport = Transport::Serial;
    int model = 0;      // stored model value: its row of the chip-model table gives the sizes
    std::string root;   // folder holding ports/ and usb/ (the tool's program folder)
    int comNumber = 1;  // serial: the link is <root>/ports/COM<comNumber>
    std::string deviceName = "target0";  // USB: <root>/usb/{class}/<deviceName>/
    bool resetOnOpen = true;             // serial: each open of the port by the tool is a reset
    int readyDelayMs = 50;               // reset (or the tool's purge after opening) to the 'X'
    bool neverReady = false;             // never send the 'X'
    int noiseBytes = 0;                  // bytes other than 'X' sent just before each 'X'
    std::map<int, std::string> forcedAnswers;  // frame number -> answer per transmission
    int silentAfterFrame = -1;   // frames after this number get no answer and have no effect
    int dropAfterFrame = -1;     // the line goes away after this frame's answer
    int answerDelayMs = 0;       // extra time before every answer to a frame
    int pageWriteDelayMs = 0;    // time to program one flash page ('W')
    std::uint32_t baudRate = 0;  // 0: unpaced; otherwise 10 bits a byte at this rate
    // Serial: what the program started by 'G' writes, each line followed by "\r\n", one every
    // printIntervalMs after the start (the first after one interval).
    std::vector<std::string> printAfterRun;
    int printIntervalMs = 0;
    std::string flashFile;  // written at stop and by writeOutputs(), when not empty
    std::string ramFile;
    std::string logFile;  // JSON lines: every frame, every byte sent, line events
};

// One frame as the loader took it in.
struct FrameRecord {
    int number = 0;        // frame number since the last handshake
    int transmission = 1;  // 1 for the first transmission, 2 for the first repeat, ...
    std::uint8_t command = 0;
    std::uint16_t block = 0;
    bool crcOk = false;
    int answer = -1;               // the byte answered, -1 for none
    bool applied = false;          // the command took effect (page stored, program started, reset)
    Clock::time_point startedAt;   // arrival of the first byte
    Clock::time_point receivedAt;  // when the loader had the whole frame
};

struct SentByte {
    std::uint8_t value = 0;
    Clock::time_point at;
};

struct SimCounters {
    int resets = 0;          // resets of the loader, whatever their cause
    int readySent = 0;       // 'X' bytes sent to announce readiness
    int handshakeBytes = 0;  // 'H' bytes taken as the reply to the 'X'
    int portOpens = 0;       // serial: opens of the port by the tool
    int programStarts = 0;   // accepted 'G' frames
    std::size_t framesReceived = 0;
    std::size_t bytesDiscarded = 0;  // received while not expecting them, or partial frames
    bool lineDropped = false;
    std::optional<Clock::time_point> lastReadyAt;      // when the last 'X' (ready) was sent
    std::optional<Clock::time_point> lastHandshakeAt;  // when the last 'H' arrived
    std::optional<Clock::time_point> lastOpenAt;       // serial: when the tool last opened
};

class TargetSimulator {
public:
    explicit TargetSimulator(SimConfig config);
    ~TargetSimulator();  // stops
    TargetSimulator(const TargetSimulator&) = delete;
    TargetSimulator& operator=(const TargetSimulator&) = delete;

    // Creates the port link or the device folder and starts the loader (a reset). False, with a
    // reason in *error, when the configuration is unusable or the files cannot be created.
    bool start(std::string* error = nullptr);
    // Stops the loader, writes the output files and removes everything start() created.
    // Safe to call more than once.
    void stop();
    // The user presses reset on the board.
    void reset();
    // Writes the flash and RAM files now (they are written at stop as well).
    bool writeOutputs(std::string* error = nullptr) const;

    const SimConfig& config() const;
    // The line's files, once start() has created them (empty before, and for the other
    // transport).
    std::string portPath() const;     // serial: <root>/ports/COMn
    std::string slavePath() const;    // serial: the pseudo-terminal the link points to
    std::string devicePath() const;   // USB: the device folder
    std::string description() const;  // one line saying what was created

    std::vector<std::uint8_t> flash() const;
    std::vector<std::uint8_t> ram() const;
    std::vector<FrameRecord> frames() const;
    std::vector<SentByte> sentBytes() const;
    SimCounters counters() const;
    int handshakeBytes() const;

    // Wait until the condition holds on the counters (checked on every change), at most
    // timeoutMs; returns whether it holds.
    bool waitUntil(const std::function<bool(const SimCounters&)>& condition, int timeoutMs) const;
    bool waitForFrames(std::size_t count, int timeoutMs) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The model's name in the window ("SAM7S256/128"), from the chip-model table.
const char* modelName(int model);

}  // namespace tervan::sim
