#include "cli/OptionValues.h"

#include <charconv>

#include "cli/SystemPorts.h"
#include "protocol/ChipModel.h"

namespace tervan::cli {

std::string listOfChoices(const std::vector<std::string>& choices) {
    std::string text;
    for (std::size_t i = 0; i < choices.size(); ++i) {
        if (i > 0) {
            text += i + 1 == choices.size() ? " or " : ", ";
        }
        text += choices[i];
    }
    return text;
}

namespace {

// "256 (SAM7S256/128) or 64 (SAM7S64/32)", for the error on a --model value that names none.
std::string modelChoicesText() {
    std::vector<std::string> choices;
    for (const ChipModel& model : chipModels()) {
        choices.push_back(std::string(model.commandName) + " (" + model.windowName + ")");
    }
    return listOfChoices(choices);
}

}  // namespace

std::string applyPort(CliOptions& o, const std::string& port) {
    PortChoice choice{port, port, std::nullopt};
    if (const auto com = parseComName(port)) {
        choice.path = com->path;
        choice.comIndex = com->index;
    } else if (!isDevicePath(port)) {  // a device path is used as it is
        return "--port takes COM1 ... COM" + std::to_string(kHighestComNumber) +
               " or a device path such as " + portHelpTexts().devicePathExample + ", not '" + port +
               "'";
    }
    for (const PortChoice& earlier : o.ports) {
        if (earlier.path == choice.path) {
            return "--port " + port + " is given twice";
        }
    }
    if (o.ports.empty()) {
        o.comPortPath = choice.path;
        o.comIndex = choice.comIndex;
    }
    o.ports.push_back(choice);
    return {};
}

std::string applyDevice(CliOptions& o, const std::string& name) {
    if (name.empty()) {
        return "--device needs a device name";
    }
    for (const std::string& earlier : o.usbDevices) {
        if (earlier == name) {
            return "--device " + name + " is given twice";
        }
    }
    o.usbDevices.push_back(name);
    return {};
}

namespace {

// A whole number from `low` up, or nothing.
std::optional<int> countOf(const std::string& text, int low) {
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [at, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || at != end || value < low) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::string applyRepeat(CliOptions& o, const std::string& count) {
    const auto boards = countOf(count, 0);
    if (!boards) {
        return "--repeat takes a number of boards (0: until Ctrl-C), not '" + count + "'";
    }
    o.repeat = *boards;
    return {};
}

std::string applyWait(CliOptions& o, const std::string& seconds) {
    const auto wait = countOf(seconds, 1);
    if (!wait) {
        return "--wait takes a number of seconds from 1, not '" + seconds + "'";
    }
    o.waitSeconds = *wait;
    return {};
}

std::string applyReceipt(CliOptions& o, const std::string& path) {
    o.receiptPath = path;
    return path.empty() ? "--receipt needs a file" : "";
}

std::string applyTrace(CliOptions& o, const std::string& path) {
    o.tracePath = path;
    return path.empty() ? "--trace needs a file" : "";
}

std::string applyMonitor(CliOptions& o, const std::string& baud) {
    o.monitorBaud = kMonitorDefaultBaud;
    if (baud.empty()) {
        return {};
    }
    const auto rate = countOf(baud, 1);
    if (!rate || *rate > kMonitorHighestBaud) {
        return "--monitor takes a baud rate from 1 to " + std::to_string(kMonitorHighestBaud) +
               ", not '" + baud + "'";
    }
    o.monitorBaud = static_cast<std::uint32_t>(*rate);
    return {};
}

std::string applyMonitorSeconds(CliOptions& o, const std::string& seconds) {
    const auto limit = countOf(seconds, 1);
    if (!limit) {
        return "--monitor-seconds takes a number of seconds from 1, not '" + seconds + "'";
    }
    o.monitorSeconds = *limit;
    return {};
}

std::string applyLog(CliOptions& o, const std::string& path) {
    o.logPath = path;
    return path.empty() ? "--log needs a file" : "";
}

std::string applyModel(CliOptions& o, const std::string& model) {
    const auto stored = modelByCommandName(model);
    if (!stored) {
        return "--model takes " + modelChoicesText() + ", not '" + model + "'";
    }
    o.targetModel = *stored;
    return {};
}

std::string applyThen(CliOptions& o, const std::string& then) {
    if (then == "reset") {
        o.then = FollowUp::Reset;
    } else if (then == "run") {
        o.then = FollowUp::Run;
    } else {
        return "--then takes reset or run, not '" + then + "'";
    }
    return {};
}

std::string applyFormat(CliOptions& o, const std::string& format) {
    o.givenFormat = imageFormatByName(format);
    return o.givenFormat ? "" : "--format takes bin, hex, srec or elf, not '" + format + "'";
}

std::string applyBase(CliOptions& o, const std::string& address) {
    // 0x... in hex, or else decimal; a whole 32-bit address.
    const bool hex = address.size() > 2 && address[0] == '0' && (address[1] | 0x20) == 'x';
    const char* first = address.data() + (hex ? 2 : 0);
    const char* end = address.data() + address.size();
    std::uint32_t value = 0;
    const auto [at, ec] = std::from_chars(first, end, value, hex ? 16 : 10);
    if (first == end || ec != std::errc() || at != end) {
        return "--base takes an address such as 0x00200000, not '" + address + "'";
    }
    o.imageBase = value;
    return {};
}

std::string applyRoot(CliOptions& o, const std::string& root) {
    o.deviceRoot = root;
    return root.empty() ? "--root needs a folder" : "";
}

std::string applyUsbId(CliOptions& o, const std::string& text) {
    o.usbId = parseUsbId(text);
    return o.usbId ? ""
                   : "--usb-id takes the vendor and product ids as lsusb shows them, such as "
                     "03eb:6124, not '" +
                         text + "'";
}

std::string applyUsbSerial(CliOptions& o, const std::string& serial) {
    o.usbSerial = serial;
    return serial.empty() ? "--usb-serial needs a serial number" : "";
}

std::string applyUdevRule(CliOptions& o, const std::string& text) {
    o.udevRuleId = parseUsbId(text);
    o.action = CliAction::UdevRule;
    return o.udevRuleId ? ""
                        : "--udev-rule takes the vendor and product ids as lsusb shows them, such "
                          "as 03eb:6124, not '" +
                              text + "'";
}

namespace {

// The COM ports a link in ports/ can make: the ones the window lists.
constexpr std::int32_t kLinkedComPorts = 10;

}  // namespace

std::string applyLink(CliOptions& o, const std::string& port) {
    const auto com = parseComName(port);
    if (!com || com->index >= kLinkedComPorts) {
        return "--link takes COM1 ... COM" + std::to_string(kLinkedComPorts) +
               " (the ports the window lists), not '" + port + "'";
    }
    o.action = CliAction::Link;
    o.linkNumber = com->index + 1;
    return {};
}

}  // namespace tervan::cli
