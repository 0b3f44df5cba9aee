// How one board's session shows on the terminal: status texts and download progress on
// stdout, messages on stderr, or one JSON object per event. It is the session's sink and only
// draws what the session reports; how the board ended is read from the session's outcome and
// record, never from here.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "cli/JsonText.h"
#include "protocol/SessionSink.h"
#include "protocol/TargetSession.h"

namespace tervan::cli {

enum class RenderMode {
    Bar,    // a terminal: status line and a progress bar redrawn in place
    Lines,  // a pipe or file: one line per status change, progress every 10 %
    Json,   // one JSON object per line per event
    Quiet,  // nothing on stdout; messages still go to stderr
};

class BoardView : public SessionSink {
public:
    using SteadyClock = std::chrono::steady_clock;

    // `port` names the board in every JSON event (empty: none); with `prefixLines` every text
    // line starts with it too, for runs that write several boards at once. Views of one
    // program may write from several threads: each line goes out whole.
    BoardView(RenderMode mode, std::FILE* out, std::FILE* err, std::string port = {},
              bool prefixLines = false);
    // Owned through a pointer to the view, which a timing view may extend.
    virtual ~BoardView() = default;

    // The record whose line figures close a finished transfer's progress line.
    void watch(const TransferRecord* record) { record_ = record; }

    // SessionSink
    void status(const std::string& text) override;
    void progressRange(std::uint16_t) override {}
    void progress(std::int16_t) override {}
    void message(const std::string& text) override;
    void beep(BeepKind kind) override;
    void enableButton(SessionButton, bool) override {}
    void waitCursor(bool) override {}
    void progressed(const SessionProgress& progress) override;

    // Lines under the last message (one per line of `reason`): what the system said and what
    // to do about it. In JSON one event named `eventName` carries the whole text.
    void explain(const std::string& reason, const char* eventName = "reason");
    // A line on stderr that no message showed (a failure the session reports only in its
    // status line).
    void report(const std::string& text);
    // One finished JSON object as a line (JSON mode only).
    void emitJson(const std::string& object);
    // An event object to fill: "event" and, when the view has one, "port".
    JsonObject event(const char* name) const;
    // One whole line on `stream`, after the port when lines carry it.
    void line(std::FILE* stream, const std::string& text);
    // Ends a line left open by the status or the progress bar.
    void finish();

    RenderMode mode() const { return mode_; }
    const std::string& port() const { return port_; }

private:
    void pageDone();
    void drawBar(bool force);
    void progressLine();
    void closeLiveLine();
    std::string progressFigures() const;
    double shownSeconds() const;

    RenderMode mode_;
    std::FILE* out_;
    std::FILE* err_;
    std::string port_;
    std::string prefix_;  // "COM3: " when lines carry the port
    const TransferRecord* record_ = nullptr;

    std::string status_;
    bool countdownNext_ = false;  // the session announced a connect pass

    // The running download, as the session reports it.
    bool transferring_ = false;
    SessionProgress shown_;
    SteadyClock::time_point started_{};
    SteadyClock::time_point finished_{};
    SteadyClock::time_point lastDraw_{};
    int lastTenth_ = 0;
    bool pendingDraw_ = false;

    // Bar mode: the cursor stands at the end of a line not yet ended.
    bool live_ = false;
    bool liveIsCountdown_ = false;
};

// The time the bytes of a transfer take on a serial line at kSerialBaudRate: ten bits a byte
// (start bit, eight data bits, stop bit) and no gap between them.
double wireSeconds(std::uint64_t bytes);

// A text for one terminal line: line breaks and tabs become spaces, trailing spaces go, and
// other control characters become visible escapes (see terminalText).
std::string singleLine(const std::string& text);

}  // namespace tervan::cli
