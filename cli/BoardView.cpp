#include "cli/BoardView.h"

#include <algorithm>
#include <cmath>
#include <mutex>

namespace tervan::cli {
namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kBarWidth = 30;

std::string kibibytes(double bytes) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f KiB", bytes / 1024.0);
    return buffer;
}

std::string minutesAndSeconds(double seconds) {
    const long whole = std::lround(std::max(0.0, seconds));
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%ld:%02ld", whole / 60, whole % 60);
    return buffer;
}

// One lock for every view of the program: a line goes out whole even when several boards
// report at once. Recursive, since a message closes the live line while it holds it.
std::recursive_mutex& outputLock() {
    static std::recursive_mutex lock;
    return lock;
}

}  // namespace

double wireSeconds(std::uint64_t bytes) {
    return static_cast<double>(bytes) * 10.0 / kSerialBaudRate;
}

std::string singleLine(const std::string& text) {
    std::string line = text;
    for (char& c : line) {
        if (c == '\n' || c == '\r' || c == '\t') {
            c = ' ';
        }
    }
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    return terminalText(line);
}

BoardView::BoardView(RenderMode mode, std::FILE* out, std::FILE* err, std::string port,
                     bool prefixLines)
    : mode_(mode),
      out_(out),
      err_(err),
      port_(std::move(port)),
      prefix_(prefixLines && !port_.empty() ? terminalText(port_) + ": " : "") {}

JsonObject BoardView::event(const char* name) const {
    JsonObject object;
    object.text("event", name);
    if (!port_.empty()) {
        object.text("port", port_);
    }
    return object;
}

void BoardView::line(std::FILE* stream, const std::string& text) {
    const std::lock_guard<std::recursive_mutex> hold(outputLock());
    closeLiveLine();
    const std::string whole = prefix_ + text + "\n";
    std::fputs(whole.c_str(), stream);
    std::fflush(stream);
}

// ---- status ----

void BoardView::status(const std::string& text) {
    const bool countdown = countdownNext_;
    countdownNext_ = false;
    if (text == status_) {
        return;
    }
    status_ = text;
    switch (mode_) {
        case RenderMode::Quiet:
            break;
        case RenderMode::Json:
            emitJson(event("status").text("text", status_).str());
            break;
        case RenderMode::Lines:
            line(out_, singleLine(status_));
            break;
        case RenderMode::Bar: {
            const std::lock_guard<std::recursive_mutex> hold(outputLock());
            if (live_ && countdown && liveIsCountdown_) {
                std::fputs("\r\033[K", out_);  // the countdown replaces itself
            } else if (live_) {
                std::fputc('\n', out_);
            }
            std::fputs(singleLine(status_).c_str(), out_);
            live_ = true;
            liveIsCountdown_ = countdown;
            std::fflush(out_);
            break;
        }
    }
}

// ---- progress ----

void BoardView::progressed(const SessionProgress& progress) {
    switch (progress.phase) {
        case SessionPhase::Waiting:
            // Counting passes replace each other on the terminal; the endless wait's one text
            // stays as it is.
            countdownNext_ = progress.secondsLeft > 0;
            break;
        case SessionPhase::Started:
            transferring_ = true;
            shown_ = progress;
            lastTenth_ = 0;
            pendingDraw_ = false;
            started_ = SteadyClock::now();
            finished_ = started_;
            lastDraw_ = started_;
            break;
        case SessionPhase::Page:
            shown_ = progress;
            finished_ = SteadyClock::now();
            pageDone();
            break;
        case SessionPhase::Ended:
            if (transferring_) {
                // Show where the download stopped.
                transferring_ = false;
                finished_ = SteadyClock::now();
                if (mode_ == RenderMode::Bar && pendingDraw_) {
                    drawBar(true);
                }
            }
            break;
    }
}

void BoardView::pageDone() {
    switch (mode_) {
        case RenderMode::Quiet:
            break;
        case RenderMode::Json:
            emitJson(event("progress")
                         .number("position", static_cast<std::int64_t>(shown_.position))
                         .number("range", static_cast<std::int64_t>(shown_.range))
                         .number("bytes", static_cast<std::int64_t>(shown_.bytes))
                         .number("total", static_cast<std::int64_t>(shown_.total))
                         .str());
            break;
        case RenderMode::Lines:
            progressLine();
            break;
        case RenderMode::Bar:
            pendingDraw_ = true;
            drawBar(shown_.bytes == shown_.total);
            break;
    }
}

double BoardView::shownSeconds() const {
    return std::chrono::duration<double>(finished_ - started_).count();
}

std::string BoardView::progressFigures() const {
    const double seconds = shownSeconds();
    const std::uint32_t bytes = shown_.bytes;
    const std::uint32_t total = shown_.total;
    std::string figures = kibibytes(bytes) + " of " + kibibytes(total);
    if (seconds > 0.05 && bytes > 0) {
        const double rate = bytes / seconds;
        figures += ", " + kibibytes(rate) + "/s";
        if (bytes < total) {
            figures += ", " + minutesAndSeconds((total - bytes) / rate) + " left";
        } else {
            figures += ", in " + minutesAndSeconds(seconds);
            if (record_ != nullptr) {
                const TransferRecord& sent = *record_;
                const double wire = wireSeconds(sent.bytesOut + sent.bytesIn);
                char buffer[96];
                std::snprintf(buffer, sizeof buffer, "; wire time at %u baud %.1f s, ratio %.3f",
                              static_cast<unsigned>(kSerialBaudRate), wire, wire / seconds);
                figures += buffer;
            }
        }
    }
    return figures;
}

void BoardView::progressLine() {
    if (shown_.total == 0) {
        return;
    }
    const int tenth =
        static_cast<int>(static_cast<std::uint64_t>(shown_.bytes) * 10 / shown_.total);
    if (tenth <= lastTenth_) {
        return;
    }
    lastTenth_ = tenth;
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", tenth * 10);
    line(out_, std::string(percent) + " (" + progressFigures() + ")");
}

void BoardView::drawBar(bool force) {
    const auto now = SteadyClock::now();
    if (!force && now - lastDraw_ < kRedrawInterval) {
        return;
    }
    lastDraw_ = now;
    pendingDraw_ = false;
    const std::lock_guard<std::recursive_mutex> hold(outputLock());
    const double share = shown_.total == 0 ? 0.0 : static_cast<double>(shown_.bytes) / shown_.total;
    const int filled = static_cast<int>(share * kBarWidth);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(kBarWidth - filled), '-');
    std::fprintf(out_, "\r\033[K%s [%s] %3d%% %s", singleLine(status_).c_str(), bar.c_str(),
                 static_cast<int>(share * 100), progressFigures().c_str());
    live_ = true;
    liveIsCountdown_ = false;
    std::fflush(out_);
}

// ---- messages ----

void BoardView::closeLiveLine() {
    const std::lock_guard<std::recursive_mutex> hold(outputLock());
    if (live_) {
        std::fputc('\n', out_);
        std::fflush(out_);
        live_ = false;
    }
}

void BoardView::message(const std::string& text) {
    if (mode_ == RenderMode::Json) {
        emitJson(event("message").text("text", text).str());
    }
    line(err_, singleLine(text));
}

void BoardView::explain(const std::string& reason, const char* eventName) {
    if (reason.empty()) {
        return;
    }
    if (mode_ == RenderMode::Json) {
        emitJson(event(eventName).text("text", reason).str());
    }
    std::size_t start = 0;
    for (std::size_t end = 0; end != std::string::npos; start = end + 1) {
        end = reason.find('\n', start);
        line(err_, "  " + singleLine(reason.substr(start, end - start)));
    }
}

void BoardView::report(const std::string& text) {
    line(err_, singleLine(text));
}

void BoardView::beep(BeepKind kind) {
    if (mode_ == RenderMode::Json) {
        emitJson(event("beep")
                     .text("kind", kind == BeepKind::Exclamation ? "exclamation" : "default")
                     .str());
    } else if (mode_ == RenderMode::Bar) {
        const std::lock_guard<std::recursive_mutex> hold(outputLock());
        std::fputc('\a', out_);
        std::fflush(out_);
    }
}

void BoardView::emitJson(const std::string& object) {
    if (mode_ != RenderMode::Json) {
        return;
    }
    const std::lock_guard<std::recursive_mutex> hold(outputLock());
    const std::string whole = object + "\n";
    std::fputs(whole.c_str(), out_);
    std::fflush(out_);  // a driving program sees each event as it happens
}

void BoardView::finish() {
    if (mode_ == RenderMode::Bar && pendingDraw_) {
        drawBar(true);
    }
    closeLiveLine();
}

}  // namespace tervan::cli
