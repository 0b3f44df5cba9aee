#include "cli/Monitor.h"

#include <algorithm>
#include <cstdio>

#include "cli/AppendFile.h"

namespace tervan::cli {

// ---- lines ----

void MonitorLines::add(std::uint8_t byte) {
    started_ = true;
    ++bytes_;
    if (byte == '\t' || (byte >= 0x20 && byte < 0x7f)) {
        line_ += static_cast<char>(byte);
        return;
    }
    if (byte == '\r') {
        line_ += "\\r";
        return;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    line_ += "\\x";
    line_ += kHex[byte >> 4];
    line_ += kHex[byte & 0x0f];
}

void MonitorLines::feed(const std::uint8_t* bytes, std::size_t count,
                        std::vector<std::string>& lines) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t byte = bytes[i];
        if (carriageReturn_) {
            carriageReturn_ = false;
            if (byte != '\n') {
                add('\r');  // a carriage return of its own is shown, not obeyed
            }
        }
        if (byte == '\n') {
            lines.push_back(std::move(line_));
            line_.clear();
            bytes_ = 0;
            started_ = false;
            continue;
        }
        if (byte == '\r') {
            carriageReturn_ = true;
            started_ = true;
            continue;
        }
        add(byte);
        if (bytes_ >= kLongestLine) {
            lines.push_back(std::move(line_));
            line_.clear();
            bytes_ = 0;
            started_ = false;
        }
    }
}

std::optional<std::string> MonitorLines::rest() {
    if (carriageReturn_) {
        carriageReturn_ = false;
        add('\r');
    }
    if (!started_) {
        return std::nullopt;
    }
    std::string line = std::move(line_);
    line_.clear();
    bytes_ = 0;
    started_ = false;
    return line;
}

// ---- log ----

int MonitorLog::check() const {
    return appendToFile(path_, "");
}

void MonitorLog::add(const std::string& text) {
    const int error = appendToFile(path_, text);
    const std::lock_guard<std::mutex> hold(lock_);
    if (error != 0 && error_ == 0) {
        error_ = error;
    }
}

int MonitorLog::error() const {
    const std::lock_guard<std::mutex> hold(lock_);
    return error_;
}

// ---- one port ----

namespace {

double secondsBetween(Clock::TimePoint from, Clock::TimePoint to) {
    return std::chrono::duration<double>(to - from).count();
}

// "1.4 s", "12.0 s".
std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

class PortMonitor {
public:
    PortMonitor(const MonitorSetup& setup, BoardView& view, SerialLink& link,
                const std::string& path, Clock& clock)
        : setup_(setup), view_(view), link_(link), path_(path), clock_(clock) {}

    bool run() {
        started_ = clock_.now();
        if (setup_.seconds) {
            deadline_ = started_ + std::chrono::seconds(*setup_.seconds);
        }
        if (!link_.setBaudRate(setup_.baud)) {
            notice("the port does not take " + std::to_string(setup_.baud) + " baud",
                   view_.event("monitor_end").text("reason", "baud_refused"));
            return false;
        }
        notice("monitoring at " + std::to_string(setup_.baud) + " baud" +
                   (setup_.seconds ? " for " + std::to_string(*setup_.seconds) + " s"
                                   : std::string("; Ctrl-] or Ctrl-C ends it")),
               view_.event("monitor_start").number("baud", static_cast<std::int64_t>(setup_.baud)));
        std::uint8_t buffer[512];
        for (;;) {
            const Clock::Duration wait = waitLeft(Clock::Duration(100));
            if (wait.count() == 0) {
                break;
            }
            if (!link_.isOpen()) {
                reopen();
                continue;
            }
            const LinkResult got = link_.readSome(buffer, sizeof buffer, wait);
            if (got.count > 0) {
                received(buffer, got.count);
            }
            if (got.error != 0) {
                gone();
            }
        }
        if (const auto rest = lines_.rest()) {
            show(*rest);
        }
        const char* reason = ended();
        notice("monitor ended (" + std::string(reason) + ") after " +
                   secondsText(secondsBetween(started_, clock_.now())),
               view_.event("monitor_end")
                   .text("reason", reason)
                   .number("seconds", secondsBetween(started_, clock_.now()))
                   .number("lines", static_cast<std::int64_t>(shown_)));
        return true;
    }

private:
    // How long the next wait may be: at most `most`, 0 once the monitor is to end.
    Clock::Duration waitLeft(Clock::Duration most) {
        if (*ended() != '\0') {
            return Clock::Duration(0);
        }
        if (deadline_) {
            const auto left = std::chrono::ceil<Clock::Duration>(*deadline_ - clock_.now());
            return std::clamp(left, Clock::Duration(0), most);
        }
        return most;
    }

    // Why the monitor ends now, or "" while it goes on.
    const char* ended() {
        if (setup_.stop != nullptr && setup_.stop->load()) {
            return "interrupted";
        }
        if (setup_.exitKey != nullptr && setup_.exitKey->load()) {
            return "key";
        }
        if (deadline_ && clock_.now() >= *deadline_) {
            return "time";
        }
        return "";
    }

    void received(const std::uint8_t* bytes, std::uint32_t count) {
        std::vector<std::string> lines;
        lines_.feed(bytes, count, lines);
        for (const std::string& line : lines) {
            show(line);
        }
    }

    void show(const std::string& text) {
        ++shown_;
        const double seconds = secondsBetween(started_, clock_.now());
        std::string line = text;
        if (setup_.timestamps) {
            char stamp[32];
            std::snprintf(stamp, sizeof stamp, "[%9.3f] ", seconds);
            line = stamp + line;
        }
        if (view_.mode() == RenderMode::Json) {
            view_.emitJson(
                view_.event("output").text("text", text).number("seconds", seconds).str());
        } else {
            view_.line(setup_.out, line);
        }
        if (setup_.log != nullptr) {
            setup_.log->add((setup_.severalPorts ? view_.port() + ": " : std::string()) + line +
                            "\n");
        }
    }

    // The monitor's own words: a line on stderr, or the event.
    void notice(const std::string& text, const JsonObject& event) {
        if (view_.mode() == RenderMode::Json) {
            view_.emitJson(event.str());
        } else if (setup_.notices) {
            view_.line(setup_.err, "-- " + text + " --");
        }
    }

    void gone() {
        link_.close();
        goneAt_ = clock_.now();
        if (const auto rest = lines_.rest()) {
            show(*rest);
        }
        notice("port gone; waiting for it to come back", view_.event("port_gone"));
    }

    // Waits a little, then looks for the port once: a port that opens and fails again at
    // once is tried no more often than a missing one.
    void reopen() {
        const Clock::Duration wait = waitLeft(kPortPollInterval);
        if (wait.count() == 0) {
            return;
        }
        clock_.sleepFor(wait);
        if (*ended() != '\0' || link_.open(path_.c_str(), setup_.baud) == 0) {
            return;
        }
        const double gap = secondsBetween(goneAt_, clock_.now());
        notice("port back after " + secondsText(gap), view_.event("port_back").number("gap", gap));
    }

    const MonitorSetup& setup_;
    BoardView& view_;
    SerialLink& link_;
    const std::string& path_;
    Clock& clock_;
    MonitorLines lines_;
    Clock::TimePoint started_{};
    Clock::TimePoint goneAt_{};
    std::optional<Clock::TimePoint> deadline_;
    std::int64_t shown_ = 0;
};

}  // namespace

bool monitorPort(const MonitorSetup& setup, BoardView& view, SerialLink& link,
                 const std::string& path, Clock& clock) {
    return PortMonitor(setup, view, link, path, clock).run();
}

}  // namespace tervan::cli
