// The platform's handle for an open port or pipe, and its invalid value.
#pragma once

#include <cstdint>

namespace tervan {

using PlatformHandle = std::intptr_t;
inline constexpr PlatformHandle kInvalidHandle = -1;

// The platform error code for "no such file": a COM port that does not exist.
inline constexpr int kErrorNotFound = 2;

}  // namespace tervan
