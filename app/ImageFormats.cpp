#include "app/ImageFormats.h"

#include <algorithm>
#include <cstdio>

#include "app/ImageReaders.h"
#include "protocol/ChipModel.h"

namespace tervan {
namespace image {

std::string hex32(std::uint64_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(value));
    return text;
}

std::string hex8(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFFu);
    return text;
}

}  // namespace image

namespace {

using namespace image;

struct FormatRow {
    ImageFormat format;
    const char* name;
    const char* patterns;
};

constexpr FormatRow kFormats[] = {
    {ImageFormat::Bin, "bin", "*.bin"},
    {ImageFormat::Hex, "hex", "*.hex *.ihex *.ihx"},
    {ImageFormat::Srec, "srec", "*.srec *.s19 *.s28 *.s37 *.mot *.sx"},
    {ImageFormat::Elf, "elf", "*.elf *.axf"},
};

const FormatRow& formatRow(ImageFormat format) {
    for (const FormatRow& row : kFormats) {
        if (row.format == format) {
            return row;
        }
    }
    return kFormats[0];
}

RawImage refuse(ImageFormat format, std::string reason) {
    RawImage image;
    image.format = format;
    image.reason = std::move(reason);
    return image;
}

std::string memoryText(ImageMemory memory, const ChipModel& chip) {
    return std::string(memory == ImageMemory::Flash ? "the flash" : "the RAM") + " of " +
           chip.windowName;
}

std::string rangeText(std::uint64_t from, std::uint64_t size) {
    return hex32(from) + "-" + hex32(from + size - 1);
}

}  // namespace

const char* imageFormatName(ImageFormat format) {
    return formatRow(format).name;
}

std::optional<ImageFormat> imageFormatByName(std::string_view name) {
    for (const FormatRow& row : kFormats) {
        if (name == row.name) {
            return row.format;
        }
    }
    return std::nullopt;
}

ImageFormat imageFormatOfPath(std::string_view path) {
    const auto slash = path.find_last_of("/\\");
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos) {
        return ImageFormat::Bin;
    }
    std::string pattern = "*";
    for (const char c : name.substr(dot)) {
        pattern += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    for (const FormatRow& row : kFormats) {
        const std::string_view patterns = row.patterns;
        for (std::size_t at = 0; at < patterns.size();) {
            const auto space = std::min(patterns.find(' ', at), patterns.size());
            if (patterns.substr(at, space - at) == pattern) {
                return row.format;
            }
            at = space + 1;
        }
    }
    return ImageFormat::Bin;
}

const char* imageFilePatterns(ImageFormat format) {
    return formatRow(format).patterns;
}

RawImage makeRawImage(std::span<const std::uint8_t> file, const ImageOptions& options) {
    const ChipModel& chip = chipModel(options.model);
    const bool flash = options.memory == ImageMemory::Flash;
    const std::uint64_t memorySize = flash ? chip.flashSize : chip.ramSize;
    const std::string memory = memoryText(options.memory, chip);
    const ImageFormat format = options.format;

    if (flash && options.base && *options.base != kFlashAddress && *options.base != 0) {
        return refuse(format, "the flash starts at " + hex32(kFlashAddress) + " (also seen at " +
                                  hex32(0) + "), not at " + hex32(*options.base));
    }

    if (!flash && options.base && *options.base + memorySize > 0x100000000u) {
        return refuse(format, memory + " cannot start at " + hex32(*options.base) +
                                  ": it would run past the end of the address space");
    }

    if (format == ImageFormat::Bin) {
        if (file.size() > memorySize) {
            return refuse(format, "the image (" + std::to_string(file.size()) +
                                      " bytes) is larger than " + memory + " (" +
                                      std::to_string(memorySize) + " bytes)");
        }
        RawImage image;
        image.ok = true;
        image.format = format;
        image.bytes.assign(file.begin(), file.end());
        image.base = options.base.value_or(flash ? kFlashAddress : 0);
        image.size = static_cast<std::uint32_t>(file.size());
        image.end = image.base + image.size;
        return image;
    }

    if (!flash && !options.base) {
        return refuse(format, std::string("a RAM image from ") + imageFormatName(format) +
                                  " needs a base address: the address of its first byte in RAM");
    }

    Collected collected;
    const bool read = format == ImageFormat::Hex    ? readHex(file, collected)
                      : format == ImageFormat::Srec ? readSrec(file, collected)
                                                    : readElf(file, collected);
    if (!read) {
        return refuse(format, collected.error);
    }

    std::uint64_t base = options.base.value_or(kFlashAddress);
    if (flash && !options.base && !collected.chunks.empty()) {
        const auto lowest =
            std::min_element(collected.chunks.begin(), collected.chunks.end(),
                             [](const Chunk& a, const Chunk& b) { return a.address < b.address; });
        base = lowest->address < memorySize ? 0 : kFlashAddress;
    }
    const std::string region = memory + " (" + rangeText(base, memorySize) + ")";

    // Every chunk inside the memory first; the image then reaches as far as the highest one.
    std::uint64_t size = 0;
    for (const Chunk& chunk : collected.chunks) {
        auto where = [&] {
            return std::string(collected.originKind) + " " + std::to_string(chunk.origin) +
                   ": data at " + rangeText(chunk.address, chunk.length);
        };
        if (chunk.address < base || chunk.address >= base + memorySize) {
            return refuse(format, where() + " is outside " + region);
        }
        if (chunk.address + chunk.length > base + memorySize) {
            return refuse(format, where() + " runs past the end of " + region +
                                      ": the image would be larger than its " +
                                      std::to_string(memorySize) + " bytes");
        }
        size = std::max<std::uint64_t>(size, chunk.address + chunk.length - base);
    }

    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size), kImageFill);
    std::vector<bool> given(bytes.size(), false);
    std::uint64_t givenCount = 0;
    for (const Chunk& chunk : collected.chunks) {
        const std::size_t at = static_cast<std::size_t>(chunk.address - base);
        for (std::size_t i = 0; i < chunk.length; ++i) {
            const std::uint8_t value = collected.data[chunk.offset + i];
            if (given[at + i] && bytes[at + i] != value) {
                return refuse(format, std::string(collected.originKind) + " " +
                                          std::to_string(chunk.origin) + ": data at " +
                                          hex32(base + at + i) + " overlaps earlier data with " +
                                          "a different byte (" + hex8(bytes[at + i]) + ", now " +
                                          hex8(value) + ")");
            }
            givenCount += given[at + i] ? 0 : 1;
            given[at + i] = true;
            bytes[at + i] = value;
        }
    }

    RawImage image;
    image.ok = true;
    image.format = format;
    image.bytes = std::move(bytes);
    image.base = static_cast<std::uint32_t>(base);
    image.size = static_cast<std::uint32_t>(size);
    image.end = static_cast<std::uint32_t>(base + size);
    image.filled = static_cast<std::uint32_t>(size - givenCount);
    return image;
}

std::string imageRangeText(const RawImage& image) {
    std::string text = std::to_string(image.size) + " bytes at " + image::hex32(image.base) + ".." +
                       image::hex32(image.end - 1u);
    if (image.filled > 0) {
        text += ", " + std::to_string(image.filled) + " of them gaps filled with " +
                image::hex8(image.fill);
    }
    return text;
}

}  // namespace tervan
