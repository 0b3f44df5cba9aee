#include "app/UsbSetting.h"

namespace tervan {

std::optional<UsbTarget> storedUsbTarget(const SettingsStore& settings) {
    const auto id = parseUsbId(settings.readSettingText(kSettingsSection, kUsbIdKey));
    if (!id) {
        return std::nullopt;
    }
    return UsbTarget{*id, settings.readSettingText(kSettingsSection, kUsbSerialKey)};
}

}  // namespace tervan
