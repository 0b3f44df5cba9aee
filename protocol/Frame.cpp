#include "protocol/Frame.h"

#include "protocol/ChipModel.h"

#include <array>
#include <cstring>

namespace tervan {
namespace {

constexpr std::array<std::uint16_t, 256> makeCrcTable() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t value = static_cast<std::uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            const bool carry = value & 1u;
            value = static_cast<std::uint16_t>(value >> 1);
            if (carry) {
                value ^= 0x8408;
            }
        }
        table[i] = value;
    }
    return table;
}

constexpr std::array<std::uint16_t, 256> kCrcTable = makeCrcTable();

}  // namespace

std::uint16_t frameCrc16(const std::uint8_t* bytes, int count) {
    std::uint16_t crc = 0;
    for (int i = 0; i < count; ++i) {
        crc = static_cast<std::uint16_t>(kCrcTable[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8));
    }
    return crc;
}

ModelParameters modelParameters(std::int32_t targetModel) {
    const ChipModel& chip = chipModel(targetModel);
    return {chip.pageSize, chip.flashSize, chip.frameLength};
}

void sealFrame(std::uint8_t* frame, const ModelParameters& model) {
    const std::uint16_t crc = frameCrc16(frame + 2, static_cast<int>(model.pageSize + 3));
    frame[0] = static_cast<std::uint8_t>(crc & 0xFF);
    frame[1] = static_cast<std::uint8_t>(crc >> 8);
}

std::uint32_t buildFrame(std::uint8_t* frame, const ModelParameters& model, std::uint8_t command,
                         std::uint16_t block, const std::uint8_t* data, std::size_t count) {
    std::memset(frame, 0, model.frameLength);
    frame[2] = command;
    frame[3] = static_cast<std::uint8_t>(block & 0xFF);
    frame[4] = static_cast<std::uint8_t>(block >> 8);
    if (count > model.pageSize) {
        count = model.pageSize;
    }
    if (data != nullptr && count > 0) {
        std::memcpy(frame + kFrameHeaderSize, data, count);
    }
    sealFrame(frame, model);
    return model.frameLength;
}

bool frameCrcMatches(const std::uint8_t* frame, std::uint32_t frameLength) {
    if (frameLength < kFrameHeaderSize) {
        return false;
    }
    const std::uint16_t crc = frameCrc16(frame + 2, static_cast<int>(frameLength - 2));
    return frame[0] == (crc & 0xFF) && frame[1] == (crc >> 8);
}

}  // namespace tervan
