// How each option's value is read into the options: one function per option that takes a
// value, returning the error for a value it cannot use (empty when it took it).
#pragma once

#include <string>
#include <vector>

#include "cli/CliOptions.h"

namespace tervan::cli {

inline constexpr const char* kUsbOrPort = "--usb and --port exclude each other";
inline constexpr const char* kRamOrRom = "--ram and --rom exclude each other";

// "a", "a or b", "a, b or c".
std::string listOfChoices(const std::vector<std::string>& choices);

std::string applyPort(CliOptions& o, const std::string& port);
std::string applyDevice(CliOptions& o, const std::string& name);
std::string applyRepeat(CliOptions& o, const std::string& count);
std::string applyWait(CliOptions& o, const std::string& seconds);
std::string applyReceipt(CliOptions& o, const std::string& path);
std::string applyTrace(CliOptions& o, const std::string& path);
std::string applyMonitor(CliOptions& o, const std::string& baud);
std::string applyMonitorSeconds(CliOptions& o, const std::string& seconds);
std::string applyLog(CliOptions& o, const std::string& path);
std::string applyModel(CliOptions& o, const std::string& model);
std::string applyThen(CliOptions& o, const std::string& then);
std::string applyFormat(CliOptions& o, const std::string& format);
std::string applyBase(CliOptions& o, const std::string& address);
std::string applyRoot(CliOptions& o, const std::string& root);
std::string applyUsbId(CliOptions& o, const std::string& text);
std::string applyUsbSerial(CliOptions& o, const std::string& serial);
std::string applyUdevRule(CliOptions& o, const std::string& text);
std::string applyLink(CliOptions& o, const std::string& port);

}  // namespace tervan::cli
