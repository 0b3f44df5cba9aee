// Conversions between the portable handle and the Win32 HANDLE. Internal to link/win32 and
// app/win32.
#pragma once

#include <windows.h>

#include <cstdint>

#include "link/Handle.h"

namespace tervan::os::win32 {

// INVALID_HANDLE_VALUE is (HANDLE)-1, the same value as kInvalidHandle.
inline HANDLE handleOf(PlatformHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

inline PlatformHandle platformHandleOf(HANDLE handle) {
    return reinterpret_cast<PlatformHandle>(handle);
}

// The last error of a call that failed, never 0: callers take 0 for success.
inline int lastErrorOr(DWORD fallback) {
    const DWORD error = ::GetLastError();
    return static_cast<int>(error != 0 ? error : fallback);
}

// One synchronous ReadFile or WriteFile, as the port and the pipes do them: the count moved
// goes to *count when given, the result is the call's success.
inline bool readCounted(PlatformHandle handle, void* buffer, std::uint32_t length,
                        std::uint32_t* count) {
    DWORD got = 0;
    const BOOL ok = ::ReadFile(handleOf(handle), buffer, length, &got, nullptr);
    if (count != nullptr) {
        *count = got;
    }
    return ok != FALSE;
}

inline bool writeCounted(PlatformHandle handle, const void* buffer, std::uint32_t length,
                         std::uint32_t* count) {
    DWORD done = 0;
    const BOOL ok = ::WriteFile(handleOf(handle), buffer, length, &done, nullptr);
    if (count != nullptr) {
        *count = done;
    }
    return ok != FALSE;
}

}  // namespace tervan::os::win32
