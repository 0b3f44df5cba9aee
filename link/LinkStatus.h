#pragma once

#include <cstdint>

namespace tervan {

// 16-bit result of the USB transport. Any other non-zero value comes only from a failed
// pipe open: the platform's error code cut to 16 bits.
using LinkStatus = std::uint16_t;
inline constexpr LinkStatus LINK_OK = 0;
inline constexpr LinkStatus LINK_NOT_OPEN = 0x8000;
inline constexpr LinkStatus LINK_IO_ERROR = 0x8010;
inline constexpr LinkStatus LINK_BAD_ARGUMENT = 0x8080;

}  // namespace tervan
