// ELF executables: the bytes of the program's loadable segments at their load addresses.
#include <string>

#include "app/ImageReaders.h"

namespace tervan::image {
namespace {

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
}  // namespace

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

}  // namespace tervan::image
