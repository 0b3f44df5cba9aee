// Fuzz target: the image file readers (raw, Intel HEX, S-records, ELF).
//
// Input: byte 0 picks the format (bits 0-1: bin, hex, srec, elf), the memory (bit 2: flash or
// RAM), the model (bit 3) and whether a base address is given (bit 4); bytes 1-4 are that base,
// little-endian; the rest is the file.
//
// Checks: a file is either taken or refused with a reason, and a refused one gives no bytes;
// a taken one fits the memory, its base, end, size and gap count agree with its bytes, and a
// raw file is taken byte for byte. An image taken from a file with addresses, written out again
// as Intel HEX and as S-records from its base, reads back as the same image.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/ImageFormats.h"
#include "fuzz/FuzzCheck.h"
#include "protocol/ChipModel.h"

using namespace tervan;

namespace {

std::string hexByte(unsigned value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", value & 0xFFu);
    return text;
}

// A record: `lead` then the bytes in hex and the checksum the format asks for.
void record(std::string& out, const char* lead, const std::vector<std::uint8_t>& bytes, bool hex) {
    unsigned sum = 0;
    out += lead;
    for (const auto b : bytes) {
        sum += b;
        out += hexByte(b);
    }
    out += hexByte(hex ? 0x100 - (sum & 0xFF) : ~sum);
    out += '\n';
}

std::vector<std::uint8_t> asIntelHex(const RawImage& image) {
    std::string out;
    for (std::size_t at = 0; at < image.bytes.size(); at += 16) {
        const std::uint32_t address = image.base + static_cast<std::uint32_t>(at);
        if (at == 0 || (address & 0xFFFF) < 16) {
            record(out, ":", {2, 0, 0, 4, std::uint8_t(address >> 24), std::uint8_t(address >> 16)},
                   true);
        }
        const std::size_t n = std::min<std::size_t>(16, image.bytes.size() - at);
        std::vector<std::uint8_t> bytes{std::uint8_t(n), std::uint8_t(address >> 8),
                                        std::uint8_t(address), 0};
        bytes.insert(bytes.end(), image.bytes.begin() + at, image.bytes.begin() + at + n);
        record(out, ":", bytes, true);
    }
    out += ":00000001FF\n";
    return {out.begin(), out.end()};
}

std::vector<std::uint8_t> asSrec(const RawImage& image) {
    std::string out;
    for (std::size_t at = 0; at < image.bytes.size(); at += 16) {
        const std::uint32_t address = image.base + static_cast<std::uint32_t>(at);
        const std::size_t n = std::min<std::size_t>(16, image.bytes.size() - at);
        std::vector<std::uint8_t> bytes{std::uint8_t(n + 5), std::uint8_t(address >> 24),
                                        std::uint8_t(address >> 16), std::uint8_t(address >> 8),
                                        std::uint8_t(address)};
        bytes.insert(bytes.end(), image.bytes.begin() + at, image.bytes.begin() + at + n);
        record(out, "S3", bytes, false);
    }
    record(out, "S7", {5, 0, 0, 0, 0}, false);
    return {out.begin(), out.end()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) {
        return -1;
    }
    ImageOptions options;
    options.format = static_cast<ImageFormat>(data[0] & 3);
    options.memory = (data[0] & 4) != 0 ? ImageMemory::Ram : ImageMemory::Flash;
    options.model = (data[0] >> 3) & 1;
    if ((data[0] & 16) != 0) {
        options.base = static_cast<std::uint32_t>(data[1] | data[2] << 8 | data[3] << 16 |
                                                  static_cast<std::uint32_t>(data[4]) << 24);
    }
    const std::span<const std::uint8_t> file(data + 5, size - 5);

    const RawImage image = makeRawImage(file, options);
    FUZZ_CHECK(image.format == options.format);
    if (!image.ok) {
        FUZZ_CHECK(!image.reason.empty());
        FUZZ_CHECK(image.bytes.empty());
        return 0;
    }
    const ChipModel& chip = chipModel(options.model);
    FUZZ_CHECK(image.reason.empty());
    FUZZ_CHECK(image.bytes.size() == image.size);
    FUZZ_CHECK(image.size <=
               (options.memory == ImageMemory::Flash ? chip.flashSize : chip.ramSize));
    FUZZ_CHECK(static_cast<std::uint64_t>(image.base) + image.size == image.end ||
               (image.size == 0 && image.end == image.base));
    FUZZ_CHECK(image.fill == kImageFill);
    FUZZ_CHECK(image.filled <= image.size);
    FUZZ_CHECK(image.size == 0 || image.filled < image.size);  // it ends with given data
    if (options.base) {
        FUZZ_CHECK(image.base == *options.base);
    } else if (options.memory == ImageMemory::Flash) {
        FUZZ_CHECK(image.base == kFlashAddress || image.base == 0);
    }
    if (options.format == ImageFormat::Bin) {
        FUZZ_CHECK(std::equal(image.bytes.begin(), image.bytes.end(), file.begin(), file.end()));
        FUZZ_CHECK(image.filled == 0);
        return 0;
    }
    // Written out again from its base, the image reads back the same, gaps now given as 0xFF.
    // (Only small ones: a sparse file makes images of many times its size.)
    if (image.size > 16384) {
        return 0;
    }
    ImageOptions again = options;
    for (const ImageFormat format : {ImageFormat::Hex, ImageFormat::Srec}) {
        again.format = format;
        const RawImage back =
            makeRawImage(format == ImageFormat::Hex ? asIntelHex(image) : asSrec(image), again);
        FUZZ_CHECK(back.ok);
        FUZZ_CHECK(back.bytes == image.bytes);
        FUZZ_CHECK(back.base == image.base || image.size == 0);
        FUZZ_CHECK(back.filled == 0);
    }
    return 0;
}
