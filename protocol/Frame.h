// The frame the tool sends to the download loader, its CRC and the per-model sizes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tervan {

// Command bytes (offset 2 of a frame).
inline constexpr std::uint8_t kCommandWrite = 'W';  // write a page into flash
inline constexpr std::uint8_t kCommandRam = 'M';    // store a page in RAM
inline constexpr std::uint8_t kCommandGo = 'G';     // start the program in RAM
inline constexpr std::uint8_t kCommandReset = 'R';  // reset the microcontroller

// Answer bytes from the loader.
inline constexpr std::uint8_t kAnswerAccepted = 'X';  // also the loader's "ready" byte
inline constexpr std::uint8_t kAnswerCrcError = 'C';
inline constexpr std::uint8_t kAnswerVerifyError = 'O';

// The host's reply to the loader's 'X' on the serial line.
inline constexpr std::uint8_t kHandshakeReply = 'H';

inline constexpr std::size_t kFrameBufferSize = 512;
inline constexpr std::size_t kFrameHeaderSize = 5;      // CRC (2), command, block (2)
inline constexpr std::uint32_t kMaxImageSize = 262144;  // 256 KiB, the largest image file

// CRC-16/KERMIT (poly 0x1021 reflected, init 0, no final XOR). A count of 0 or less gives 0.
std::uint16_t frameCrc16(const std::uint8_t* bytes, int count);

struct ModelParameters {
    std::uint32_t pageSize = 256;
    std::uint32_t flashSize = 262144;
    std::uint32_t frameLength = 261;
};

// The frame sizes of a stored model value, from the chip-model table.
ModelParameters modelParameters(std::int32_t targetModel);

// Builds one frame in place in `frame` (at least frameLength bytes): clears it, stores the
// command, block number and `count` bytes of page data (the rest of the page stays 0x00) and
// the CRC over offsets 2 .. frameLength-1, low byte first. Returns the frame length.
// `count` larger than the page is cut to the page.
std::uint32_t buildFrame(std::uint8_t* frame, const ModelParameters& model, std::uint8_t command,
                         std::uint16_t block, const std::uint8_t* data, std::size_t count);

// Recomputes and stores the CRC of a frame whose command, block and data are already in place.
void sealFrame(std::uint8_t* frame, const ModelParameters& model);

// True when the CRC stored in the first two bytes matches the rest of the frame.
bool frameCrcMatches(const std::uint8_t* frame, std::uint32_t frameLength);

}  // namespace tervan
