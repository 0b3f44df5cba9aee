// What the virtual target leaves for a test to compare: the JSON-lines log of frames, bytes
// sent and line events, and the flash and RAM images.
#include <cstdio>
#include <fstream>

#include "sim/TargetSimulatorImpl.h"

namespace tervan::sim {

const char* causeName(ResetCause cause) {
    switch (cause) {
        case ResetCause::Start:
            return "start";
        case ResetCause::Open:
            return "open";
        case ResetCause::Command:
            return "command";
        case ResetCause::Request:
            return "request";
    }
    return "";
}

std::string jsonChar(int value) {
    if (value < 0) {
        return "null";
    }
    char text[16];
    if (value >= 0x20 && value < 0x7F && value != '"' && value != '\\') {
        std::snprintf(text, sizeof text, "\"%c\"", value);
    } else {
        std::snprintf(text, sizeof text, "\"\\u%04x\"", value);
    }
    return text;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

bool writeFileAtomically(const std::string& path, const std::vector<std::uint8_t>& bytes,
                         std::string* error) {
    const std::string temporary = path + ".part";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        if (!out.flush()) {
            if (error != nullptr) {
                *error = "cannot write " + path;
            }
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        if (error != nullptr) {
            *error = "cannot write " + path;
        }
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

void TargetSimulator::Impl::logLine(const std::string& body) {
    if (log == nullptr) {
        return;
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - startTime).count();
    std::fprintf(log, "{\"t_ms\":%.3f,%s}\n", ms, body.c_str());
    std::fflush(log);
}

void TargetSimulator::Impl::closeLog() {
    if (log != nullptr) {
        std::fclose(log);
        log = nullptr;
    }
}

bool TargetSimulator::writeOutputs(std::string* error) const {
    const Impl& d = *impl_;
    bool ok = true;
    if (!d.config.flashFile.empty()) {
        ok = writeFileAtomically(d.config.flashFile, flash(), error) && ok;
    }
    if (!d.config.ramFile.empty()) {
        ok = writeFileAtomically(d.config.ramFile, ram(), error) && ok;
    }
    return ok;
}

}  // namespace tervan::sim
