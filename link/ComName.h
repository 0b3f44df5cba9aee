// COM port names as the window and the command line write them: "COMn" or "\\.\COMn".
#pragma once

#include <optional>
#include <string_view>

namespace tervan {

inline constexpr std::string_view kDevicePrefix = "\\\\.\\";

// Letters compared without regard to case (plain ASCII).
bool equalsIgnoringCase(std::string_view a, std::string_view b);

// The number n of "COMn" or "\\.\COMn" (any case, the number optionally signed); nothing when
// the name is no COM name. A number too large to hold names no port and gives -1.
std::optional<long long> comNumberOf(std::string_view name);

}  // namespace tervan
