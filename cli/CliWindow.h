// The controller's window on a terminal: status texts and download progress on stdout,
// message-box texts on stderr. It keeps the state of the controls the controller reads
// back, and records every message and status text so the run can tell how it ended.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/DialogWindow.h"
#include "cli/JsonText.h"
#include "protocol/TargetSession.h"

namespace tervan::cli {

enum class RenderMode {
    Bar,    // a terminal: status line and a progress bar redrawn in place
    Lines,  // a pipe or file: one line per status change, progress every 10 %
    Json,   // one JSON object per line per event
    Quiet,  // nothing on stdout; messages still go to stderr
};

class CliWindow : public DialogWindow {
public:
    using Clock = std::chrono::steady_clock;

    // `port` names the board in every JSON event (empty: none); with `prefixLines` every text
    // line starts with it too, for runs that write several boards at once. Windows of one
    // program may write from several threads: each line goes out whole.
    CliWindow(RenderMode mode, std::FILE* out, std::FILE* err, std::string port = {},
              bool prefixLines = false);

    // The session whose image length and page size turn progress positions into bytes.
    void watch(const TargetSession* session) { session_ = session; }

    // DialogWindow
    void setControlText(int id, const std::string& text) override;
    std::string controlText(int id) override;
    void setChecked(int id, bool checked) override;
    bool isChecked(int id) override;
    void selectListEntry(int id, int index) override;
    int selectedListEntry(int id) override;
    void enableControl(int id, bool enabled) override;
    bool isControlEnabled(int id) override;
    void setProgressRange(std::uint16_t lower, std::uint16_t upper) override;
    void setProgressPosition(std::int16_t position) override;
    void messageBox(const std::string& text) override;
    void beep(BeepKind kind) override;
    void setWaitCursor(bool) override {}
    std::optional<std::string> chooseImageFile(const std::string&) override { return {}; }
    void endDialog(DialogResult) override {}
    void repaint() override;

    // Lines under the last message (one per line of `reason`): what the system said and what
    // to do about it. In JSON one event named `eventName` carries the whole text.
    void explain(const std::string& reason, const char* eventName = "reason");
    // A line on stderr that no message box showed (a failure the window reports only in
    // its status line).
    void report(const std::string& text);
    // One finished JSON object as a line (JSON mode only).
    void emitJson(const std::string& object);
    // An event object to fill: "event" and, when the window has one, "port".
    JsonObject event(const char* name) const;
    // One whole line on `stream`, after the port when lines carry it.
    void line(std::FILE* stream, const std::string& text);
    // Ends a line left open by the status or the progress bar.
    void finish();

    RenderMode mode() const { return mode_; }
    const std::vector<std::string>& messages() const { return messages_; }
    // Every status text in the order shown, each change once.
    const std::vector<std::string>& statuses() const { return statuses_; }
    const std::string& status() const { return status_; }

    // The last download: bytes the target accepted, and time from its first frame.
    std::uint32_t bytesSent() const { return bytesSent_; }
    double transferSeconds() const;
    // Downloads that reached their first page so far.
    int downloads() const { return downloads_; }
    const std::string& port() const { return port_; }

private:
    void statusChanged();
    void frameDone();
    void drawBar(bool force);
    void progressLine();
    void closeLiveLine();
    std::string progressFigures() const;

    RenderMode mode_;
    std::FILE* out_;
    std::FILE* err_;
    std::string port_;
    std::string prefix_;  // "COM3: " when lines carry the port
    const TargetSession* session_ = nullptr;

    std::string pathText_;
    std::string sizeText_;
    std::string status_;
    std::map<int, bool> checked_;
    std::map<int, bool> enabled_;
    int comSelection_ = -1;

    std::vector<std::string> messages_;
    std::vector<std::string> statuses_;

    // Progress of the running download. frames_ is -1 until the position is first set to
    // 0 after the range; every later position is one page the target accepted.
    bool transferring_ = false;
    int downloads_ = 0;
    std::int64_t frames_ = -1;
    std::uint16_t rangeUpper_ = 0;
    std::int16_t position_ = 0;
    std::uint32_t total_ = 0;
    std::uint32_t pageSize_ = 0;
    std::uint32_t bytesSent_ = 0;
    Clock::time_point started_{};
    Clock::time_point finished_{};
    Clock::time_point lastDraw_{};
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
