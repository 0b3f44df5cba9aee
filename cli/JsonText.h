// Building one JSON object per line for programs that drive the command line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tervan::cli {

// The text as a JSON string literal, quotes included. Control characters become escapes and
// bytes that are not valid UTF-8 become U+FFFD, so every line parses whatever a text holds.
std::string jsonString(std::string_view text);

// The text as it may go to a terminal: control characters (C0, DEL and C1), and bytes that are
// not valid UTF-8, become visible escapes such as "\x1b", so a port or file name can never move
// the cursor, recolour or clear the screen. Everything else stays as it is.
std::string terminalText(std::string_view text);

// Collects "key":value pairs and closes them into one object.
class JsonObject {
public:
    JsonObject& text(std::string_view key, std::string_view value);
    JsonObject& number(std::string_view key, std::int64_t value);
    JsonObject& number(std::string_view key, double value);
    JsonObject& boolean(std::string_view key, bool value);
    // An array of texts.
    JsonObject& texts(std::string_view key, const std::vector<std::string>& values);
    // A value that is JSON already, such as another object's str().
    JsonObject& raw(std::string_view key, std::string_view json);
    std::string str() const { return body_ + "}"; }

private:
    void key(std::string_view name);
    std::string body_ = "{";
};

}  // namespace tervan::cli
