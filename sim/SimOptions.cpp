#include "sim/SimOptions.h"

#include <charconv>
#include <climits>

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

}  // namespace

bool parseSimOptions(const std::vector<std::string>& args, SimOptions& options,
                     std::string& error) {
    SimConfig& c = options.config;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool hasValue = false;
        if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasValue = true;
        }
        auto next = [&]() -> bool {
            if (hasValue) {
                return true;
            }
            if (i + 1 >= args.size()) {
                error = "missing value for " + name;
                return false;
            }
            value = args[++i];
            return true;
        };
        auto number = [&](long long low, long long high, auto& field) -> bool {
            long long parsed = 0;
            if (!next()) {
                return false;
            }
            if (!parseInt(value, low, high, parsed)) {
                error = "bad value for " + name + ": " + value;
                return false;
            }
            field = static_cast<std::remove_reference_t<decltype(field)>>(parsed);
            return true;
        };
        auto text = [&](std::string& field) -> bool {
            if (!next()) {
                return false;
            }
            field = value;
            return true;
        };
        auto flag = [&](bool& field) -> bool {
            if (hasValue) {
                error = name + " takes no value";
                return false;
            }
            field = true;
            return true;
        };

        bool ok = true;
        bool ignored = false;
        if (name == "--help" || name == "-h") {
            ok = flag(options.help);
        } else if (name == "--serial") {
            ok = flag(ignored);
            c.transport = SimConfig::Transport::Serial;
        } else if (name == "--usb") {
            ok = flag(ignored);
            c.transport = SimConfig::Transport::Usb;
        } else if (name == "--root") {
            ok = text(c.root);
        } else if (name == "--com") {
            ok = number(1, 255, c.comNumber);
        } else if (name == "--device") {
            ok = text(c.deviceName);
        } else if (name == "--model") {
            long long size = 0;
            ok = number(0, 1024, size);
            if (ok && (size == 256 || size == 128)) {
                c.model = 0;
            } else if (ok && (size == 64 || size == 32)) {
                c.model = 1;
            } else if (ok) {
                error = "bad value for --model: " + value + " (256 or 64)";
                ok = false;
            }
        } else if (name == "--flash-out") {
            ok = text(c.flashFile);
        } else if (name == "--ram-out") {
            ok = text(c.ramFile);
        } else if (name == "--log") {
            ok = text(c.logFile);
        } else if (name == "--force") {
            int frame = 0;
            std::string answers;
            ok = next();
            if (ok && !parseForced(value, frame, answers)) {
                error = "bad value for --force: " + value + " (FRAME:ANSWERS, e.g. 3:CCX)";
                ok = false;
            }
            if (ok) {
                c.forcedAnswers[frame] = answers;
            }
        } else if (name == "--noise") {
            ok = number(0, 1000000, c.noiseBytes);
        } else if (name == "--no-ready") {
            ok = flag(c.neverReady);
        } else if (name == "--no-reset-on-open") {
            ok = flag(ignored);
            c.resetOnOpen = false;
        } else if (name == "--silent-after") {
            ok = number(0, INT_MAX, c.silentAfterFrame);
        } else if (name == "--drop-after") {
            ok = number(0, INT_MAX, c.dropAfterFrame);
        } else if (name == "--answer-delay") {
            ok = number(0, 3600000, c.answerDelayMs);
        } else if (name == "--page-delay") {
            ok = number(0, 3600000, c.pageWriteDelayMs);
        } else if (name == "--ready-delay") {
            ok = number(0, 3600000, c.readyDelayMs);
        } else if (name == "--baud") {
            ok = number(0, 100000000, c.baudRate);
        } else {
            error = "unknown option: " + args[i];
            ok = false;
        }
        if (!ok) {
            return false;
        }
    }
    return true;
}

std::string simUsage() {
    return "usage: tervan-target-sim [--serial | --usb] [--root DIR] [--com N] [--device NAME]\n"
           "         [--model 256|64] [--flash-out F] [--ram-out F] [--log F]\n"
           "         [--force FRAME:ANSWERS]... [--noise N] [--no-ready] [--silent-after K]\n"
           "         [--drop-after K] [--answer-delay MS] [--page-delay MS] [--baud N]\n"
           "         [--ready-delay MS] [--no-reset-on-open]\n"
           "\n"
           "A virtual target for TERVAN Downloader: the chip's download loader on a\n"
           "pseudo-terminal (<root>/ports/COMn) or on USB pipe files\n"
           "(<root>/usb/{class}/<device>/PIPE00, PIPE01).\n"
           "\n"
           "  --serial, --usb       transport (serial by default)\n"
           "  --root DIR            folder of the tool's program (default: this program's folder)\n"
           "  --com N               serial port number, 1 by default\n"
           "  --device NAME         USB device folder name, target0 by default\n"
           "  --model 256|64        SAM7S256/128 (256 KiB flash) or SAM7S64/32 (64 KiB)\n"
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
           "\n"
           "SIGUSR1 resets the target, SIGUSR2 writes the output files, SIGINT or SIGTERM end "
           "it.\n";
}

}  // namespace tervan::sim
