// The few POSIX calls the shared test helpers use that MinGW's C library lacks. Included
// ahead of every test source of the Windows build (tests/CMakeLists.txt).
#pragma once

#ifdef __cplusplus
#include <windows.h>

#include <cstdio>
#include <cstring>

// Replaces the trailing "XXXXXX" of `pattern` and creates that folder; the pattern, or
// nullptr when no new folder could be made.
inline char* mkdtemp(char* pattern) {
    const std::size_t length = std::strlen(pattern);
    if (length < 6 || std::strcmp(pattern + length - 6, "XXXXXX") != 0) {
        return nullptr;
    }
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const unsigned value =
            (::GetTickCount() ^ (::GetCurrentProcessId() << 12) ^ (++counter * 2654435761u)) %
            1000000u;
        char digits[8];
        std::snprintf(digits, sizeof digits, "%06u", value);
        std::memcpy(pattern + length - 6, digits, 6);
        if (::CreateDirectoryA(pattern, nullptr) != FALSE) {
            return pattern;
        }
        if (::GetLastError() != ERROR_ALREADY_EXISTS) {
            return nullptr;
        }
    }
    return nullptr;
}
#endif
