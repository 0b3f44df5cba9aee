#include "sim/SimOptions.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <iterator>
#include <optional>
#include <string_view>

#include "protocol/ChipModel.h"

namespace tervan::sim {
namespace {

bool parseInt(const std::string& text, long long low, long long high, long long& value) {
    const char* end = text.data() + text.size();
    const auto [at, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && at == end && value >= low && value <= high;
}

// FRAME:ANSWERS, the answers as characters with or without commas ("CCX", "C,C,X").
bool parseForced(const std::string& text, int& frame, std::string& answers) {
    const auto colon = text.find(':');
    long long number = 0;
    if (colon == std::string::npos || !parseInt(text.substr(0, colon), 0, INT_MAX, number)) {
        return false;
    }
    frame = static_cast<int>(number);
    answers.clear();
    const std::string list = text.substr(colon + 1);
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i] == ',' && i % 2 == 1) {
            continue;
        }
        answers.push_back(list[i]);
    }
    return !answers.empty();
}

// A line for the started program to print, with the escapes \\ \r \n \t \e and \xNN for
// bytes a shell cannot easily pass.
bool unescape(const std::string& text, std::string& bytes) {
    bytes.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes.push_back(text[i]);
            continue;
        }
        if (++i >= text.size()) {
            return false;
        }
        switch (text[i]) {
            case '\\':
                bytes.push_back('\\');
                break;
            case 'r':
                bytes.push_back('\r');
                break;
            case 'n':
                bytes.push_back('\n');
                break;
            case 't':
                bytes.push_back('\t');
                break;
            case 'e':
                bytes.push_back('\x1b');
                break;
            case 'x': {
                const std::string_view digits(text.data() + i + 1,
                                              std::min<std::size_t>(2, text.size() - i - 1));
                unsigned value = 0;
                if (digits.size() != 2 || !std::isxdigit(static_cast<unsigned char>(digits[0])) ||
                    !std::isxdigit(static_cast<unsigned char>(digits[1]))) {
                    return false;
                }
                std::from_chars(digits.data(), digits.data() + 2, value, 16);
                bytes.push_back(static_cast<char>(value));
                i += 2;
                break;
            }
            default:
                return false;
        }
    }
    return true;
}

// The command line's spellings of the models, in table order: "256|64", "256 or 64".
std::string modelSpellings(const char* separator) {
    std::string text;
    for (const ChipModel& chip : chipModels()) {
        text += (text.empty() ? "" : separator) + std::string(chip.commandName);
    }
    return text;
}

// One option met on the command line, with its value when it takes one.
struct Given {
    std::string name;
    const std::string& value;
    SimOptions& options;
    std::string& error;

    SimConfig& config() { return options.config; }
    template <typename Field, typename Value>
    bool set(Field& field, const Value& to) {
        field = to;
        return true;
    }
    bool bad(const std::string& hint = {}) {
        error = "bad value for " + name + ": " + value + hint;
        return false;
    }
    template <typename Field>
    bool number(long long low, long long high, Field& field) {
        long long parsed = 0;
        if (!parseInt(value, low, high, parsed)) {
            return bad();
        }
        field = static_cast<Field>(parsed);
        return true;
    }
};

struct Option {
    const char* name;
    bool takesValue;  // as --name VALUE or --name=VALUE
    // Puts the option into the options; false with the error set when the value is unusable.
    bool (*apply)(Given& given);
};

constexpr Option kOptions[] = {
    {"--help", false, [](Given& g) { return g.set(g.options.help, true); }},
    {"-h", false, [](Given& g) { return g.set(g.options.help, true); }},
    {"--serial", false,
     [](Given& g) { return g.set(g.config().transport, SimConfig::Transport::Serial); }},
    {"--usb", false,
     [](Given& g) { return g.set(g.config().transport, SimConfig::Transport::Usb); }},
    {"--root", true, [](Given& g) { return g.set(g.config().root, g.value); }},
    {"--com", true, [](Given& g) { return g.number(1, 255, g.config().comNumber); }},
    {"--device", true, [](Given& g) { return g.set(g.config().deviceName, g.value); }},
    {"--model", true,
     [](Given& g) {
         long long size = 0;
         if (!g.number(0, 1024, size)) {
             return false;
         }
         const auto model = modelByCommandName(std::to_string(size));
         if (!model) {
             return g.bad(" (" + modelSpellings(" or ") + ")");
         }
         g.config().model = *model;
         return true;
     }},
    {"--flash-out", true, [](Given& g) { return g.set(g.config().flashFile, g.value); }},
    {"--ram-out", true, [](Given& g) { return g.set(g.config().ramFile, g.value); }},
    {"--log", true, [](Given& g) { return g.set(g.config().logFile, g.value); }},
    {"--force", true,
     [](Given& g) {
         int frame = 0;
         std::string answers;
         if (!parseForced(g.value, frame, answers)) {
             return g.bad(" (FRAME:ANSWERS, e.g. 3:CCX)");
         }
         g.config().forcedAnswers[frame] = answers;
         return true;
     }},
    {"--noise", true, [](Given& g) { return g.number(0, 1000000, g.config().noiseBytes); }},
    {"--no-ready", false, [](Given& g) { return g.set(g.config().neverReady, true); }},
    {"--no-reset-on-open", false, [](Given& g) { return g.set(g.config().resetOnOpen, false); }},
    {"--silent-after", true,
     [](Given& g) { return g.number(0, INT_MAX, g.config().silentAfterFrame); }},
    {"--drop-after", true,
     [](Given& g) { return g.number(0, INT_MAX, g.config().dropAfterFrame); }},
    {"--answer-delay", true,
     [](Given& g) { return g.number(0, 3600000, g.config().answerDelayMs); }},
    {"--page-delay", true,
     [](Given& g) { return g.number(0, 3600000, g.config().pageWriteDelayMs); }},
    {"--ready-delay", true, [](Given& g) { return g.number(0, 3600000, g.config().readyDelayMs); }},
    {"--baud", true, [](Given& g) { return g.number(0, 100000000, g.config().baudRate); }},
    {"--print-after-run", true,
     [](Given& g) {
         std::string line;
         if (!unescape(g.value, line)) {
             return g.bad(" (escapes: \\\\ \\r \\n \\t \\e \\xNN)");
         }
         g.config().printAfterRun.push_back(line);
         return true;
     }},
    {"--print-interval", true,
     [](Given& g) { return g.number(0, 3600000, g.config().printIntervalMs); }},
};

}  // namespace

bool parseSimOptions(const std::vector<std::string>& args, SimOptions& options,
                     std::string& error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool hasValue = false;
        if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasValue = true;
        }
        const auto option = std::find_if(std::begin(kOptions), std::end(kOptions),
                                         [&](const Option& o) { return name == o.name; });
        if (option == std::end(kOptions)) {
            error = "unknown option: " + args[i];
            return false;
        }
        if (!option->takesValue && hasValue) {
            error = name + " takes no value";
            return false;
        }
        if (option->takesValue && !hasValue) {
            if (i + 1 >= args.size()) {
                error = "missing value for " + name;
                return false;
            }
            value = args[++i];
        }
        Given given{name, value, options, error};
        if (!option->apply(given)) {
            return false;
        }
    }
    return true;
}

std::string simUsage() {
    // The --model line names each model with its flash size, in the option column's width.
    std::string modelHelp = "  --model " + modelSpellings("|");
    modelHelp.resize(std::max<std::size_t>(modelHelp.size() + 1, 24), ' ');
    bool first = true;
    for (const ChipModel& chip : chipModels()) {
        modelHelp += std::string(first ? "" : " or ") + chip.windowName + " (" +
                     std::to_string(chip.flashSize / 1024) + (first ? " KiB flash)" : " KiB)");
        first = false;
    }
    return "usage: tervan-target-sim [--serial | --usb] [--root DIR] [--com N] [--device NAME]\n"
           "         [--model " +
           modelSpellings("|") +
           "] [--flash-out F] [--ram-out F] [--log F]\n"
           "         [--force FRAME:ANSWERS]... [--noise N] [--no-ready] [--silent-after K]\n"
           "         [--drop-after K] [--answer-delay MS] [--page-delay MS] [--baud N]\n"
           "         [--ready-delay MS] [--no-reset-on-open] [--print-after-run TEXT]...\n"
           "         [--print-interval MS]\n"
           "\n"
           "A virtual target for TERVAN Downloader: the chip's download loader on a\n"
           "pseudo-terminal (<root>/ports/COMn) or on USB pipe files\n"
           "(<root>/usb/{class}/<device>/PIPE00, PIPE01).\n"
           "\n"
           "  --serial, --usb       transport (serial by default)\n"
           "  --root DIR            the tool's folder of ports/ and usb/ (default: the folder\n"
           "                        it uses itself: this program's folder, or for an installed\n"
           "                        one ~/.config/tervan)\n"
           "  --com N               serial port number, 1 by default\n"
           "  --device NAME         USB device folder name, target0 by default\n" +
           modelHelp + "\n" +
           "  --flash-out F         write the flash image to F at exit (and on SIGUSR2)\n"
           "  --ram-out F           write the RAM contents to F likewise\n"
           "  --log F               log frames, bytes sent and line events as JSON lines\n"
           "  --force FRAME:ANSWERS answer frame FRAME (counted from 0 after the handshake)\n"
           "                        with these bytes on successive transmissions, e.g. 3:CCX;\n"
           "                        '-' sends no answer\n"
           "  --noise N             send N stray bytes before each 'X'\n"
           "  --no-ready            never send the 'X'\n"
           "  --silent-after K      no answers after frame K\n"
           "  --drop-after K        hang up (serial) or unplug (USB) after frame K\n"
           "  --answer-delay MS     wait before each answer\n"
           "  --page-delay MS       time to program one flash page\n"
           "  --baud N              pace both directions at N baud, 10 bits a byte (0: unpaced)\n"
           "  --ready-delay MS      reset to 'X', 50 ms by default\n"
           "  --no-reset-on-open    serial: opening the port is not a reset\n"
           "  --print-after-run TEXT\n"
           "                        serial: after a 'G' (Run) the program prints TEXT and\n"
           "                        CR LF; repeat it for more lines; escapes \\\\ \\r \\n \\t\n"
           "                        \\e \\xNN\n"
           "  --print-interval MS   time before each of those lines, 0 by default\n"
           "\n"
           "SIGUSR1 resets the target, SIGUSR2 writes the output files, SIGINT or SIGTERM end "
           "it.\n";
}

}  // namespace tervan::sim
