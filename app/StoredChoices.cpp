#include "app/StoredChoices.h"

namespace tervan {

StoredChoices readStoredChoices(const SettingsStore& settings) {
    StoredChoices choices;
    choices.interfaceKind = settings.readSettingInt(kSettingsSection, "interface", 1);
    choices.targetModel = settings.readSettingInt(kSettingsSection, "model", 0);
    choices.comIndex = settings.readSettingInt(kSettingsSection, "com", 0);
    choices.imagePath = settings.readSettingText(kSettingsSection, "file", "");
    choices.targetMemory = settings.readSettingInt(kSettingsSection, "target", 0);
    return choices;
}

std::string comPortPathFor(std::int32_t comIndex) {
    return "\\\\.\\COM" + std::to_string(static_cast<std::int64_t>(comIndex) + 1);
}

}  // namespace tervan
