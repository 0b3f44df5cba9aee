// Every text the window shows for a session: the status line while a sequence runs, and the
// message box, status line and beep chosen from how a sequence ended. They are the window's
// own words and stay exactly as they are, typos included.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "protocol/Outcome.h"
#include "protocol/SessionSink.h"

namespace tervan {

inline constexpr const char* kConnectedText = "Connected";
inline constexpr const char* kDisconnectedText = "Disconnected";
inline constexpr const char* kDownloadingText = "Downloading...";
inline constexpr const char* kTooManyDevicesText = "To many devices!\n";
// The status of a connect wait without a deadline, in place of the countdown.
inline constexpr const char* kWaitingForTargetText = "Press reset on target!";

std::string countdownText(int seconds);
// The USB transport's status after a failed read while connecting.
std::string returnCodeText(std::uint16_t status);
std::string addedDeviceText(std::int32_t count);
std::string deviceNotOpenableText(std::int32_t deviceNumber, const std::string& path);
// The image file is not read while a process still writes it; `writer` names that process
// ("process 1234 (ld)").
std::string imageBeingWrittenText(const std::string& writer);

// The sequences whose endings the window reports, each in its own way.
enum class Sequence {
    Connect,
    Download,
    Command,    // reset or run RAM
    ImageFile,  // reading or checking the chosen file
};

// What the window shows when a sequence ends: a message box (then) the status line (then) a
// beep, each only where it is set.
struct Presentation {
    std::string message;
    std::string status;
    std::optional<BeepKind> beep;
};

Presentation presentationOf(Sequence sequence, const Outcome& outcome);

}  // namespace tervan
