// How a session reports to whoever shows it: the status line, the progress bar, message boxes,
// beeps, the enabled states of the connection buttons and the busy cursor. The window's
// controller implements it; a session can report to any other sink just as well.
#pragma once

#include <cstdint>
#include <string>

namespace tervan {

enum class BeepKind { Default = 0, Exclamation = 0x30 };

// The six connection and action buttons whose enabled states record the connection.
enum class SessionButton { Connect, Disconnect, Download, Reset, DownToRam, RunRam };

// Where a session stands, as figures rather than texts: a front end that draws its own
// progress or tells a countdown from other status lines reads these.
enum class SessionPhase {
    Waiting,  // a connect pass begins; the status that follows is its countdown
    Started,  // a download begins: its first page goes out next
    Page,     // the target accepted one more page
    Ended,    // the download ended, one way or the other; its record is complete
};

struct SessionProgress {
    SessionPhase phase = SessionPhase::Waiting;
    int secondsLeft = 0;        // Waiting: passes left, 0 when the wait has no deadline
    std::uint32_t pages = 0;    // pages the target accepted so far
    std::uint32_t bytes = 0;    // bytes of the image those pages carry
    std::uint32_t total = 0;    // the image's length
    std::int16_t position = 0;  // the progress bar's position and upper bound
    std::uint16_t range = 0;
};

class SessionSink {
public:
    // The status line now reads `text`; everything the session changed is to be shown now.
    virtual void status(const std::string& text) = 0;
    virtual void progressRange(std::uint16_t upper) = 0;  // lower bound 0
    // The bar stands at `position`; it is to be shown now.
    virtual void progress(std::int16_t position) = 0;
    // A message the user must acknowledge; returns once acknowledged.
    virtual void message(const std::string& text) = 0;
    virtual void beep(BeepKind kind) = 0;
    virtual void enableButton(SessionButton button, bool enabled) = 0;
    virtual void waitCursor(bool on) = 0;
    // The same progress as figures, after the status or bar position that goes with it. A
    // sink that only shows texts and the bar ignores it.
    virtual void progressed(const SessionProgress&) {}

protected:
    ~SessionSink() = default;
};

// Shows the wait cursor from construction until the scope is left, on every path.
class WaitCursor {
public:
    explicit WaitCursor(SessionSink& sink) : sink_(sink) { sink_.waitCursor(true); }
    ~WaitCursor() { sink_.waitCursor(false); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

private:
    SessionSink& sink_;
};

}  // namespace tervan
