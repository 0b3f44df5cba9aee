// Conversions between the portable handle and the Win32 HANDLE. Internal to link/win32 and
// app/win32.
#pragma once

#include <windows.h>

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

}  // namespace tervan::os::win32
