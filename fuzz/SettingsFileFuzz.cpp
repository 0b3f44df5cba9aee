// Fuzz target: the settings-file reader and writer.
//
// Input: byte 0 picks the key to write (bits 0-2, modulo 5) and whether a number or a text is
// written (bit 3); bytes 1-2 give the length of the value; the value's bytes follow, and the
// rest is the file as found on disk.
//
// Checks: reading the five keys from any file never fails; a write is refused only for a text
// holding a line break or a zero byte, and then leaves the file as it was; a written value
// reads back the same (a text cut at the read buffer); a write changes no other key; writing
// the same value again changes nothing.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "app/SettingsStore.h"
#include "fuzz/FuzzCheck.h"

using namespace tervan;

namespace {

const char* const kKeys[] = {"interface", "model", "com", "file", "target"};
const std::string kMissing = "\x01missing";

std::string settingsPath;

std::string fileContent() {
    std::ifstream in(settingsPath, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    settingsPath = fuzz::scratchFolder("settings") + "/tervan.ini";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return -1;
    }
    const int keyIndex = (data[0] & 7) % 5;
    const bool asNumber = (data[0] & 8) != 0;
    std::size_t valueLength = static_cast<std::size_t>(data[1] | (data[2] << 8));
    data += 3;
    size -= 3;
    valueLength = std::min(valueLength, size);
    const std::string value(reinterpret_cast<const char*>(data), valueLength);
    const std::string file(reinterpret_cast<const char*>(data) + valueLength, size - valueLength);
    {
        std::ofstream out(settingsPath, std::ios::binary | std::ios::trunc);
        out << file;
    }

    SettingsStore store(settingsPath);
    std::string before[5];
    for (int k = 0; k < 5; ++k) {
        store.readSettingInt(kSettingsSection, kKeys[k], 7);
        before[k] = store.readSettingText(kSettingsSection, kKeys[k], kMissing);
        FUZZ_CHECK(before[k].size() <= kSettingsReadBuffer - 1);
    }

    const char* key = kKeys[keyIndex];
    std::int32_t number = 0;
    std::memcpy(&number, value.data(), std::min<std::size_t>(value.size(), sizeof number));
    const bool refusable =
        !asNumber && value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
    const bool wrote = asNumber ? store.writeSettingInt(kSettingsSection, key, number)
                                : store.writeSettingText(kSettingsSection, key, value);
    if (!wrote) {
        FUZZ_CHECK(refusable);
        FUZZ_CHECK(fileContent() == file);
        return 0;
    }
    FUZZ_CHECK(!refusable);

    if (asNumber) {
        FUZZ_CHECK(store.readSettingInt(kSettingsSection, key, number ^ 1) == number);
    } else {
        const std::string back = store.readSettingText(kSettingsSection, key, kMissing);
        FUZZ_CHECK(back == value.substr(0, kSettingsReadBuffer - 1));
    }
    for (int k = 0; k < 5; ++k) {
        if (k != keyIndex) {
            FUZZ_CHECK(store.readSettingText(kSettingsSection, kKeys[k], kMissing) == before[k]);
        }
    }

    // The same value again: the file stays byte for byte.
    const std::string written = fileContent();
    FUZZ_CHECK(asNumber ? store.writeSettingInt(kSettingsSection, key, number)
                        : store.writeSettingText(kSettingsSection, key, value));
    FUZZ_CHECK(fileContent() == written);
    return 0;
}
