#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "protocol/ChipModel.h"
#include "protocol/Frame.h"

using namespace tervan;

namespace {

std::uint16_t crcOf(const std::string& text) {
    return frameCrc16(reinterpret_cast<const std::uint8_t*>(text.data()),
                      static_cast<int>(text.size()));
}

}  // namespace

TEST(FrameCrc, MatchesTheKermitCatalogue) {
    EXPECT_EQ(crcOf("123456789"), 0x2189);
    EXPECT_EQ(crcOf(""), 0x0000);
    EXPECT_EQ(crcOf("A"), 0x538D);
    const std::uint8_t zero = 0;
    EXPECT_EQ(frameCrc16(&zero, 1), 0x0000);
    const std::uint8_t ff = 0xFF;
    EXPECT_EQ(frameCrc16(&ff, 1), 0x0F78);
    // A count of zero or less yields 0 and reads nothing.
    EXPECT_EQ(frameCrc16(nullptr, 0), 0);
    EXPECT_EQ(frameCrc16(reinterpret_cast<const std::uint8_t*>("1"), -5), 0);
}

TEST(ModelParameters, TheTwoChipClasses) {
    const auto big = modelParameters(0);
    EXPECT_EQ(big.pageSize, 256u);
    EXPECT_EQ(big.flashSize, 262144u);
    EXPECT_EQ(big.frameLength, 261u);
    for (const std::int32_t model : {1, 2, -1, 0x7FFFFFFF}) {
        const auto small = modelParameters(model);
        EXPECT_EQ(small.pageSize, 128u);
        EXPECT_EQ(small.flashSize, 65536u);
        EXPECT_EQ(small.frameLength, small.pageSize + 5);
    }
}

// Every row of the chip table must make frames that fit the frame buffer and images that fit
// the image buffer, and be found again by its command-line name.
TEST(ChipModelTable, EveryRowIsConsistent) {
    for (std::size_t row = 0; row < kChipModelCount; ++row) {
        const ChipModel& chip = kChipModels[row];
        SCOPED_TRACE(chip.windowName);
        EXPECT_EQ(chip.frameLength, chip.pageSize + kFrameHeaderSize);
        EXPECT_LE(chip.frameLength, kFrameBufferSize);
        EXPECT_EQ(chip.flashSize % chip.pageSize, 0u);
        EXPECT_LE(chip.flashSize, kMaxImageSize);
        EXPECT_LE(chip.ramSize, kMaxImageSize);
        EXPECT_EQ(modelByCommandName(chip.commandName), static_cast<std::int32_t>(row));
        EXPECT_EQ(modelByCommandName(chip.otherChip), static_cast<std::int32_t>(row));
        EXPECT_EQ(&chipModel(static_cast<std::int32_t>(row)), &chip);
    }
    EXPECT_FALSE(modelByCommandName("128k"));
}

TEST(BuildFrame, GoFrameCarriesNoDataUnderBothModels) {
    for (const std::int32_t model : {0, 1}) {
        const auto params = modelParameters(model);
        std::uint8_t frame[kFrameBufferSize];
        std::memset(frame, 0xAA, sizeof frame);
        EXPECT_EQ(buildFrame(frame, params, kCommandGo, 0, nullptr, 0), params.frameLength);
        EXPECT_EQ(frame[2], 0x47);
        EXPECT_EQ(frame[3], 0);
        EXPECT_EQ(frame[4], 0);
        for (std::uint32_t i = 5; i < params.frameLength; ++i) {
            ASSERT_EQ(frame[i], 0) << "offset " << i;
        }
        // The CRC covers the command and pageSize + 2 zero bytes, low byte first.
        std::vector<std::uint8_t> covered(params.pageSize + 3, 0);
        covered[0] = 0x47;
        const std::uint16_t crc = frameCrc16(covered.data(), static_cast<int>(covered.size()));
        EXPECT_EQ(frame[0], crc & 0xFF);
        EXPECT_EQ(frame[1], crc >> 8);
        EXPECT_TRUE(frameCrcMatches(frame, params.frameLength));
        // Nothing past the frame is touched.
        EXPECT_EQ(frame[params.frameLength], 0xAA);
        if (model == 0) {
            EXPECT_EQ(crc, 0xC816);
        }
    }
}

TEST(BuildFrame, ImageOf300BytesSplitsIntoTwoPaddedPages) {
    std::vector<std::uint8_t> image(300);
    std::iota(image.begin(), image.end(), 1);
    const auto params = modelParameters(0);
    std::uint8_t frame[kFrameBufferSize];

    buildFrame(frame, params, kCommandWrite, 0, image.data(), 256);
    EXPECT_EQ(0, std::memcmp(frame + 5, image.data(), 256));
    EXPECT_EQ(frame[3], 0);

    buildFrame(frame, params, kCommandWrite, 1, image.data() + 256, 44);
    EXPECT_EQ(frame[3], 1);
    EXPECT_EQ(frame[4], 0);
    EXPECT_EQ(0, std::memcmp(frame + 5, image.data() + 256, 44));
    for (int i = 5 + 44; i < 261; ++i) {
        ASSERT_EQ(frame[i], 0x00) << "padding must be 0x00 at offset " << i;
    }
    EXPECT_TRUE(frameCrcMatches(frame, 261));
}

TEST(BuildFrame, BlockNumberIsLittleEndianAndCountIsCutToThePage) {
    const auto params = modelParameters(1);
    std::vector<std::uint8_t> data(300, 0x5A);
    std::uint8_t frame[kFrameBufferSize] = {};
    buildFrame(frame, params, kCommandRam, 256, data.data(), data.size());
    EXPECT_EQ(frame[3], 0x00);
    EXPECT_EQ(frame[4], 0x01);
    EXPECT_EQ(frame[5 + 127], 0x5A);
    EXPECT_EQ(frame[5 + 128], 0x00);  // past the 133-byte frame: untouched
    buildFrame(frame, params, kCommandRam, 1023, data.data(), 1);
    EXPECT_EQ(frame[3], 0xFF);
    EXPECT_EQ(frame[4], 0x03);
}

TEST(BuildFrame, AnyFlippedBitBreaksTheCrc) {
    const auto params = modelParameters(0);
    std::vector<std::uint8_t> page(256);
    std::iota(page.begin(), page.end(), 0);
    std::uint8_t frame[kFrameBufferSize];
    buildFrame(frame, params, kCommandWrite, 7, page.data(), page.size());
    for (std::uint32_t byte = 0; byte < params.frameLength; ++byte) {
        for (int bit = 0; bit < 8; ++bit) {
            frame[byte] ^= static_cast<std::uint8_t>(1u << bit);
            ASSERT_FALSE(frameCrcMatches(frame, params.frameLength)) << byte << ":" << bit;
            frame[byte] ^= static_cast<std::uint8_t>(1u << bit);
        }
    }
    EXPECT_TRUE(frameCrcMatches(frame, params.frameLength));
}
