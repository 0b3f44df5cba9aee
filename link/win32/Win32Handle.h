// Conversions between the portable handle and the Win32 HANDLE. Internal to link/win32.
#pragma once

#include <windows.h>

#include <cstdint>

#include "link/Handle.h"
#include "link/LinkResult.h"

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
// and, when the call failed, its error.
inline LinkResult readCounted(PlatformHandle handle, void* buffer, std::uint32_t length) {
    DWORD got = 0;
    const BOOL ok = ::ReadFile(handleOf(handle), buffer, length, &got, nullptr);
    return {static_cast<std::uint32_t>(got), ok != FALSE ? 0 : lastErrorOr(ERROR_READ_FAULT)};
}

inline LinkResult writeCounted(PlatformHandle handle, const void* buffer, std::uint32_t length) {
    DWORD done = 0;
    const BOOL ok = ::WriteFile(handleOf(handle), buffer, length, &done, nullptr);
    return {static_cast<std::uint32_t>(done), ok != FALSE ? 0 : lastErrorOr(ERROR_WRITE_FAULT)};
}

}  // namespace tervan::os::win32
