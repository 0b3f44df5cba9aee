// Image files as the toolchain makes them: Intel HEX, S-records and ELF become the raw image
// from the start of the chosen memory, gaps 0xFF; a file with bad, cut, overlapping or
// misplaced data is refused with the line or segment, the address and the memory named.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/ImageFormats.h"

using namespace tervan;

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string hexByte(unsigned value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", value & 0xFFu);
    return text;
}

// One Intel HEX record with its checksum.
std::string ihex(unsigned type, unsigned offset, const Bytes& data) {
    Bytes all{static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(offset >> 8),
              static_cast<std::uint8_t>(offset), static_cast<std::uint8_t>(type)};
    all.insert(all.end(), data.begin(), data.end());
    unsigned sum = 0;
    std::string line = ":";
    for (const auto b : all) {
        sum += b;
        line += hexByte(b);
    }
    return line + hexByte(0x100 - (sum & 0xFF)) + "\n";
}

const std::string kHexEnd = ":00000001FF\n";
std::string linear(unsigned upper) {
    return ihex(4, 0, {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)});
}

// One S-record of type `type` with its count and checksum.
std::string srec(int type, std::uint32_t address, const Bytes& data) {
    static const int kAddressBytes[] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    Bytes all{static_cast<std::uint8_t>(kAddressBytes[type] + data.size() + 1)};
    for (int i = kAddressBytes[type] - 1; i >= 0; --i) {
        all.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
    }
    all.insert(all.end(), data.begin(), data.end());
    unsigned sum = 0;
    std::string line(1, 'S');
    line += std::to_string(type);
    for (const auto b : all) {
        sum += b;
        line += hexByte(b);
    }
    return line + hexByte(~sum) + "\n";
}

// The line with its checksum's last digit changed.
std::string badSum(std::string line) {
    char& digit = line[line.size() - 2];
    digit = digit == '0' ? '1' : '0';
    return line;
}

// A 32-bit little-endian ARM executable with these program headers, the file bytes of each
// segment after the headers.
struct Segment {
    std::uint32_t type;  // 1: PT_LOAD
    std::uint32_t paddr;
    std::uint32_t vaddr;
    std::uint32_t memsz;
    Bytes bytes;
};

void put32(Bytes& file, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        file[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

Bytes elf(const std::vector<Segment>& segments) {
    Bytes file(52 + 32 * segments.size(), 0);
    const Bytes ident{0x7F, 'E', 'L', 'F', 1, 1, 1};
    std::copy(ident.begin(), ident.end(), file.begin());
    file[16] = 2;   // ET_EXEC
    file[18] = 40;  // EM_ARM
    put32(file, 28, 52);
    file[42] = 32;
    file[44] = static_cast<std::uint8_t>(segments.size());
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const Segment& s = segments[i];
        const std::size_t at = 52 + 32 * i;
        put32(file, at, s.type);
        put32(file, at + 4, static_cast<std::uint32_t>(file.size()));
        put32(file, at + 8, s.vaddr);
        put32(file, at + 12, s.paddr);
        put32(file, at + 16, static_cast<std::uint32_t>(s.bytes.size()));
        put32(file, at + 20, s.memsz);
        file.insert(file.end(), s.bytes.begin(), s.bytes.end());
    }
    return file;
}

Bytes text(const std::string& s) {
    return {s.begin(), s.end()};
}

const ImageOptions kFlash256{ImageFormat::Hex, ImageMemory::Flash, 0, std::nullopt};
const ImageOptions kFlash64{ImageFormat::Hex, ImageMemory::Flash, 1, std::nullopt};
const ImageOptions kRamAt200000{ImageFormat::Hex, ImageMemory::Ram, 0, 0x00200000};

ImageOptions as(ImageFormat format, ImageOptions options) {
    options.format = format;
    return options;
}

}  // namespace

TEST(ImageFormats, FilesBecomeTheImageFromTheStartOfTheMemory) {
    const struct {
        const char* what;
        ImageFormat format;
        Bytes file;
        ImageOptions options;
        std::uint32_t base;
        Bytes bytes;
        std::uint32_t filled;
    } cases[] = {
        {"hex: linear address of the flash, a gap",
         ImageFormat::Hex,
         text(linear(0x0010) + ihex(0, 0, {1, 2}) + ihex(0, 4, {3}) + kHexEnd),
         kFlash256,
         0x00100000,
         {1, 2, 0xFF, 0xFF, 3},
         2},
        {"hex: no address record, the flash seen at 0",
         ImageFormat::Hex,
         text(ihex(0, 0, {9}) + kHexEnd),
         kFlash256,
         0,
         {9},
         0},
        {"hex: first data above the start: leading gap",
         ImageFormat::Hex,
         text(linear(0x0010) + ihex(0, 3, {7}) + kHexEnd),
         kFlash256,
         0x00100000,
         {0xFF, 0xFF, 0xFF, 7},
         3},
        {"hex: start addresses, lower case, CRLF, a blank line, the same bytes twice",
         ImageFormat::Hex,
         text(":0400000300001000E9\r\n:0400000500100000E7\r\n:0100000005fa\r\n\r\n" +
              ihex(0, 0, {5}) + kHexEnd),
         kFlash256,
         0,
         {5},
         0},
        {"hex: RAM from its base",
         ImageFormat::Hex,
         text(linear(0x0020) + ihex(0, 2, {4}) + kHexEnd),
         kRamAt200000,
         0x00200000,
         {0xFF, 0xFF, 4},
         2},
        {"hex: only the end record", ImageFormat::Hex, text(kHexEnd), kFlash256, 0x00100000, {}, 0},
        {"srec: header, 16-, 24- and 32-bit data, count, end",
         ImageFormat::Srec,
         text(srec(0, 0, text("hdr")) + srec(3, 0x00100000, {1}) + srec(2, 0x100002, {3}) +
              srec(5, 2, {}) + srec(7, 0x00100000, {})),
         kFlash256,
         0x00100000,
         {1, 0xFF, 3},
         1},
        {"srec: 16-bit addresses at 0, ended by S9",
         ImageFormat::Srec,
         text(srec(1, 0, {1, 2}) + srec(9, 0, {})),
         kFlash256,
         0,
         {1, 2},
         0},
        {"srec: S6 count and S8 end",
         ImageFormat::Srec,
         text(srec(2, 0x100000, {6}) + srec(6, 1, {}) + srec(8, 0x100000, {})),
         kFlash256,
         0x00100000,
         {6},
         0},
        {"elf: .data stored after the code, run from RAM; .bss and a note left out",
         ImageFormat::Elf,
         elf({{1, 0x00100000, 0x00100000, 4, {1, 2, 3, 4}},
              {4, 0, 0, 2, {9, 9}},
              {1, 0x00100006, 0x00200000, 64, {5, 6}}}),
         kFlash256,
         0x00100000,
         {1, 2, 3, 4, 0xFF, 0xFF, 5, 6},
         2},
        {"elf: a segment with no file bytes is no data",
         ImageFormat::Elf,
         elf({{1, 0x00100000, 0x00100000, 1, {7}}, {1, 0x00300000, 0x00300000, 16, {}}}),
         kFlash256,
         0x00100000,
         {7},
         0},
        {"bin: bytes as they are, exactly the memory's size", ImageFormat::Bin, Bytes(65536, 0x00),
         kFlash64, 0x00100000, Bytes(65536, 0x00), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const RawImage image = makeRawImage(c.file, as(c.format, c.options));
        ASSERT_TRUE(image.ok) << image.reason;
        EXPECT_TRUE(image.reason.empty());
        EXPECT_EQ(image.format, c.format);
        EXPECT_EQ(image.base, c.base);
        EXPECT_EQ(image.size, image.bytes.size());
        EXPECT_EQ(image.end, image.base + image.size);
        EXPECT_EQ(image.fill, 0xFF);
        EXPECT_EQ(image.bytes, c.bytes);
        EXPECT_EQ(image.filled, c.filled);
    }

    // Segment 0x0001 starts at 0x10; an offset running past 0xFFFF wraps inside the segment.
    const RawImage wrapped = makeRawImage(
        text(ihex(2, 0, {0x00, 0x01}) + ihex(0, 0xFFFF, {0xAA, 0xBB}) + kHexEnd), kFlash256);
    ASSERT_TRUE(wrapped.ok) << wrapped.reason;
    ASSERT_EQ(wrapped.size, 0x10010u);
    EXPECT_EQ(wrapped.bytes[0x10], 0xBB);
    EXPECT_EQ(wrapped.bytes[0x1000F], 0xAA);
    EXPECT_EQ(wrapped.filled, 0x10010u - 2);
}

TEST(ImageFormats, BadFilesAreRefusedNamingWhereAndGiveNoBytes) {
    const std::string data = ihex(0, 0x10, {1, 2, 3, 4});
    const std::string s3 = srec(3, 0x00100010, {1, 2, 3, 4});
    const struct {
        ImageFormat format;
        Bytes file;
        ImageOptions options;
        const char* reason;
    } cases[] = {
        // Intel HEX
        {ImageFormat::Hex, text(linear(0x10) + badSum(data) + kHexEnd), kFlash256,
         "line 2: bad checksum 0x"},
        {ImageFormat::Hex, text(linear(0x10) + badSum(data) + kHexEnd), kFlash256,
         "in the data at 0x00100010"},
        {ImageFormat::Hex, text(linear(0x10) + data.substr(0, 15) + "\n" + kHexEnd), kFlash256,
         "line 2: truncated record at 0x00100010"},
        {ImageFormat::Hex, text(linear(0x10) + data), kFlash256,
         "ends without an end-of-file record (truncated after line 2)"},
        {ImageFormat::Hex, text(":02000004001\n"), kFlash256, "line 1: truncated record"},
        {ImageFormat::Hex, text("0200000400" + kHexEnd), kFlash256,
         "line 1 is not an Intel HEX record"},
        {ImageFormat::Hex, text(":0G00000400\n"), kFlash256,
         "line 1 holds a character that is not a hex digit"},
        {ImageFormat::Hex, text(ihex(6, 0, {}) + kHexEnd), kFlash256,
         "line 1: 0x06 is not an Intel HEX record type"},
        {ImageFormat::Hex, text(ihex(4, 0, {0x10}) + kHexEnd), kFlash256,
         "line 1: a record of type 0x04 holds 2 bytes, not 1"},
        {ImageFormat::Hex, text(":0100000001FE00\n" + kHexEnd), kFlash256,
         "longer than its length byte says"},
        {ImageFormat::Hex, text(kHexEnd + data), kFlash256,
         "line 2 comes after the end-of-file record"},
        {ImageFormat::Hex, text(linear(0x10) + data + ihex(0, 0x12, {3, 9}) + kHexEnd), kFlash256,
         "line 3: data at 0x00100013 overlaps earlier data with a different byte "
         "(0x04, now 0x09)"},
        {ImageFormat::Hex, text(linear(0x20) + data + kHexEnd), kFlash256,
         "line 2: data at 0x00200010-0x00200013 is outside the flash of SAM7S256/128 "
         "(0x00100000-0x0013FFFF)"},
        {ImageFormat::Hex, text(ihex(0, 0, {1}) + linear(0x10) + data + kHexEnd), kFlash256,
         "line 3: data at 0x00100010-0x00100013 is outside the flash of SAM7S256/128 "
         "(0x00000000-0x0003FFFF)"},
        {ImageFormat::Hex, text(linear(0x10) + ihex(0, 0xFFFE, {1, 2, 3}) + kHexEnd), kFlash64,
         "line 2: data at 0x0010FFFE-0x00110000 runs past the end of the flash of SAM7S64/32 "
         "(0x00100000-0x0010FFFF): the image would be larger than its 65536 bytes"},
        {ImageFormat::Hex, text(linear(0x1F) + data + kHexEnd), kRamAt200000,
         "is outside the RAM of SAM7S256/128 (0x00200000-0x0020FFFF)"},
        {ImageFormat::Hex,
         text(kHexEnd),
         {ImageFormat::Hex, ImageMemory::Ram, 0, std::nullopt},
         "a RAM image from hex needs a base address"},
        {ImageFormat::Hex,
         text(kHexEnd),
         {ImageFormat::Hex, ImageMemory::Flash, 0, 0x00200000},
         "the flash starts at 0x00100000 (also seen at 0x00000000), not at 0x00200000"},
        {ImageFormat::Bin,
         Bytes(16),
         {ImageFormat::Bin, ImageMemory::Ram, 0, 0xFFFFFF00},
         "the RAM of SAM7S256/128 cannot start at 0xFFFFFF00"},
        // S-records
        {ImageFormat::Srec, text(badSum(s3) + srec(7, 0, {})), kFlash256,
         "line 1: bad checksum 0x"},
        {ImageFormat::Srec, text(s3.substr(0, 12) + "\n" + srec(7, 0, {})), kFlash256,
         "line 1: truncated record at 0x00100010"},
        {ImageFormat::Srec, text(s3), kFlash256,
         "the file ends without a termination record (S7, S8 or S9): truncated after line 1"},
        {ImageFormat::Srec, text("S4030000FC\n" + srec(9, 0, {})), kFlash256,
         "line 1: S4 is not an S-record type"},
        {ImageFormat::Srec, text(":00000001FF\n"), kFlash256, "line 1 is not an S-record"},
        {ImageFormat::Srec, text(s3 + srec(5, 2, {}) + srec(7, 0, {})), kFlash256,
         "line 2: the file says it holds 2 data records, but 1 came before"},
        {ImageFormat::Srec, text(srec(9, 0, {}) + s3), kFlash256,
         "line 2 comes after the termination record"},
        {ImageFormat::Srec, text("S30200FD\n"), kFlash256, "leaves no room for its address"},
        {ImageFormat::Srec, text(s3 + srec(3, 0x00100011, {2, 7}) + srec(7, 0, {})), kFlash256,
         "line 2: data at 0x00100012 overlaps earlier data with a different byte"},
        // ELF
        {ImageFormat::Elf, text("not an elf"), kFlash256, "not an ELF file"},
        {ImageFormat::Elf, Bytes{0x7F, 'E', 'L', 'F', 1, 1}, kFlash256,
         "truncated ELF file: its header needs 52 bytes, the file has 6"},
        {ImageFormat::Elf,
         [] {
             Bytes f = elf({});
             f[4] = 2;  // 64-bit
             return f;
         }(),
         kFlash256, "not a 32-bit little-endian ARM ELF file"},
        {ImageFormat::Elf,
         [] {
             Bytes f = elf({});
             f[18] = 3;  // x86
             return f;
         }(),
         kFlash256, "not a 32-bit little-endian ARM ELF file"},
        {ImageFormat::Elf,
         [] {
             Bytes f = elf({});
             f[16] = 1;  // relocatable
             return f;
         }(),
         kFlash256, "not an executable ELF file (type 1)"},
        {ImageFormat::Elf,
         [] {
             Bytes f = elf({{1, 0x00100000, 0x00100000, 4, {1, 2, 3, 4}}});
             f.resize(60);
             return f;
         }(),
         kFlash256, "truncated ELF file: its program headers end at byte 84, the file has 60"},
        {ImageFormat::Elf,
         [] {
             Bytes f = elf({{1, 0x00100000, 0x00100000, 4, {1, 2, 3, 4}}});
             f.resize(f.size() - 1);
             return f;
         }(),
         kFlash256, "truncated ELF file: segment 0 at 0x00100000 needs bytes up to 88"},
        {ImageFormat::Elf, elf({{1, 0x00100000, 0x00100000, 1, {1, 2}}}), kFlash256,
         "segment 0 at 0x00100000 holds more bytes in the file (2) than in memory (1)"},
        {ImageFormat::Elf,
         elf({{1, 0x00100000, 0x00100000, 4, {1, 2, 3, 4}},
              {1, 0x00200000, 0x00200000, 4, {5, 6, 7, 8}}}),
         kFlash256,
         "segment 1: data at 0x00200000-0x00200003 is outside the flash of SAM7S256/128"},
        // A raw image
        {ImageFormat::Bin, Bytes(65537), kFlash64,
         "the image (65537 bytes) is larger than the flash of SAM7S64/32 (65536 bytes)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        const RawImage image = makeRawImage(c.file, as(c.format, c.options));
        EXPECT_FALSE(image.ok);
        EXPECT_NE(image.reason.find(c.reason), std::string::npos) << image.reason;
        EXPECT_TRUE(image.bytes.empty());
    }
}

TEST(ImageFormats, FormatComesFromTheNameNeverFromTheBytes) {
    const struct {
        const char* path;
        ImageFormat format;
    } cases[] = {
        {"app.bin", ImageFormat::Bin},   {"build/APP.HEX", ImageFormat::Hex},
        {"a.ihx", ImageFormat::Hex},     {"a.s19", ImageFormat::Srec},
        {"a.srec", ImageFormat::Srec},   {"C:\\fw\\a.S37", ImageFormat::Srec},
        {"a.elf", ImageFormat::Elf},     {"a.axf", ImageFormat::Elf},
        {"hex.d/app", ImageFormat::Bin}, {"app.hex.bin", ImageFormat::Bin},
        {"image", ImageFormat::Bin},     {"a.s", ImageFormat::Bin},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(imageFormatOfPath(c.path), c.format) << c.path;
    }
    for (const auto format :
         {ImageFormat::Bin, ImageFormat::Hex, ImageFormat::Srec, ImageFormat::Elf}) {
        EXPECT_EQ(imageFormatByName(imageFormatName(format)), format);
    }
    EXPECT_FALSE(imageFormatByName("ihex"));
    // A .bin holding Intel HEX text is still sent as it is.
    const RawImage image =
        makeRawImage(text(kHexEnd), {ImageFormat::Bin, ImageMemory::Flash, 0, std::nullopt});
    ASSERT_TRUE(image.ok);
    EXPECT_EQ(image.bytes, text(kHexEnd));
}
