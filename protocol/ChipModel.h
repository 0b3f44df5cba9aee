// The chip classes the download loader runs on, as one table: every size and name that
// depends on the class is read from here. A new class is one row.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace tervan {

struct ChipModel {
    const char* windowName;     // the caption of its radio button
    const char* commandName;    // the command line's spelling: --model 256
    const char* otherChip;      // the class's other chip, taken on the command line too: 128
    std::uint32_t pageSize;     // bytes of image data in one frame
    std::uint32_t flashSize;    // the largest image for flash
    std::uint32_t frameLength;  // CRC (2), command, block (2) and one page
    std::uint32_t ramSize;      // the largest image for RAM
};

// Row n is the stored model value n. The table's order is the order of the window's radio
// buttons.
inline constexpr ChipModel kChipModels[] = {
    {"SAM7S256/128", "256", "128", 256, 262144, 261, 65536},
    {"SAM7S64/32", "64", "32", 128, 65536, 133, 65536},
};

inline constexpr std::size_t kChipModelCount = std::size(kChipModels);

// The row for a stored model value: the row of that number, and the second row for any value
// that names no row (so that with two rows 0 is the first and anything else the second).
constexpr const ChipModel& chipModel(std::int32_t storedModel) {
    const bool named = storedModel >= 0 && static_cast<std::size_t>(storedModel) < kChipModelCount;
    return kChipModels[named ? static_cast<std::size_t>(storedModel) : 1];
}

// The stored model value for the command line's spelling of a class ("256", "64") or of its
// other chip ("128", "32"), if there is one.
std::optional<std::int32_t> modelByCommandName(std::string_view name);

// All the rows, for listings and usage texts.
inline std::span<const ChipModel> chipModels() {
    return kChipModels;
}

}  // namespace tervan
