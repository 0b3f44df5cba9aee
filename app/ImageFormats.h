// Image files as the toolchain makes them: a raw .bin, Intel HEX, Motorola S-records and ELF.
// Each becomes the raw image the rest of the tool knows, whose first byte goes to the start of
// block 0 of the chosen memory.
//
// - Flash is the chip's internal flash at 0x00100000, also seen at 0 after a reset: the image's
//   lowest address picks which of the two the file was linked for, and that one's start is the
//   image's first byte. RAM has no fixed place here: a file with addresses needs `base`, the
//   address of the image's first byte.
// - Gaps between records or segments hold 0xFF, what erased flash holds.
// - An ELF file gives the load addresses of its loadable segments (p_paddr) and only the bytes
//   the file holds for them: initialised data is taken where it is stored, not where it runs,
//   and memory the program zeroes itself (p_memsz beyond p_filesz) is no part of the image.
// - A file is refused, with a reason naming the line or segment, the address and the memory,
//   for data outside the memory, overlapping data with different bytes (the same bytes twice
//   pass), a bad checksum, a truncated or malformed record, or an image larger than the memory.
//   A refused file gives no bytes at all.
//
// The format comes from the file's name or is given; it is never guessed from the bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tervan {

enum class ImageFormat { Bin, Hex, Srec, Elf };
enum class ImageMemory { Flash, Ram };

// Where the chip's internal flash starts; it is also seen at 0 after a reset.
inline constexpr std::uint32_t kFlashAddress = 0x00100000;
// What a gap in the image holds.
inline constexpr std::uint8_t kImageFill = 0xFF;

// "bin", "hex", "srec", "elf": the names a format is given by.
const char* imageFormatName(ImageFormat format);
std::optional<ImageFormat> imageFormatByName(std::string_view name);
// The format a file's extension names (case ignored): .hex .ihex .ihx, .srec .s19 .s28 .s37
// .mot .sx, .elf .axf; any other name, .bin included, is a raw image.
ImageFormat imageFormatOfPath(std::string_view path);
// The file-name patterns of a format, separated by spaces ("*.hex *.ihex *.ihx"), for a file
// chooser's filter.
const char* imageFilePatterns(ImageFormat format);

struct ImageOptions {
    ImageFormat format = ImageFormat::Bin;
    ImageMemory memory = ImageMemory::Flash;
    std::int32_t model = 0;  // stored model value: its row of the chip table gives the sizes
    // The address of the image's first byte. Required for RAM from a file with addresses. For
    // flash it may only be 0x00100000 or 0, and then fixes which of the two the file uses.
    std::optional<std::uint32_t> base;
};

struct RawImage {
    bool ok = false;
    std::vector<std::uint8_t> bytes;  // the image, from the first byte of the memory
    ImageFormat format = ImageFormat::Bin;
    std::uint32_t base = 0;          // the file's address of bytes[0]
    std::uint32_t end = 0;           // one past the file's address of the last byte: base + size
    std::uint32_t size = 0;          // bytes.size()
    std::uint8_t fill = kImageFill;  // the byte in the gaps
    std::uint32_t filled = 0;        // how many bytes of the image are gap
    std::string reason;              // why the file was refused; empty when ok
};

// The raw image in `file`, read as `options.format` says, for the chosen memory and chip.
RawImage makeRawImage(std::span<const std::uint8_t> file, const ImageOptions& options);

// Where an image's bytes lie, for the user: "2620 bytes at 0x00100000..0x00100A3B, 12 of them
// gaps filled with 0xFF".
std::string imageRangeText(const RawImage& image);

}  // namespace tervan
