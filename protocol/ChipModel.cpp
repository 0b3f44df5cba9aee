#include "protocol/ChipModel.h"

namespace tervan {

std::optional<std::int32_t> modelByCommandName(std::string_view name) {
    for (std::size_t i = 0; i < kChipModelCount; ++i) {
        if (name == kChipModels[i].commandName || name == kChipModels[i].otherChip) {
            return static_cast<std::int32_t>(i);
        }
    }
    return std::nullopt;
}

}  // namespace tervan
