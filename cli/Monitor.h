// The monitor of --monitor: what a board sends after Run or Reset, read from the port the
// download used (handed over open, so that its first words are not lost), shown as lines of
// text, as JSON events, and copied to --log.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cli/BoardView.h"
#include "link/Clock.h"
#include "link/SerialLink.h"

namespace tervan::cli {

// Cuts the board's bytes into lines that are safe on a terminal: printable ASCII and tabs as
// they are, "\r\n" as a line break, every other byte as an escape ("\x1b", "\r", "\xc3"), so
// nothing the board sends can move the cursor or change the terminal.
class MonitorLines {
public:
    // A line that never ends is cut at this many bytes, so a board that sends no line breaks
    // is still shown and never fills the memory.
    static constexpr std::size_t kLongestLine = 4096;

    // Adds bytes; every line they complete goes to `lines`, without its line break.
    void feed(const std::uint8_t* bytes, std::size_t count, std::vector<std::string>& lines);
    // The partial line held back (empty when none), given up by the monitor.
    std::optional<std::string> rest();

private:
    void add(std::uint8_t byte);
    std::string line_;
    std::size_t bytes_ = 0;        // bytes of the board in line_
    bool started_ = false;         // line_ holds the start of a line, maybe empty
    bool carriageReturn_ = false;  // a '\r' waits to see whether '\n' follows
};

// The --log file: every port's lines, each added whole. The first error is kept.
class MonitorLog {
public:
    explicit MonitorLog(std::string path) : path_(std::move(path)) {}
    // Creates the file when it is missing; the error code when it cannot be appended to.
    int check() const;
    void add(const std::string& text);
    int error() const;
    const std::string& path() const { return path_; }

private:
    std::string path_;
    mutable std::mutex lock_;
    int error_ = 0;
};

// How the monitors of a run watch: the same for every port.
struct MonitorSetup {
    std::uint32_t baud = 115200;
    std::optional<int> seconds;  // empty: until stopped
    bool timestamps = false;
    MonitorLog* log = nullptr;
    const std::atomic<bool>* stop = nullptr;     // Ctrl-C, SIGTERM, SIGHUP
    const std::atomic<bool>* exitKey = nullptr;  // Ctrl-] on the terminal
    std::FILE* out = stdout;                     // the board's lines
    std::FILE* err = stderr;                     // the monitor's own notices
    bool notices = true;                         // false with --quiet
    bool severalPorts = false;                   // the log's lines carry the port
};

// How long the monitor waits between looks at a port that has gone.
inline constexpr Clock::Duration kPortPollInterval{200};

// Watches one port until the time runs out or the user ends it: `link` is the port as the
// download left it open, `path` what to open again when it goes and comes back. Never writes
// a byte to the board. False when the port would not take the speed.
bool monitorPort(const MonitorSetup& setup, BoardView& view, SerialLink& link,
                 const std::string& path, Clock& clock = realClock());

}  // namespace tervan::cli
