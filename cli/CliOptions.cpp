#include "cli/CliOptions.h"

#include <string_view>

#include "cli/OptionValues.h"
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
    bool timestamps = false;
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

// An option's lines in --help, in the column layout of the others: the same on every system,
// or the system's own, or built from the chip table. An option with none of them is shown in
// the lines of the one named by `shownWith`.
struct OptionHelp {
    std::string_view text;
    const char* PortHelpTexts::*systemText = nullptr;
    bool chipModels = false;
    std::string_view shownWith;
};

constexpr OptionHelp lines(std::string_view text) {
    return {text, nullptr, false, {}};
}
constexpr OptionHelp systemLines(const char* PortHelpTexts::*text) {
    return {{}, text, false, {}};
}
constexpr OptionHelp shownWith(std::string_view option) {
    return {{}, nullptr, false, option};
}
constexpr OptionHelp kChipModelLines{{}, nullptr, true, {}};

// An option takes a value exactly when it has a way to apply one. The rows stand in the
// order --help lists them.
struct OptionRow {
    std::string_view name;
    std::string_view shortName;  // empty for none
    bool Pending::*flag;         // set by an option without a value
    Choice choice;
    ApplyValue applyValue;
    OptionHelp help;
    // The value may be left out: only a next argument of digits is taken as it.
    bool valueOptional = false;
};

constexpr OptionRow kOptions[] = {
    {"--port",
     "",
     nullptr,
     {&CliOptions::interfaceKind, 1, kUsbOrPort},
     applyPort,
     systemLines(&PortHelpTexts::portOption)},
    {"--usb",
     "",
     nullptr,
     {&CliOptions::interfaceKind, 0, kUsbOrPort},
     nullptr,
     lines("  --usb               the target's USB pipes instead of a serial port\n")},
    {"--model", "", nullptr, {}, applyModel, kChipModelLines},
    {"--ram",
     "",
     nullptr,
     {&CliOptions::targetMemory, 1, kRamOrRom},
     nullptr,
     lines("  --ram, --rom        download to RAM (at most 64 KiB) or to flash\n")},
    {"--rom", "", nullptr, {&CliOptions::targetMemory, 0, kRamOrRom}, nullptr, shownWith("--ram")},
    {"--then",
     "",
     nullptr,
     {},
     applyThen,
     lines("  --then reset|run    after the download: reset the target (flash), or start\n"
           "                      the program in RAM (--ram)\n")},
    {"--format",
     "",
     nullptr,
     {},
     applyFormat,
     lines("  --format bin|hex|srec|elf\n"
           "                      how IMAGE is read (default: from its name: .hex .srec\n"
           "                      .elf and their kin; any other name is a raw image)\n")},
    {"--base",
     "",
     nullptr,
     {},
     applyBase,
     lines("  --base ADDRESS      the address of the image's first byte (0x... or decimal):\n"
           "                      needed with --ram for a .hex, .srec or .elf; for flash\n"
           "                      0x00100000 or 0\n")},
    {"--device",
     "",
     nullptr,
     {&CliOptions::interfaceKind, 0, kUsbOrPort},
     applyDevice,
     lines("  --device NAME       with --usb: this USB device; once per device to write\n"
           "                      several at once\n")},
    {"--all",
     "",
     &Pending::all,
     {&CliOptions::interfaceKind, 0, kUsbOrPort},
     nullptr,
     lines("  --all               with --usb: every USB device of the target's class\n")},
    {"--usb-id",
     "",
     nullptr,
     {&CliOptions::interfaceKind, 0, kUsbOrPort},
     applyUsbId,
     lines("  --usb-id VID:PID    Linux: the target on the USB bus by its ids, as lsusb\n"
           "                      shows them (implies --usb); --device then takes a bus\n"
           "                      path such as 1-2, and --all every device with the ids\n")},
    {"--usb-serial",
     "",
     nullptr,
     {&CliOptions::interfaceKind, 0, kUsbOrPort},
     applyUsbSerial,
     lines("  --usb-serial S      with --usb-id: only the device with this serial number\n")},
    {"--udev-rule",
     "",
     nullptr,
     {},
     applyUdevRule,
     lines("  --udev-rule VID:PID print the udev rule that lets the person at the seat\n"
           "                      open the device, for /etc/udev/rules.d\n")},
    {"--repeat",
     "",
     nullptr,
     {},
     applyRepeat,
     lines("  --repeat N          board after board on each port (0: until Ctrl-C)\n")},
    {"--wait",
     "",
     nullptr,
     {},
     applyWait,
     lines("  --wait SECONDS      how long to wait for each board after the first\n"
           "                      (default: no limit)\n")},
    {"--receipt",
     "",
     nullptr,
     {},
     applyReceipt,
     lines("  --receipt FILE      add one JSON line per board to FILE\n")},
    {"--trace",
     "",
     nullptr,
     {},
     applyTrace,
     lines("  --trace FILE        write every byte in and out, with time stamps, to FILE\n")},
    {"--monitor",
     "",
     nullptr,
     {},
     applyMonitor,
     lines("  --monitor [BAUD]    after --then run or --then reset keep the port open and\n"
           "                      show what the board sends (default 115200 baud); Ctrl-]\n"
           "                      or Ctrl-C ends it\n"),
     true},
    {"--monitor-seconds",
     "",
     nullptr,
     {},
     applyMonitorSeconds,
     lines("  --monitor-seconds N end the monitor after N seconds\n")},
    {"--timestamps",
     "",
     &Pending::timestamps,
     {},
     nullptr,
     lines("  --timestamps        start each line the board sends with the seconds since\n"
           "                      the monitor started\n")},
    {"--log",
     "",
     nullptr,
     {},
     applyLog,
     lines("  --log FILE          add the board's lines to FILE too\n")},
    {"--root", "", nullptr, {}, applyRoot, systemLines(&PortHelpTexts::rootOption)},
    {"--json",
     "",
     &Pending::json,
     {},
     nullptr,
     lines("  --json              one JSON object per line for each event\n")},
    {"--quiet",
     "-q",
     &Pending::quiet,
     {},
     nullptr,
     lines("  -q, --quiet         no status or progress; messages still go to stderr\n")},
    {"--list-ports",
     "",
     &Pending::listPorts,
     {},
     nullptr,
     systemLines(&PortHelpTexts::listPortsOption)},
    {"--link", "", nullptr, {}, applyLink, systemLines(&PortHelpTexts::linkOption)},
    {"--force", "", &Pending::force, {}, nullptr, shownWith("--link")},
    {"--help", "-h", &Pending::help, {}, nullptr, lines("  -h, --help          this text\n")},
    {"--version",
     "-V",
     &Pending::version,
     {},
     nullptr,
     lines("  -V, --version       the program's version\n")},
};

// The lines of every option, in the table's order.
std::string optionLines() {
    std::string lines;
    for (const OptionRow& row : kOptions) {
        if (row.help.chipModels) {
            lines += modelOption();
        } else if (row.help.systemText != nullptr) {
            lines += portHelpTexts().*row.help.systemText;
        } else {
            lines += row.help.text;
        }
    }
    return lines;
}

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
            } else if (row->valueOptional) {
                if (i + 1 < arguments.size() && !arguments[i + 1].empty() &&
                    arguments[i + 1].find_first_not_of("0123456789") == std::string::npos) {
                    value = arguments[++i];
                }
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
    o.timestamps = pending.timestamps;
    if (o.monitorBaud) {
        if (o.then == FollowUp::None) {
            fail("--monitor watches the board after --then run or --then reset");
        } else if (o.interfaceKind == 0) {
            fail("--monitor watches a serial port; the USB pipes carry no output of the board");
        } else if (o.repeat != 1) {
            fail("--monitor watches one board per port: leave out --repeat");
        }
    } else if (o.monitorSeconds || pending.timestamps || !o.logPath.empty()) {
        fail(std::string(o.monitorSeconds     ? "--monitor-seconds"
                         : pending.timestamps ? "--timestamps"
                                              : "--log") +
             " goes with --monitor");
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
        o.imageFormat = o.givenFormat.value_or(imageFormatOfPath(o.imagePath));
        if (o.imageBase && o.imageFormat == ImageFormat::Bin) {
            fail(
                "--base goes with an image that carries addresses (a .hex, .srec or .elf, or "
                "--format)");
        }
    }
    return result;
}

std::string usageText(const std::string& program) {
    return "Usage: " + program + " [options] IMAGE\n" +  //
           "  or:  " + program + " --list-ports\n" +     //
           "  or:  " + program + " --link COMn DEVICE [--force]\n" + "  or:  " + program +
           " --udev-rule VID:PID\n" +
           "\n"
           "Writes the image IMAGE (a raw .bin of at most 256 KiB, or the Intel HEX,\n"
           "S-record or ELF file a toolchain writes) into an AT91SAM7S through its download\n"
           "loader: connects (press reset on the target while the countdown runs),\n"
           "downloads to flash or RAM, then optionally resets the target or starts the\n"
           "program in RAM.\n"
           "\n" +
           portHelpTexts().settingsNote + optionLines() +
           "\n"
           "Exit status: 0 done; 1 the target rejected a frame or the transfer failed, or\n"
           "a receipt or the trace could not be written; 2 bad usage or a bad image;\n"
           "3 no connection (port missing or busy, no answer); 130 stopped by Ctrl-C,\n"
           "SIGTERM or SIGHUP. With several boards, the worst board's status.\n";
}

std::vector<OptionName> optionNames() {
    std::vector<OptionName> names;
    for (const OptionRow& row : kOptions) {
        names.push_back(
            {std::string(row.name), std::string(row.shortName), std::string(row.help.shownWith)});
    }
    return names;
}

}  // namespace tervan::cli
