// SHA-256 of a block of bytes, for the receipt that records which image a board got.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tervan::cli {

// The digest as 64 lower-case hex digits.
std::string sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace tervan::cli
