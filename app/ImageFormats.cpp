#include "app/ImageFormats.h"

#include <algorithm>
#include <cstdio>

#include "protocol/ChipModel.h"

namespace tervan {
namespace {

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

// A run of the file's data at an address, and where in the file it was given.
struct Chunk {
    std::uint64_t address;
    std::size_t offset;  // into Collected::data
    std::size_t length;
    std::size_t origin;  // line or segment number
};

struct Collected {
    const char* originKind = "line";
    std::vector<std::uint8_t> data;
    std::vector<Chunk> chunks;
    std::string error;

    void add(std::uint64_t address, std::span<const std::uint8_t> bytes, std::size_t origin) {
        if (bytes.empty()) {
            return;
        }
        chunks.push_back({address, data.size(), bytes.size(), origin});
        data.insert(data.end(), bytes.begin(), bytes.end());
    }
    bool fail(std::string reason) {
        error = std::move(reason);
        return false;
    }
};

// ---- text records ----------------------------------------------------------------------------

// The lines of a text file without their line ends and trailing blanks, numbered from 1.
// Lines that hold nothing else are skipped, and so is the end-of-file mark (Ctrl-Z) some
// tools still write.
template <typename Take>
bool forEachLine(std::span<const std::uint8_t> file, Take&& take) {
    std::size_t number = 0;
    std::size_t at = 0;
    while (at < file.size()) {
        std::size_t stop = at;
        while (stop < file.size() && file[stop] != '\n') {
            ++stop;
        }
        ++number;
        std::size_t last = stop;
        while (last > at && (file[last - 1] == '\r' || file[last - 1] == ' ' ||
                             file[last - 1] == '\t' || file[last - 1] == 0x1A)) {
            --last;
        }
        if (last > at &&
            !take(std::string_view(reinterpret_cast<const char*>(file.data()) + at, last - at),
                  number)) {
            return false;
        }
        at = stop + 1;
    }
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// The bytes written as pairs of hex digits in `text`; false when a character is no hex digit.
// An odd digit at the end is left out: the record is then shorter than it says.
bool hexBytes(std::string_view text, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    for (const char c : text) {
        if (hexDigit(c) < 0) {
            return false;
        }
    }
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(hexDigit(text[i]) << 4 | hexDigit(text[i + 1])));
    }
    return true;
}

std::string lineText(std::size_t number) {
    return "line " + std::to_string(number);
}

// Intel HEX: ":LLAAAATT<data>CC", the checksum making the sum of all bytes 0.
bool readHex(std::span<const std::uint8_t> file, Collected& out) {
    std::uint64_t upper = 0;    // from an extended linear address record
    std::uint64_t segment = 0;  // from an extended segment address record
    bool segmented = false;
    bool ended = false;
    std::size_t lastLine = 0;
    std::vector<std::uint8_t> bytes;
    const bool read = forEachLine(file, [&](std::string_view line, std::size_t number) {
        const std::string where = lineText(number);
        lastLine = number;
        if (ended) {
            return out.fail(where + " comes after the end-of-file record");
        }
        if (line[0] != ':') {
            return out.fail(where + " is not an Intel HEX record (it does not start with ':')");
        }
        if (!hexBytes(line.substr(1), bytes)) {
            return out.fail(where + " holds a character that is not a hex digit");
        }
        const std::size_t length = bytes.empty() ? 0 : bytes[0];
        const std::uint64_t offset = bytes.size() >= 3 ? (bytes[1] << 8 | bytes[2]) : 0;
        const std::uint64_t address =
            segmented ? segment + offset : upper + offset;  // where its data would go
        if (line.size() % 2 == 0 || bytes.size() < 5 + length) {
            return out.fail(where + ": truncated record" +
                            (bytes.size() >= 4 && bytes[3] == 0 ? " at " + hex32(address) : ""));
        }
        if (bytes.size() > 5 + length) {
            return out.fail(where + ": the record is longer than its length byte says");
        }
        unsigned sum = 0;
        for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
            sum += bytes[i];
        }
        const unsigned expected = (0x100 - (sum & 0xFF)) & 0xFF;
        if (bytes.back() != expected) {
            return out.fail(where + ": bad checksum " + hex8(bytes.back()) + " (the record needs " +
                            hex8(expected) + ")" +
                            (bytes[3] == 0 ? " in the data at " + hex32(address) : ""));
        }
        const std::span<const std::uint8_t> data(bytes.data() + 4, length);
        const unsigned type = bytes[3];
        auto needLength = [&](std::size_t want) {
            return length == want ||
                   out.fail(where + ": a record of type " + hex8(type) + " holds " +
                            std::to_string(want) + " bytes, not " + std::to_string(length));
        };
        switch (type) {
            case 0x00:
                if (segmented && offset + length > 0x10000) {
                    // Within a segment the offset wraps at 64 KiB.
                    const std::size_t first = static_cast<std::size_t>(0x10000 - offset);
                    out.add(address, data.first(first), number);
                    out.add(segment, data.subspan(first), number);
                } else {
                    out.add(address, data, number);
                }
                return true;
            case 0x01:
                ended = true;
                return needLength(0);
            case 0x02:
                if (!needLength(2)) {
                    return false;
                }
                segmented = true;
                segment = static_cast<std::uint64_t>(data[0] << 8 | data[1]) << 4;
                return true;
            case 0x04:
                if (!needLength(2)) {
                    return false;
                }
                segmented = false;
                upper = static_cast<std::uint64_t>(data[0] << 8 | data[1]) << 16;
                return true;
            case 0x03:  // start segment address (CS:IP) and start linear address: where the
            case 0x05:  // program begins, which the loader does not take
                return needLength(4);
            default:
                return out.fail(where + ": " + hex8(type) + " is not an Intel HEX record type");
        }
    });
    if (read && !ended) {
        return out.fail("the file ends without an end-of-file record (truncated" +
                        (lastLine > 0 ? " after " + lineText(lastLine) : std::string()) + ")");
    }
    return read;
}

// Motorola S-records: "S" type, count, address, data, checksum; the count covers address, data
// and checksum; the checksum is the ones' complement of the sum of count, address and data.
bool readSrec(std::span<const std::uint8_t> file, Collected& out) {
    bool ended = false;
    std::size_t lastLine = 0;
    std::size_t dataRecords = 0;
    std::vector<std::uint8_t> bytes;
    const bool read = forEachLine(file, [&](std::string_view line, std::size_t number) {
        const std::string where = lineText(number);
        lastLine = number;
        if (ended) {
            return out.fail(where + " comes after the termination record");
        }
        if (line[0] != 'S' || line.size() < 2) {
            return out.fail(where + " is not an S-record (it does not start with 'S')");
        }
        // Bytes of address each type carries; 0 for a type that does not exist (S4).
        static constexpr std::size_t kAddressBytes[] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
        const int type = line[1] >= '0' && line[1] <= '9' ? line[1] - '0' : -1;
        if (type < 0 || kAddressBytes[type] == 0) {
            return out.fail(where + ": S" + std::string(1, line[1]) + " is not an S-record type");
        }
        if (!hexBytes(line.substr(2), bytes)) {
            return out.fail(where + " holds a character that is not a hex digit");
        }
        const std::size_t addressBytes = kAddressBytes[type];
        std::uint64_t address = 0;
        for (std::size_t i = 1; i <= addressBytes && i < bytes.size(); ++i) {
            address = address << 8 | bytes[i];
        }
        const bool isData = type >= 1 && type <= 3;
        const bool knownAddress = isData && bytes.size() > addressBytes;
        if (line.size() % 2 != 0 || bytes.empty() || bytes.size() < 1u + bytes[0]) {
            return out.fail(where + ": truncated record" +
                            (knownAddress ? " at " + hex32(address) : ""));
        }
        if (bytes.size() > 1u + bytes[0]) {
            return out.fail(where + ": the record is longer than its count byte says");
        }
        if (bytes[0] < addressBytes + 1) {
            return out.fail(where + ": the record's count (" + std::to_string(bytes[0]) +
                            ") leaves no room for its address and checksum");
        }
        unsigned sum = 0;
        for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
            sum += bytes[i];
        }
        const unsigned expected = ~sum & 0xFF;
        if (bytes.back() != expected) {
            return out.fail(where + ": bad checksum " + hex8(bytes.back()) + " (the record needs " +
                            hex8(expected) + ")" +
                            (isData ? " in the data at " + hex32(address) : ""));
        }
        const std::span<const std::uint8_t> data(bytes.data() + 1 + addressBytes,
                                                 bytes.size() - 2 - addressBytes);
        if (isData) {
            ++dataRecords;
            out.add(address, data, number);
        } else if (type == 5 || type == 6) {
            if (address != dataRecords) {
                return out.fail(where + ": the file says it holds " + std::to_string(address) +
                                " data records, but " + std::to_string(dataRecords) +
                                " came before (records are missing)");
            }
        } else if (type >= 7) {
            ended = true;
        }
        return true;
    });
    if (read && !ended) {
        return out.fail("the file ends without a termination record (S7, S8 or S9): truncated" +
                        (lastLine > 0 ? " after " + lineText(lastLine) : std::string()));
    }
    return read;
}

// ---- ELF ---------------------------------------------------------------------------------------

std::uint32_t le32(std::span<const std::uint8_t> file, std::size_t at) {
    return static_cast<std::uint32_t>(file[at]) | static_cast<std::uint32_t>(file[at + 1]) << 8 |
           static_cast<std::uint32_t>(file[at + 2]) << 16 |
           static_cast<std::uint32_t>(file[at + 3]) << 24;
}

std::uint16_t le16(std::span<const std::uint8_t> file, std::size_t at) {
    return static_cast<std::uint16_t>(file[at] | file[at + 1] << 8);
}

// A 32-bit little-endian ARM executable: the file bytes of each PT_LOAD segment at its physical
// (load) address. When the file has its section table, only the bytes of the sections the
// program holds (allocated, with contents) count: the linker's padding between two sections
// of a segment is a gap like any other, as the toolchain's own conversions treat it.
bool readElf(std::span<const std::uint8_t> file, Collected& out) {
    out.originKind = "segment";
    constexpr std::size_t kHeaderSize = 52;
    constexpr std::size_t kProgramHeaderSize = 32;
    constexpr std::size_t kSectionHeaderSize = 40;
    constexpr std::uint32_t kLoad = 1;
    constexpr std::uint32_t kNoBits = 8;
    constexpr std::uint32_t kAllocated = 2;
    if (file.size() < 4 || file[0] != 0x7F || file[1] != 'E' || file[2] != 'L' || file[3] != 'F') {
        return out.fail("not an ELF file (it does not start with 0x7F 'ELF')");
    }
    if (file.size() < kHeaderSize) {
        return out.fail("truncated ELF file: its header needs " + std::to_string(kHeaderSize) +
                        " bytes, the file has " + std::to_string(file.size()));
    }
    if (file[4] != 1 || file[5] != 1 || le16(file, 18) != 40) {
        return out.fail("not a 32-bit little-endian ARM ELF file");
    }
    if (le16(file, 16) != 2) {
        return out.fail("not an executable ELF file (type " + std::to_string(le16(file, 16)) +
                        "): link it first");
    }
    // A table of `count` entries of `entrySize` bytes at `at`, all inside the file.
    auto table = [&](const char* what, std::uint64_t at, std::uint64_t entrySize,
                     std::uint64_t count, std::size_t least) {
        if (count > 0 && entrySize < least) {
            return out.fail(std::string("malformed ELF file: ") + what + " of " +
                            std::to_string(entrySize) + " bytes");
        }
        if (at + entrySize * count > file.size()) {
            return out.fail(std::string("truncated ELF file: its ") + what + " end at byte " +
                            std::to_string(at + entrySize * count) + ", the file has " +
                            std::to_string(file.size()));
        }
        return true;
    };
    const std::uint64_t programAt = le32(file, 28);
    const std::uint64_t programSize = le16(file, 42);
    const std::uint64_t programCount = le16(file, 44);
    const std::uint64_t sectionAt = le32(file, 32);
    const std::uint64_t sectionSize = le16(file, 46);
    const std::uint64_t sectionCount = sectionAt == 0 ? 0 : le16(file, 48);
    if (!table("program headers", programAt, programSize, programCount, kProgramHeaderSize) ||
        !table("section headers", sectionAt, sectionSize, sectionCount, kSectionHeaderSize)) {
        return false;
    }
    for (std::size_t i = 0; i < programCount; ++i) {
        const std::size_t at = static_cast<std::size_t>(programAt + programSize * i);
        if (le32(file, at) != kLoad) {
            continue;
        }
        const std::uint64_t offset = le32(file, at + 4);
        const std::uint64_t address = le32(file, at + 12);  // p_paddr: where it is loaded
        const std::uint64_t fileSize = le32(file, at + 16);
        const std::uint64_t memorySize = le32(file, at + 20);
        const std::string where = "segment " + std::to_string(i) + " at " + hex32(address);
        if (fileSize > memorySize) {
            return out.fail("malformed ELF file: " + where + " holds more bytes in the file (" +
                            std::to_string(fileSize) + ") than in memory (" +
                            std::to_string(memorySize) + ")");
        }
        if (offset + fileSize > file.size()) {
            return out.fail("truncated ELF file: " + where + " needs bytes up to " +
                            std::to_string(offset + fileSize) + ", the file has " +
                            std::to_string(file.size()));
        }
        auto take = [&](std::uint64_t from, std::uint64_t to) {
            out.add(
                address + (from - offset),
                file.subspan(static_cast<std::size_t>(from), static_cast<std::size_t>(to - from)),
                i);
        };
        if (sectionCount == 0) {
            take(offset, offset + fileSize);
            continue;
        }
        for (std::size_t k = 0; k < sectionCount; ++k) {
            const std::size_t section = static_cast<std::size_t>(sectionAt + sectionSize * k);
            if (le32(file, section + 4) == kNoBits || (le32(file, section + 8) & kAllocated) == 0) {
                continue;
            }
            const std::uint64_t start = le32(file, section + 16);
            const std::uint64_t stop = start + le32(file, section + 20);
            const std::uint64_t from = std::max(start, offset);
            const std::uint64_t to = std::min(stop, offset + fileSize);
            if (from < to) {
                take(from, to);
            }
        }
    }
    return true;
}

// ---- placing the data
// ----------------------------------------------------------------------------

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

}  // namespace tervan
