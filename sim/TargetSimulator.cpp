// The public face of the virtual target: start and stop, the board's reset button, and what
// callers read back. The loader itself runs on its own thread (Loader.cpp, LoaderThread.cpp).
#include <sys/eventfd.h>
#include <unistd.h>

#include <filesystem>

#include "sim/TargetSimulatorImpl.h"

namespace tervan::sim {
namespace {

using std::chrono::milliseconds;

// Why the configuration cannot be used, or nothing.
std::optional<std::string> unusable(const SimConfig& config) {
    const bool serial = config.transport == SimConfig::Transport::Serial;
    if (config.root.empty()) {
        return "no root folder given";
    }
    if (serial && (config.comNumber < 1 || config.comNumber > 255)) {
        return "COM number out of range: " + std::to_string(config.comNumber);
    }
    if (!serial &&
        (config.deviceName.empty() || config.deviceName == "." || config.deviceName == ".." ||
         config.deviceName.find('/') != std::string::npos)) {
        return "unusable device name: " + config.deviceName;
    }
    if (config.readyDelayMs < 0 || config.noiseBytes < 0 || config.answerDelayMs < 0 ||
        config.pageWriteDelayMs < 0) {
        return "delays and counts cannot be negative";
    }
    for (const auto& [number, answers] : config.forcedAnswers) {
        if (number < 0 || answers.empty()) {
            return "unusable forced answer for frame " + std::to_string(number);
        }
    }
    return std::nullopt;
}

}  // namespace

TargetSimulator::TargetSimulator(SimConfig config)
    : impl_(std::make_unique<Impl>(std::move(config))) {}

TargetSimulator::~TargetSimulator() {
    stop();
}

bool TargetSimulator::start(std::string* error) {
    Impl& d = *impl_;
    if (d.started) {
        if (error != nullptr) {
            *error = "already started";
        }
        return false;
    }
    auto fail = [&](const std::string& why) {
        if (error != nullptr) {
            *error = why;
        }
        d.closeLog();
        d.line.reset();
        return false;
    };
    if (const auto reason = unusable(d.config)) {
        return fail(*reason);
    }
    d.flash.assign(d.model.flashSize, 0xFF);
    d.ram.assign(d.model.ramSize, 0x00);
    if (d.config.baudRate > 0) {
        d.byteTime = std::chrono::duration_cast<Duration>(
            std::chrono::nanoseconds(10'000'000'000ull / d.config.baudRate));
    }
    // The images are written only at the end: a folder they cannot go to is refused now.
    for (const std::string& file : {d.config.flashFile, d.config.ramFile}) {
        const std::string folder = std::filesystem::path(file).parent_path().string();
        if (!file.empty() && ::access(folder.empty() ? "." : folder.c_str(), W_OK) != 0) {
            return fail("cannot write " + file);
        }
    }
    if (!d.config.logFile.empty()) {
        d.log = std::fopen(d.config.logFile.c_str(), "w");
        if (d.log == nullptr) {
            return fail("cannot write " + d.config.logFile);
        }
    }
    d.line = d.serial() ? makeSerialLine(d.config.root, d.config.comNumber)
                        : makeUsbLine(d.config.root, d.config.deviceName);
    std::string reason;
    if (!d.line->create(&reason)) {
        return fail(reason);
    }
    d.wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (d.wakeFd < 0) {
        return fail("cannot create an event descriptor");
    }
    d.startTime = Clock::now();
    d.logLine(std::string("\"event\":\"start\",\"transport\":\"") +
              (d.serial() ? "serial" : "usb") + "\",\"model\":\"" + d.model.windowName +
              "\",\"path\":" + jsonString(d.line->path()));
    d.reset(ResetCause::Start, d.startTime);
    d.started = true;
    d.thread = std::thread([&d] { d.run(); });
    return true;
}

void TargetSimulator::stop() {
    Impl& d = *impl_;
    if (!d.started || d.stopped.exchange(true)) {
        return;
    }
    d.stopRequested = true;
    d.wake();
    d.thread.join();
    writeOutputs();
    d.line->remove();
    d.logLine("\"event\":\"stop\"");
    d.closeLog();
    ::close(d.wakeFd);
    d.wakeFd = -1;
}

void TargetSimulator::reset() {
    Impl& d = *impl_;
    if (d.started && !d.stopped) {
        d.resetRequested = true;
        d.wake();
    }
}

const SimConfig& TargetSimulator::config() const {
    return impl_->config;
}

std::string TargetSimulator::portPath() const {
    return impl_->serial() && impl_->line ? impl_->line->path() : std::string();
}

std::string TargetSimulator::slavePath() const {
    return impl_->line ? impl_->line->slavePath() : std::string();
}

std::string TargetSimulator::devicePath() const {
    return !impl_->serial() && impl_->line ? impl_->line->path() : std::string();
}

std::string TargetSimulator::description() const {
    const Impl& d = *impl_;
    const std::string where = d.line ? d.line->describe() : std::string();
    if (d.serial()) {
        return "serial target on COM" + std::to_string(d.config.comNumber) + " (" + where +
               "), model " + d.model.windowName;
    }
    return "usb target " + d.config.deviceName + " (" + where + "), model " + d.model.windowName;
}

std::vector<std::uint8_t> TargetSimulator::flash() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->flash;
}

std::vector<std::uint8_t> TargetSimulator::ram() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->ram;
}

std::vector<FrameRecord> TargetSimulator::frames() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->frames;
}

std::vector<SentByte> TargetSimulator::sentBytes() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->sent;
}

SimCounters TargetSimulator::counters() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->counters;
}

int TargetSimulator::handshakeBytes() const {
    return counters().handshakeBytes;
}

bool TargetSimulator::waitUntil(const std::function<bool(const SimCounters&)>& condition,
                                int timeoutMs) const {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    return impl_->changed.wait_for(lock, milliseconds(timeoutMs),
                                   [&] { return condition(impl_->counters); });
}

bool TargetSimulator::waitForFrames(std::size_t count, int timeoutMs) const {
    return waitUntil([count](const SimCounters& c) { return c.framesReceived >= count; },
                     timeoutMs);
}

const char* modelName(int model) {
    return chipModel(model).windowName;
}

}  // namespace tervan::sim
