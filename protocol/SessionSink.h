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
