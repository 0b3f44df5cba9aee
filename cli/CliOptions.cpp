#include "cli/CliOptions.h"

#include <charconv>
#include <string_view>

#include "cli/SystemPorts.h"
#include "link/ComName.h"
#include "protocol/ChipModel.h"

namespace tervan::cli {

std::optional<ComName> parseComName(const std::string& text) {
    // A user names a port by its plain number: no sign.
    const auto number = comNumberOf(text);
    if (!number || text.find_first_of("+-") != std::string::npos || *number < 1 ||
        *number > kHighestComNumber) {
        return std::nullopt;
    }
    const auto n = static_cast<std::int32_t>(*number);
    return ComName{std::string(kDevicePrefix) + "COM" + std::to_string(n), n - 1};
}

namespace {

// "a", "a or b", "a, b or c".
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

// "256 (SAM7S256/128) or 64 (SAM7S64/32)", for the error on a --model value that names none.
std::string modelChoicesText() {
    std::vector<std::string> choices;
    for (const ChipModel& model : chipModels()) {
        choices.push_back(std::string(model.commandName) + " (" + model.windowName + ")");
    }
    return listOfChoices(choices);
}

// The --help line of --model, its text in the column of the other options' texts.
std::string modelOption() {
    constexpr std::size_t kTextColumn = 22;
    std::string line = "  --model ";
    std::vector<std::string> names;
    for (const ChipModel& model : chipModels()) {
        if (!names.empty()) {
            line += '|';
        }
        line += model.commandName;
        names.push_back(model.windowName);
    }
    line.append(line.size() + 2 < kTextColumn ? kTextColumn - line.size() : 2, ' ');
    return line + listOfChoices(names) + "\n";
}

// What the options without a value set while the arguments are read; the action and the
// output style are chosen from them at the end.
struct Pending {
    bool help = false;
    bool version = false;
    bool listPorts = false;
    bool json = false;
    bool quiet = false;
    bool force = false;
    bool all = false;
};

// One of two exclusive choices held in an optional field: the option sets `field` to `value`,
// and a field already set to the other value is a conflict.
struct Choice {
    std::optional<std::int32_t> CliOptions::*field = nullptr;
    std::int32_t value = 0;
    const char* conflict = nullptr;
};

// Applies an option's value; returns the error, if any.
using ApplyValue = std::string (*)(CliOptions&, const std::string& value);

// An option takes a value exactly when it has a way to apply one.
struct OptionRow {
    std::string_view name;
    std::string_view shortName;  // empty for none
    bool Pending::*flag;         // set by an option without a value
    Choice choice;
    ApplyValue applyValue;
};

constexpr const char* kUsbOrPort = "--usb and --port exclude each other";
constexpr const char* kRamOrRom = "--ram and --rom exclude each other";

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

// The COM ports a link in ports/ can make: the ones the window lists.
constexpr std::int32_t kLinkedComPorts = 10;

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

constexpr OptionRow kOptions[] = {
    {"--help", "-h", &Pending::help, {}, nullptr},
    {"--version", "-V", &Pending::version, {}, nullptr},
    {"--list-ports", "", &Pending::listPorts, {}, nullptr},
    {"--link", "", nullptr, {}, applyLink},
    {"--force", "", &Pending::force, {}, nullptr},
    {"--usb", "", nullptr, {&CliOptions::interfaceKind, 0, kUsbOrPort}, nullptr},
    {"--port", "", nullptr, {&CliOptions::interfaceKind, 1, kUsbOrPort}, applyPort},
    {"--device", "", nullptr, {&CliOptions::interfaceKind, 0, kUsbOrPort}, applyDevice},
    {"--all", "", &Pending::all, {&CliOptions::interfaceKind, 0, kUsbOrPort}, nullptr},
    {"--usb-id", "", nullptr, {&CliOptions::interfaceKind, 0, kUsbOrPort}, applyUsbId},
    {"--usb-serial", "", nullptr, {&CliOptions::interfaceKind, 0, kUsbOrPort}, applyUsbSerial},
    {"--udev-rule", "", nullptr, {}, applyUdevRule},
    {"--repeat", "", nullptr, {}, applyRepeat},
    {"--wait", "", nullptr, {}, applyWait},
    {"--receipt", "", nullptr, {}, applyReceipt},
    {"--trace", "", nullptr, {}, applyTrace},
    {"--model", "", nullptr, {}, applyModel},
    {"--ram", "", nullptr, {&CliOptions::targetMemory, 1, kRamOrRom}, nullptr},
    {"--rom", "", nullptr, {&CliOptions::targetMemory, 0, kRamOrRom}, nullptr},
    {"--then", "", nullptr, {}, applyThen},
    {"--root", "", nullptr, {}, applyRoot},
    {"--json", "", &Pending::json, {}, nullptr},
    {"--quiet", "-q", &Pending::quiet, {}, nullptr},
};

const OptionRow* findOption(const std::string& name) {
    for (const OptionRow& row : kOptions) {
        if (name == row.name || (!row.shortName.empty() && name == row.shortName)) {
            return &row;
        }
    }
    return nullptr;
}

}  // namespace

ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    ParsedCommandLine result;
    CliOptions& o = result.options;
    Pending pending;
    bool optionsEnded = false;
    std::vector<std::string> positional;

    // The first mistake is the one reported.
    const auto fail = [&result](const std::string& text) {
        if (result.error.empty()) {
            result.error = text;
        }
    };

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (optionsEnded || argument.empty() || argument[0] != '-' || argument == "-") {
            positional.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = argument;
        std::optional<std::string> inlineValue;
        if (const auto equals = argument.find('=');
            argument.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = argument.substr(0, equals);
            inlineValue = argument.substr(equals + 1);
        }
        const OptionRow* row = findOption(name);
        if (row == nullptr) {
            fail("unknown option '" + name + "'");
            continue;
        }
        // The value of an option that takes one: after '=' or the next argument.
        std::string value;
        if (row->applyValue != nullptr) {
            if (inlineValue) {
                value = *inlineValue;
            } else if (i + 1 < arguments.size()) {
                value = arguments[++i];
            } else {
                fail("option '" + name + "' needs a value");
                continue;
            }
        } else if (inlineValue) {
            fail("option '" + name + "' takes no value");
        }
        if (const Choice& choice = row->choice; choice.field != nullptr) {
            std::optional<std::int32_t>& field = o.*choice.field;
            if (field && *field != choice.value) {
                fail(choice.conflict);
            }
            field = choice.value;
        }
        if (row->flag != nullptr) {
            pending.*row->flag = true;
        }
        if (row->applyValue != nullptr) {
            if (const std::string error = row->applyValue(o, value); !error.empty()) {
                fail(error);
            }
        }
    }
    if (pending.json) {
        o.output = OutputStyle::Json;
    }
    o.quiet = pending.quiet;
    o.allUsbDevices = pending.all;
    if (pending.all && !o.usbDevices.empty()) {
        fail("--all and --device exclude each other");
    }

    if (!o.usbSerial.empty() && !o.usbId) {
        fail("--usb-serial goes with --usb-id");
    }

    if (pending.help) {
        o.action = CliAction::Help;
        return result;  // --help wins over everything else, mistakes included
    }
    if (!result.error.empty()) {
        return result;
    }
    if (pending.version) {
        o.action = CliAction::Version;
        return result;
    }
    if (o.action == CliAction::UdevRule) {
        if (!positional.empty()) {
            fail("--udev-rule takes no image");
        }
        return result;
    }
    if (o.action == CliAction::Link) {
        o.force = pending.force;
        if (positional.size() != 1) {
            fail("--link COMn takes one device, such as " +
                 std::string(portHelpTexts().devicePathExample));
        } else {
            o.linkDevice = positional[0];
        }
        return result;
    }
    if (pending.force) {
        fail("--force goes with --link");
        return result;
    }
    if (pending.listPorts) {
        o.action = CliAction::ListPorts;
        if (!positional.empty()) {
            fail("--list-ports takes no image");
        }
        return result;
    }
    if (positional.empty()) {
        fail("no image file given");
    } else if (positional.size() > 1) {
        fail("one image file at a time (got '" + positional[0] + "' and '" + positional[1] + "')");
    } else {
        o.imagePath = positional[0];
    }
    return result;
}

std::string usageText(const std::string& program) {
    const PortHelpTexts& ports = portHelpTexts();
#ifdef _WIN32
    const char* settingsNote =
        "Options (choices left out come from tervan.ini beside the program, which the\n"
        "command line never changes):\n";
#else
    const char* settingsNote =
        "Options (choices left out come from the settings file, which the command line\n"
        "never changes: tervan.ini beside the program, or in ~/.config/tervan for a\n"
        "program installed for the whole system; ports/ is found there too):\n";
#endif
    return "Usage: " + program +
           " [options] IMAGE\n"
           "  or:  " +
           program +
           " --list-ports\n"
           "  or:  " +
           program +
           " --link COMn DEVICE [--force]\n"
           "  or:  " +
           program +
           " --udev-rule VID:PID\n"
           "\n"
           "Writes the raw image IMAGE (a .bin of at most 256 KiB) into an AT91SAM7S through\n"
           "its download loader: connects (press reset on the target while the countdown\n"
           "runs), downloads to flash or RAM, then optionally resets the target or starts\n"
           "the program in RAM.\n"
           "\n" +
           settingsNote + ports.portOption +
           "  --usb               the target's USB pipes instead of a serial port\n" +
           modelOption() +
           "  --ram, --rom        download to RAM (at most 64 KiB) or to flash\n"
           "  --then reset|run    after the download: reset the target (flash), or start\n"
           "                      the program in RAM (--ram)\n"
           "  --device NAME       with --usb: this USB device; once per device to write\n"
           "                      several at once\n"
           "  --all               with --usb: every USB device of the target's class\n"
           "  --usb-id VID:PID    Linux: the target on the USB bus by its ids, as lsusb\n"
           "                      shows them (implies --usb); --device then takes a bus\n"
           "                      path such as 1-2, and --all every device with the ids\n"
           "  --usb-serial S      with --usb-id: only the device with this serial number\n"
           "  --udev-rule VID:PID print the udev rule that lets the person at the seat\n"
           "                      open the device, for /etc/udev/rules.d\n"
           "  --repeat N          board after board on each port (0: until Ctrl-C)\n"
           "  --wait SECONDS      how long to wait for each board after the first\n"
           "                      (default: no limit)\n"
           "  --receipt FILE      add one JSON line per board to FILE\n"
           "  --trace FILE        write every byte in and out, with time stamps, to FILE\n" +
           ports.rootOption +
           "  --json              one JSON object per line for each event\n"
           "  -q, --quiet         no status or progress; messages still go to stderr\n" +
           ports.listPortsOption + ports.linkOption +
           "  -h, --help          this text\n"
           "  -V, --version       the program's version\n"
           "\n"
           "Exit status: 0 done; 1 the target rejected a frame or the transfer failed, or\n"
           "a receipt or the trace could not be written; 2 bad usage or a bad image;\n"
           "3 no connection (port missing or busy, no answer); 130 stopped by Ctrl-C,\n"
           "SIGTERM or SIGHUP. With several boards, the worst board's status.\n";
}

}  // namespace tervan::cli
