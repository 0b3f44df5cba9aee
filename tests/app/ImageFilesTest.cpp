// One program as the toolchain writes it (tests/app/images, made by make.sh there): its ELF,
// Intel HEX and S-records give the same image as its raw .bin, initialised data included at
// its load address in flash.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "app/ImageFormats.h"

using namespace tervan;

namespace {

std::vector<std::uint8_t> readFile(const std::string& name) {
    std::ifstream in(std::string(TERVAN_TEST_IMAGES) + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

TEST(ImageFiles, HexSrecAndElfOfOneProgramGiveItsBin) {
    const auto bin = readFile("program.bin");
    ASSERT_EQ(bin.size(), 280u);
    for (const char* name : {"program.hex", "program.srec", "program.elf"}) {
        SCOPED_TRACE(name);
        ImageOptions options;
        options.format = imageFormatOfPath(name);
        const RawImage image = makeRawImage(readFile(name), options);
        ASSERT_TRUE(image.ok) << image.reason;
        EXPECT_EQ(image.bytes, bin);
        EXPECT_EQ(image.base, kFlashAddress);
        EXPECT_EQ(image.end, kFlashAddress + 280);
        // Between the code (0x64 bytes) and the table at 0x100.
        EXPECT_EQ(image.filled, 0x100u - 0x64u);
    }
}
