#include "cli/CliWindow.h"

#include <algorithm>
#include <cmath>
#include <mutex>

namespace tervan::cli {
namespace {

constexpr const char* kCountdownPrefix = "Press reset on target! ";
constexpr const char* kDownloadingText = "Downloading...";
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kBarWidth = 30;

bool isCountdown(const std::string& text) {
    return text.rfind(kCountdownPrefix, 0) == 0;
}

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

// One lock for every window of the program: a line goes out whole even when several boards
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

CliWindow::CliWindow(RenderMode mode, std::FILE* out, std::FILE* err, std::string port,
                     bool prefixLines)
    : mode_(mode),
      out_(out),
      err_(err),
      port_(std::move(port)),
      prefix_(prefixLines && !port_.empty() ? terminalText(port_) + ": " : "") {}

JsonObject CliWindow::event(const char* name) const {
    JsonObject object;
    object.text("event", name);
    if (!port_.empty()) {
        object.text("port", port_);
    }
    return object;
}

void CliWindow::line(std::FILE* stream, const std::string& text) {
    const std::lock_guard<std::recursive_mutex> hold(outputLock());
    closeLiveLine();
    const std::string whole = prefix_ + text + "\n";
    std::fputs(whole.c_str(), stream);
    std::fflush(stream);
}

// ---- controls ----

void CliWindow::setControlText(int id, const std::string& text) {
    switch (id) {
        case kPathField:
            pathText_ = text;
            break;
        case kSizeLabel:
            sizeText_ = text;
            break;
        case kStatusLine:
            if (text != status_) {
                status_ = text;
                statusChanged();
            }
            break;
        default:
            break;
    }
}

std::string CliWindow::controlText(int id) {
    switch (id) {
        case kPathField:
            return pathText_;
        case kSizeLabel:
            return sizeText_;
        case kStatusLine:
            return status_;
        default:
            return {};
    }
}

void CliWindow::setChecked(int id, bool checked) {
    checked_[id] = checked;
}

bool CliWindow::isChecked(int id) {
    const auto found = checked_.find(id);
    return found != checked_.end() && found->second;
}

void CliWindow::selectListEntry(int, int index) {
    comSelection_ = index;
}

int CliWindow::selectedListEntry(int) {
    return comSelection_;
}

void CliWindow::enableControl(int id, bool enabled) {
    enabled_[id] = enabled;
}

bool CliWindow::isControlEnabled(int id) {
    const auto found = enabled_.find(id);
    return found == enabled_.end() || found->second;
}

// ---- status ----

void CliWindow::statusChanged() {
    statuses_.push_back(status_);
    if (transferring_ && status_ != kDownloadingText) {
        // The download has ended, one way or the other: show where it stopped.
        transferring_ = false;
        finished_ = Clock::now();
        if (mode_ == RenderMode::Bar && pendingDraw_) {
            drawBar(true);
        }
    }
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
            const bool countdown = isCountdown(status_);
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

void CliWindow::setProgressRange(std::uint16_t, std::uint16_t upper) {
    // The controller sets the range once, right before the first page of a download.
    transferring_ = true;
    ++downloads_;
    frames_ = -1;
    rangeUpper_ = upper;
    total_ = session_ != nullptr ? session_->imageLength : 0;
    pageSize_ = session_ != nullptr ? session_->pageSize : 0;
    bytesSent_ = 0;
    lastTenth_ = 0;
    pendingDraw_ = false;
    started_ = Clock::now();
    finished_ = started_;
    lastDraw_ = started_;
}

void CliWindow::setProgressPosition(std::int16_t position) {
    position_ = position;
    if (!transferring_) {
        return;  // the disconnected state puts the bar back to 0
    }
    if (frames_ < 0) {
        frames_ = 0;  // the start position of the download
        return;
    }
    ++frames_;
    frameDone();
}

void CliWindow::frameDone() {
    // Pages go out in order and every one but the last is whole.
    const std::uint64_t bytes = static_cast<std::uint64_t>(frames_) * pageSize_;
    bytesSent_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(bytes, total_));
    finished_ = Clock::now();
    switch (mode_) {
        case RenderMode::Quiet:
            break;
        case RenderMode::Json:
            emitJson(event("progress")
                         .number("position", static_cast<std::int64_t>(position_))
                         .number("range", static_cast<std::int64_t>(rangeUpper_))
                         .number("bytes", static_cast<std::int64_t>(bytesSent_))
                         .number("total", static_cast<std::int64_t>(total_))
                         .str());
            break;
        case RenderMode::Lines:
            progressLine();
            break;
        case RenderMode::Bar:
            pendingDraw_ = true;  // drawn by the repaint that follows every page
            break;
    }
}

void CliWindow::repaint() {
    if (mode_ == RenderMode::Bar && transferring_ && pendingDraw_) {
        drawBar(bytesSent_ == total_);
    }
}

double CliWindow::transferSeconds() const {
    return std::chrono::duration<double>(finished_ - started_).count();
}

std::string CliWindow::progressFigures() const {
    const double seconds = transferSeconds();
    std::string figures = kibibytes(bytesSent_) + " of " + kibibytes(total_);
    if (seconds > 0.05 && bytesSent_ > 0) {
        const double rate = bytesSent_ / seconds;
        figures += ", " + kibibytes(rate) + "/s";
        if (bytesSent_ < total_) {
            figures += ", " + minutesAndSeconds((total_ - bytesSent_) / rate) + " left";
        } else {
            figures += ", in " + minutesAndSeconds(seconds);
            if (session_ != nullptr) {
                const TransferRecord& sent = session_->lastTransfer;
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

void CliWindow::progressLine() {
    if (total_ == 0) {
        return;
    }
    const int tenth = static_cast<int>(static_cast<std::uint64_t>(bytesSent_) * 10 / total_);
    if (tenth <= lastTenth_) {
        return;
    }
    lastTenth_ = tenth;
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", tenth * 10);
    line(out_, std::string(percent) + " (" + progressFigures() + ")");
}

void CliWindow::drawBar(bool force) {
    const auto now = Clock::now();
    if (!force && now - lastDraw_ < kRedrawInterval) {
        return;
    }
    lastDraw_ = now;
    pendingDraw_ = false;
    const std::lock_guard<std::recursive_mutex> hold(outputLock());
    const double share = total_ == 0 ? 0.0 : static_cast<double>(bytesSent_) / total_;
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

void CliWindow::closeLiveLine() {
    const std::lock_guard<std::recursive_mutex> hold(outputLock());
    if (live_) {
        std::fputc('\n', out_);
        std::fflush(out_);
        live_ = false;
    }
}

void CliWindow::messageBox(const std::string& text) {
    messages_.push_back(text);
    if (mode_ == RenderMode::Json) {
        emitJson(event("message").text("text", text).str());
    }
    line(err_, singleLine(text));
}

void CliWindow::explain(const std::string& reason, const char* eventName) {
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

void CliWindow::report(const std::string& text) {
    line(err_, singleLine(text));
}

void CliWindow::beep(BeepKind kind) {
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

void CliWindow::emitJson(const std::string& object) {
    if (mode_ != RenderMode::Json) {
        return;
    }
    const std::lock_guard<std::recursive_mutex> hold(outputLock());
    const std::string whole = object + "\n";
    std::fputs(whole.c_str(), out_);
    std::fflush(out_);  // a driving program sees each event as it happens
}

void CliWindow::finish() {
    if (mode_ == RenderMode::Bar && pendingDraw_) {
        drawBar(true);
    }
    closeLiveLine();
}

}  // namespace tervan::cli
