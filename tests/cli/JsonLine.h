// A strict reader for the one-object-per-line output of --json: it rejects anything that is
// not exactly one JSON object and gives back the top-level members.
#pragma once

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tervan::testing {

// A top-level member: strings decoded, any other value as its JSON text.
using JsonMembers = std::map<std::string, std::string>;

class JsonLineReader {
public:
    static std::optional<JsonMembers> parse(const std::string& line) {
        JsonLineReader reader(line);
        JsonMembers members;
        if (!reader.object(&members)) {
            return std::nullopt;
        }
        reader.space();
        if (reader.at_ != line.size()) {
            return std::nullopt;
        }
        return members;
    }

private:
    explicit JsonLineReader(const std::string& text) : text_(text) {}

    void space() {
        while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) {
            ++at_;
        }
    }
    bool take(char c) {
        space();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool string(std::string* out) {
        if (!take('"')) {
            return false;
        }
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"') {
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return false;  // raw control characters are not allowed in a string
            }
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (at_ >= text_.size()) {
                return false;
            }
            // Simple escapes decode through a table; \uXXXX needs four hex digits and is
            // kept as '?' (the tests look at ASCII text only).
            const char e = text_[at_++];
            static constexpr std::string_view kEscapes = "\"\\/bfnrt";
            static constexpr std::string_view kDecoded = "\"\\/\b\f\n\r\t";
            if (const auto k = kEscapes.find(e); k != std::string_view::npos) {
                *out += kDecoded[k];
            } else if (e == 'u' && at_ + 4 <= text_.size() &&
                       std::all_of(text_.begin() + static_cast<long>(at_),
                                   text_.begin() + static_cast<long>(at_ + 4), [](char h) {
                                       return std::isxdigit(static_cast<unsigned char>(h));
                                   })) {
                at_ += 4;
                *out += '?';
            } else {
                return false;
            }
        }
        return false;
    }
    bool value(std::string* raw) {
        space();
        const std::size_t start = at_;
        if (at_ >= text_.size()) {
            return false;
        }
        const char c = text_[at_];
        bool ok = false;
        if (c == '"') {
            std::string decoded;
            ok = string(&decoded);
            if (ok) {
                *raw = decoded;
                return true;
            }
        } else if (c == '{') {
            JsonMembers ignored;
            ok = object(&ignored);
        } else if (c == '[') {
            ++at_;
            ok = true;
            if (!take(']')) {
                do {
                    std::string item;
                    ok = value(&item);
                } while (ok && take(','));
                ok = ok && take(']');
            }
        } else if (text_.compare(at_, 4, "true") == 0 || text_.compare(at_, 4, "null") == 0) {
            at_ += 4;
            ok = true;
        } else if (text_.compare(at_, 5, "false") == 0) {
            at_ += 5;
            ok = true;
        } else {
            ok = number();
        }
        *raw = text_.substr(start, at_ - start);
        return ok;
    }
    bool number() {
        const std::size_t start = at_;
        if (at_ < text_.size() && text_[at_] == '-') {
            ++at_;
        }
        const auto digits = [this] {
            const std::size_t first = at_;
            while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]))) {
                ++at_;
            }
            return at_ > first;
        };
        if (!digits()) {
            return false;
        }
        if (at_ < text_.size() && text_[at_] == '.') {
            ++at_;
            if (!digits()) {
                return false;
            }
        }
        return at_ > start;
    }
    bool object(JsonMembers* members) {
        if (!take('{')) {
            return false;
        }
        if (take('}')) {
            return true;
        }
        do {
            std::string key;
            std::string raw;
            space();
            if (!string(&key) || !take(':') || !value(&raw)) {
                return false;
            }
            (*members)[key] = raw;
        } while (take(','));
        return take('}');
    }

    const std::string& text_;
    std::size_t at_ = 0;
};

}  // namespace tervan::testing
