#include "app/SettingsStore.h"

#include <cctype>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "app/SettingsFile.h"
#include "link/ComName.h"
#include "link/SystemPaths.h"

namespace tervan {
namespace {

// One line of the file, without its line end.
struct Line {
    std::string_view text;
    std::size_t begin = 0;  // offset of the line in the file
    std::size_t end = 0;    // offset just past the line's text (before its line end)
    std::size_t next = 0;   // offset just past the line's end, where the next line begins
};

std::vector<Line> splitLines(std::string_view content) {
    std::vector<Line> lines;
    std::size_t pos = 0;
    while (pos < content.size()) {
        std::size_t next = content.find('\n', pos);
        const std::size_t stop = next == std::string_view::npos ? content.size() : next;
        std::size_t end = stop;
        if (end > pos && content[end - 1] == '\r') {
            --end;
        }
        const std::size_t after = next == std::string_view::npos ? content.size() : next + 1;
        lines.push_back({content.substr(pos, end - pos), pos, end, after});
        pos = after;
    }
    return lines;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

// The section a line opens, if it is a section line.
std::optional<std::string_view> sectionName(std::string_view line) {
    line = trim(line);
    if (line.size() < 2 || line.front() != '[') {
        return std::nullopt;
    }
    const auto close = line.find(']');
    if (close == std::string_view::npos) {
        return std::nullopt;
    }
    return trim(line.substr(1, close - 1));
}

struct KeyLine {
    std::string_view key;
    std::string_view value;
};

std::optional<KeyLine> keyLine(std::string_view line) {
    const auto eq = line.find('=');
    if (eq == std::string_view::npos) {
        return std::nullopt;
    }
    const auto key = trim(line.substr(0, eq));
    if (key.empty() || key.front() == ';' || key.front() == '#') {
        return std::nullopt;
    }
    return KeyLine{key, line.substr(eq + 1)};
}

// A stored value as the reader sees it: surrounding blanks dropped, and one pair of matching
// quotes around the whole value removed (the writer adds them where blanks or quotes at the
// ends would otherwise be lost).
std::string decodeValue(std::string_view raw) {
    auto value = trim(raw);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
}

std::string encodeValue(const std::string& value) {
    if (value.empty()) {
        return value;
    }
    const char first = value.front();
    const char last = value.back();
    const bool blankEnds = first == ' ' || first == '\t' || last == ' ' || last == '\t';
    const bool quotedEnds = value.size() >= 2 && (first == '"' || first == '\'') && last == first;
    return blankEnds || quotedEnds ? '"' + value + '"' : value;
}

// Where a key stands in the file: the line holding it, or failing that, where a new key
// line goes (after the last line of the section, or nothing when the section is missing).
struct Location {
    const Line* keyLine = nullptr;
    // Offset past the last line of the section, its line end included.
    std::optional<std::size_t> sectionEnd;
};

Location locate(const std::vector<Line>& lines, const std::string& section,
                const std::string& key) {
    Location where;
    bool inSection = false;
    for (const Line& line : lines) {
        if (const auto name = sectionName(line.text)) {
            inSection = equalsIgnoringCase(*name, section);
            if (inSection && !where.sectionEnd) {
                where.sectionEnd = line.next;
            }
            continue;
        }
        if (!inSection) {
            continue;
        }
        if (!trim(line.text).empty()) {
            where.sectionEnd = line.next;
        }
        if (const auto entry = keyLine(line.text); entry && equalsIgnoringCase(entry->key, key)) {
            where.keyLine = &line;
            return where;
        }
    }
    return where;
}

std::optional<std::string> lookup(const std::string& path, const std::string& section,
                                  const std::string& key) {
    std::string content;
    if (os::readSettingsFile(path, content) != os::ReadResult::Ok) {
        return std::nullopt;
    }
    const auto lines = splitLines(content);
    const Location where = locate(lines, section, key);
    if (where.keyLine == nullptr) {
        return std::nullopt;
    }
    std::string value = decodeValue(keyLine(where.keyLine->text)->value);
    if (value.size() > kSettingsReadBuffer - 1) {
        value.resize(kSettingsReadBuffer - 1);
    }
    return value;
}

bool validName(const std::string& name) {
    if (name.empty()) {
        return false;
    }
    for (const char c : name) {
        if (c == '\n' || c == '\r' || c == '=' || c == '[' || c == ']' || c == '\0') {
            return false;
        }
    }
    return true;
}

// Ends the last line of `text` where it has no line feed, so that a line can follow without
// changing it. The reader takes one CR before the line feed, or at the end of the file, as the
// line's end: a last line ending in CR gets only the line feed (its text keeps any CR before
// that one), any other gets the file's own line end.
void endLastLine(std::string& text, const std::string& newline) {
    if (text.empty() || text.back() == '\n') {
        return;
    }
    text += text.back() == '\r' ? std::string("\n") : newline;
}

}  // namespace

bool SettingsStore::write(const std::string& section, const std::string& key,
                          const std::string& value) {
    if (readOnly) {
        return false;  // lastFailure_ untouched: a read-only store may be shared by threads
    }
    lastFailure_ = SettingsFailure::Refused;
    if (settingsPath.empty() || !validName(section) || !validName(key) ||
        value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
        return false;
    }
    // A settings file that is a link stays one: the file it leads to is replaced.
    const std::string path = os::settingsFileTarget(settingsPath);
    os::SettingsLock lock(path, clock != nullptr ? *clock : realClock(), lockWait);
    if (!lock.locked()) {
        lastFailure_ = lock.failure() == os::LockFailure::Busy ? SettingsFailure::Busy
                                                               : SettingsFailure::NoFolder;
        return false;
    }
    std::string content;
    const auto state = os::readSettingsFile(path, content);
    if (state == os::ReadResult::Unusable) {
        return false;
    }
    const std::string newline = content.find("\r\n") != std::string::npos ? "\r\n" : "\n";
    const std::string entry = key + '=' + encodeValue(value);
    const auto lines = splitLines(content);
    const Location where = locate(lines, section, key);
    std::string updated;
    if (where.keyLine != nullptr) {
        updated =
            content.substr(0, where.keyLine->begin) + entry + content.substr(where.keyLine->end);
    } else if (where.sectionEnd) {
        // After the section's last line, which keeps its own line end.
        updated = content.substr(0, *where.sectionEnd);
        endLastLine(updated, newline);
        updated += entry + newline + content.substr(*where.sectionEnd);
    } else {
        updated = content;
        endLastLine(updated, newline);
        updated += '[' + section + ']' + newline + entry + newline;
    }
    switch (os::replaceSettingsFile(path, updated)) {
        case os::ReplaceResult::Ok:
            lastFailure_ = SettingsFailure::None;
            return true;
        case os::ReplaceResult::ReadOnly:
            return false;
        case os::ReplaceResult::Failed:
            break;
    }
    lastFailure_ = SettingsFailure::Unwritable;
    return false;
}

std::int32_t SettingsStore::readSettingInt(const std::string& section, const std::string& key,
                                           std::int32_t defaultValue) const {
    const auto value = lookup(settingsPath, section, key);
    // An empty value holds no number: it reads as the default, as a missing key does (the
    // reference platform's reader does the same), not as 0.
    if (!value || value->empty()) {
        return defaultValue;
    }
    // strtoll skips leading blanks and stops at the first character that is not a digit.
    const long long number = std::strtoll(value->c_str(), nullptr, 10);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(number));
}

std::string SettingsStore::readSettingText(const std::string& section, const std::string& key,
                                           const std::string& defaultValue) const {
    auto value = lookup(settingsPath, section, key);
    if (!value) {
        std::string fallback = defaultValue;
        if (fallback.size() > kSettingsReadBuffer - 1) {
            fallback.resize(kSettingsReadBuffer - 1);
        }
        return fallback;
    }
    return *value;
}

bool SettingsStore::writeSettingInt(const std::string& section, const std::string& key,
                                    std::int32_t value) {
    return write(section, key, std::to_string(value));
}

bool SettingsStore::writeSettingText(const std::string& section, const std::string& key,
                                     const std::string& text) {
    return write(section, key, text);
}

std::string defaultSettingsPath() {
    return inSettingsFolder(kSettingsFileName);
}

}  // namespace tervan
