#pragma once

#include <cstdint>

#include "link/LinkResult.h"

namespace tervan {

// 16-bit result of the USB transport. Any other non-zero value comes only from a failed
// pipe open: the platform's error code cut to 16 bits.
using LinkStatus = std::uint16_t;
inline constexpr LinkStatus LINK_OK = 0;
inline constexpr LinkStatus LINK_NOT_OPEN = 0x8000;
inline constexpr LinkStatus LINK_IO_ERROR = 0x8010;
inline constexpr LinkStatus LINK_BAD_ARGUMENT = 0x8080;

// The status a transfer's result stands for: the link's own reasons keep their codes, every
// failure of the platform (a silent pipe included) is LINK_IO_ERROR. A short write that did
// not fail is LINK_OK; its count tells.
constexpr LinkStatus linkStatusOf(const LinkResult& result) {
    switch (result.error) {
        case 0:
            return LINK_OK;
        case kErrorNotOpen:
            return LINK_NOT_OPEN;
        case kErrorBadArgument:
            return LINK_BAD_ARGUMENT;
        default:
            return LINK_IO_ERROR;
    }
}

}  // namespace tervan
