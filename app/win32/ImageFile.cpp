// The image file on Win32: opened for reading, shared only with readers, measured with
// GetFileSizeEx, read with ReadFile from its first byte.
#include "app/ImageFile.h"

#include <windows.h>

namespace tervan::os {

namespace {

// INVALID_HANDLE_VALUE is (HANDLE)-1, the same value as kInvalidHandle.
HANDLE handleOf(PlatformHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

PlatformHandle openImageFile(const std::string& path, std::optional<ImageWriter>* writer) {
    if (writer != nullptr) {
        writer->reset();
    }
    if (path.empty()) {
        return kInvalidHandle;
    }
    // Shared for reading only: the open fails while another program holds the file open for
    // writing (or holds it without sharing), and none can open it for writing while it is
    // held here. Other readers may read along.
    const HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        if (::GetLastError() == ERROR_SHARING_VIOLATION && writer != nullptr) {
            // Shared for writing as well, the open succeeds when the holder lets others read:
            // then it was refused because the holder writes. Windows does not say who.
            const HANDLE probe =
                ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (probe != INVALID_HANDLE_VALUE) {
                ::CloseHandle(probe);
                *writer = ImageWriter{};
            }
        }
        return kInvalidHandle;
    }
    // Only a file on disk is an image: a COM port, a pipe or the console could block a read
    // or never end.
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        ::CloseHandle(handle);
        return kInvalidHandle;
    }
    return reinterpret_cast<PlatformHandle>(handle);
}

bool imageFileInfo(PlatformHandle handle, ImageFileInfo* info) {
    LARGE_INTEGER size{};
    FILETIME written{};
    if (info == nullptr || ::GetFileSizeEx(handleOf(handle), &size) == FALSE || size.QuadPart < 0 ||
        ::GetFileTime(handleOf(handle), nullptr, nullptr, &written) == FALSE) {
        return false;
    }
    info->size = static_cast<std::uint64_t>(size.QuadPart);
    // FILETIME counts 100 ns steps since 1601-01-01; the stamp only has to change with the file.
    const std::uint64_t ticks =
        (static_cast<std::uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
    constexpr std::uint64_t kTicksFrom1601To1970 = 116444736000000000ull;
    info->modified =
        (static_cast<std::int64_t>(ticks) - static_cast<std::int64_t>(kTicksFrom1601To1970)) * 100;
    return true;
}

std::int64_t readImageFile(PlatformHandle handle, void* buffer, std::uint32_t length) {
    LARGE_INTEGER start{};
    if (::SetFilePointerEx(handleOf(handle), start, nullptr, FILE_BEGIN) == FALSE) {
        return -1;
    }
    auto* out = static_cast<char*>(buffer);
    std::uint32_t done = 0;
    while (done < length) {
        DWORD got = 0;
        if (::ReadFile(handleOf(handle), out + done, length - done, &got, nullptr) == FALSE) {
            return -1;
        }
        if (got == 0) {
            break;  // the end of the file
        }
        done += got;
    }
    return done;
}

void closeImageFile(PlatformHandle handle) {
    if (handle != kInvalidHandle) {
        ::CloseHandle(handleOf(handle));
    }
}

}  // namespace tervan::os
