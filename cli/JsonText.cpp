#include "cli/JsonText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tervan::cli {
namespace {

// Length of the valid UTF-8 sequence starting at text[i], or 0 when it is not one.
std::size_t utf8SequenceLength(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    std::uint32_t minimum = 0;
    std::uint32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
        minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
        minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if (code < minimum || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
        return 0;
    }
    return length;
}

}  // namespace

std::string jsonString(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const std::size_t length = utf8SequenceLength(text, i);
            if (length == 0) {
                out += "\\ufffd";
                ++i;
            } else {
                out.append(text.substr(i, length));
                i += length;
            }
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", c);
                    out += escape;
                } else {
                    out += static_cast<char>(c);
                }
                break;
        }
        ++i;
    }
    out += '"';
    return out;
}

std::string terminalText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto escape = [&out](unsigned char byte) {
        char code[8];
        std::snprintf(code, sizeof code, "\\x%02x", byte);
        out += code;
    };
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F) {
                escape(c);
            } else {
                out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        const std::size_t length = utf8SequenceLength(text, i);
        // U+0080 ... U+009F are the C1 controls, CSI among them.
        if (length == 0 ||
            (length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0)) {
            for (std::size_t k = 0; k < std::max<std::size_t>(length, 1); ++k) {
                escape(static_cast<unsigned char>(text[i + k]));
            }
            i += std::max<std::size_t>(length, 1);
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

void JsonObject::key(std::string_view name) {
    if (body_.size() > 1) {
        body_ += ',';
    }
    body_ += jsonString(name);
    body_ += ':';
}

JsonObject& JsonObject::text(std::string_view name, std::string_view value) {
    key(name);
    body_ += jsonString(value);
    return *this;
}

JsonObject& JsonObject::number(std::string_view name, std::int64_t value) {
    key(name);
    body_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::number(std::string_view name, double value) {
    key(name);
    if (!std::isfinite(value)) {
        body_ += "null";  // JSON has no infinities
        return *this;
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3f", value);
    body_ += buffer;
    return *this;
}

JsonObject& JsonObject::raw(std::string_view name, std::string_view json) {
    key(name);
    body_ += json;
    return *this;
}

JsonObject& JsonObject::boolean(std::string_view name, bool value) {
    key(name);
    body_ += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::texts(std::string_view name, const std::vector<std::string>& values) {
    key(name);
    body_ += '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) {
            body_ += ',';
        }
        body_ += jsonString(values[i]);
    }
    body_ += ']';
    return *this;
}

}  // namespace tervan::cli
