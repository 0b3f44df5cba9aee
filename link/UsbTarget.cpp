#include "link/UsbTarget.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace tervan {
namespace {

std::mutex targetMutex;
std::optional<UsbTarget> namedTarget;

std::optional<std::uint16_t> parseHexId(std::string text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.erase(0, 2);
    }
    if (text.empty() || text.size() > 4) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (const char c : text) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = value * 16 + digit;
    }
    return static_cast<std::uint16_t>(value);
}

}  // namespace

std::optional<UsbId> parseUsbId(const std::string& text) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) {
        return std::nullopt;
    }
    const auto vendor = parseHexId(text.substr(0, colon));
    const auto product = parseHexId(text.substr(colon + 1));
    if (!vendor || !product) {
        return std::nullopt;
    }
    return UsbId{*vendor, *product};
}

std::string usbIdText(UsbId id) {
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", static_cast<unsigned>(id.vendor),
                  static_cast<unsigned>(id.product));
    return text;
}

std::optional<UsbTarget> usbTarget() {
    std::lock_guard<std::mutex> lock(targetMutex);
    return namedTarget;
}

void setUsbTarget(const std::optional<UsbTarget>& target) {
    std::lock_guard<std::mutex> lock(targetMutex);
    namedTarget = target;
}

std::string usbBusDevicePath(const std::string& busPath) {
    return kUsbBusPathPrefix + busPath;
}

std::string busPathOf(const std::string& devicePath) {
    const std::size_t prefix = std::strlen(kUsbBusPathPrefix);
    if (devicePath.size() <= prefix || devicePath.compare(0, prefix, kUsbBusPathPrefix) != 0) {
        return {};
    }
    return devicePath.substr(prefix);
}

}  // namespace tervan
