// The driver's pipe files on Win32: CreateFileA with the access and share modes of each side,
// synchronous ReadFile and WriteFile. How long a read waits for data is the driver's time-out.
#include "link/PipeFile.h"

#include <windows.h>

#include <cctype>

#include "link/win32/Win32Handle.h"

namespace tervan::os {

using win32::handleOf;

int pipeFileCheck(const char* path) {
    // The driver's pipes are known only once opened: pipeOpen looks there.
    return path == nullptr || *path == '\0' ? kErrorNotFound : 0;
}

std::string pipeDeviceIdentity(const char* devicePath) {
    // Device interface paths are names of the system's own, which it compares without case.
    std::string name = devicePath != nullptr ? devicePath : "";
    for (char& c : name) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return name;
}

PlatformHandle pipeOpen(const char* path, PipeSide side, int* error) {
    int localError = 0;
    int& result = error != nullptr ? *error : localError;
    result = 0;
    if (path == nullptr || *path == '\0') {
        result = kErrorNotFound;
        return kInvalidHandle;
    }
    // PIPE01 (host reads): read and write access, shared for reading.
    // PIPE00 (host writes): write access, shared for writing.
    const DWORD access = side == PipeSide::Read ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
    const DWORD share = side == PipeSide::Read ? FILE_SHARE_READ : FILE_SHARE_WRITE;
    const HANDLE handle = ::CreateFileA(path, access, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        result = win32::lastErrorOr(ERROR_GEN_FAILURE);
        return kInvalidHandle;
    }
    // A file on a disk named as a device is never written.
    if (::GetFileType(handle) == FILE_TYPE_DISK) {
        ::CloseHandle(handle);
        result = kErrorNotAPort;
        return kInvalidHandle;
    }
    return win32::platformHandleOf(handle);
}

void pipeClose(PlatformHandle handle) {
    if (handle != kInvalidHandle) {
        ::CloseHandle(handleOf(handle));
    }
}

// The driver keeps the pipes' time-outs itself: the clock is not asked.
LinkResult pipeRead(PlatformHandle handle, void* buffer, std::uint32_t length, Clock&) {
    LinkResult result = win32::readCounted(handle, buffer, length);
    if (result.error == static_cast<int>(ERROR_SEM_TIMEOUT)) {
        result.error = kErrorTimedOut;  // the driver's time-out ran out: the pipe stayed silent
    }
    return result;
}

LinkResult pipeWrite(PlatformHandle handle, const void* buffer, std::uint32_t length, Clock&) {
    return win32::writeCounted(handle, buffer, length);
}

void pipeDiscard(PlatformHandle handle) {
    // What a pipe holds can be asked without waiting; a driver's file that cannot answer that
    // question is left alone (its reads wait for the driver's time-out).
    const HANDLE pipe = handleOf(handle);
    char scratch[512];
    for (;;) {
        DWORD waiting = 0;
        if (::PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr) == FALSE ||
            waiting == 0) {
            return;
        }
        DWORD got = 0;
        const DWORD want = waiting < sizeof scratch ? waiting : sizeof scratch;
        if (::ReadFile(pipe, scratch, want, &got, nullptr) == FALSE || got == 0) {
            return;
        }
    }
}

}  // namespace tervan::os
