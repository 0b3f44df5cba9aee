#include "cli/CliOptions.h"

#include <cctype>
#include <charconv>

#include "cli/SystemPorts.h"
#include "link/ComName.h"

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

ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    ParsedCommandLine result;
    CliOptions& o = result.options;
    bool listPorts = false;
    bool help = false;
    bool version = false;
    bool optionsEnded = false;
    std::vector<std::string> positional;

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
        // The value of an option that takes one: after '=' or the next argument.
        const auto value = [&]() -> std::optional<std::string> {
            if (inlineValue) {
                return inlineValue;
            }
            if (i + 1 < arguments.size()) {
                return arguments[++i];
            }
            fail("option '" + name + "' needs a value");
            return std::nullopt;
        };
        const auto noValue = [&]() {
            if (inlineValue) {
                fail("option '" + name + "' takes no value");
            }
        };

        if (name == "--help" || name == "-h") {
            noValue();
            help = true;
        } else if (name == "--version" || name == "-V") {
            noValue();
            version = true;
        } else if (name == "--list-ports") {
            noValue();
            listPorts = true;
        } else if (name == "--usb") {
            noValue();
            if (o.interfaceKind == 1) {
                fail("--usb and --port exclude each other");
            }
            o.interfaceKind = 0;
        } else if (name == "--port") {
            const auto port = value();
            if (!port) {
                continue;
            }
            if (o.interfaceKind == 0) {
                fail("--usb and --port exclude each other");
            }
            o.interfaceKind = 1;
            if (const auto com = parseComName(*port)) {
                o.comPortPath = com->path;
                o.comIndex = com->index;
            } else if (isDevicePath(*port)) {
                o.comPortPath = *port;  // a device path is used as it is
                o.comIndex.reset();
            } else {
                fail("--port takes COM1 ... COM" + std::to_string(kHighestComNumber) +
                     " or a device path such as " + portHelpTexts().devicePathExample + ", not '" +
                     *port + "'");
            }
        } else if (name == "--model") {
            const auto model = value();
            if (!model) {
                continue;
            }
            if (*model == "256" || *model == "128") {
                o.targetModel = 0;
            } else if (*model == "64" || *model == "32") {
                o.targetModel = 1;
            } else {
                fail("--model takes 256 (SAM7S256/128) or 64 (SAM7S64/32), not '" + *model + "'");
            }
        } else if (name == "--ram") {
            noValue();
            if (o.targetMemory == 0) {
                fail("--ram and --rom exclude each other");
            }
            o.targetMemory = 1;
        } else if (name == "--rom") {
            noValue();
            if (o.targetMemory == 1) {
                fail("--ram and --rom exclude each other");
            }
            o.targetMemory = 0;
        } else if (name == "--then") {
            const auto then = value();
            if (!then) {
                continue;
            }
            if (*then == "reset") {
                o.then = FollowUp::Reset;
            } else if (*then == "run") {
                o.then = FollowUp::Run;
            } else {
                fail("--then takes reset or run, not '" + *then + "'");
            }
        } else if (name == "--root") {
            const auto root = value();
            if (!root) {
                continue;
            }
            if (root->empty()) {
                fail("--root needs a folder");
            }
            o.deviceRoot = *root;
        } else if (name == "--json") {
            noValue();
            o.output = OutputStyle::Json;
        } else if (name == "--quiet" || name == "-q") {
            noValue();
            o.quiet = true;
        } else {
            fail("unknown option '" + name + "'");
        }
    }

    if (help) {
        o.action = CliAction::Help;
        return result;  // --help wins over everything else, mistakes included
    }
    if (!result.error.empty()) {
        return result;
    }
    if (version) {
        o.action = CliAction::Version;
        return result;
    }
    if (listPorts) {
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
    return "Usage: " + program +
           " [options] IMAGE\n"
           "       " +
           program +
           " --list-ports\n"
           "\n"
           "Writes the raw image IMAGE (a .bin of at most 256 KiB) into an AT91SAM7S through\n"
           "its download loader: connects (press reset on the target while the countdown\n"
           "runs), downloads to flash or RAM, then optionally resets the target or starts\n"
           "the program in RAM.\n"
           "\n"
           "Options (choices left out come from tervan.ini beside the program, which the\n"
           "command line never changes):\n" +
           ports.portOption +
           "  --usb               the target's USB pipes instead of a serial port\n"
           "  --model 256|64      SAM7S256/128 or SAM7S64/32\n"
           "  --ram, --rom        download to RAM (at most 64 KiB) or to flash\n"
           "  --then reset|run    after the download: reset the target (flash), or start\n"
           "                      the program in RAM (--ram)\n" +
           ports.rootOption +
           "  --json              one JSON object per line for each event\n"
           "  -q, --quiet         no status or progress; messages still go to stderr\n" +
           ports.listPortsOption +
           "  -h, --help          this text\n"
           "  -V, --version       the program's version\n"
           "\n"
           "Exit status: 0 done; 1 the target rejected a frame or the transfer failed;\n"
           "2 bad usage or a bad image; 3 no connection (port missing or busy, no answer).\n";
}

}  // namespace tervan::cli
