// Operating-system services behind the image file: an existing file opened for reading only,
// held against writers for the length of one check or read.
#pragma once

#include <cstdint>
#include <string>

#include "link/Handle.h"

namespace tervan::os {

struct ImageFileInfo {
    std::uint64_t size = 0;
    std::int64_t modified = 0;  // modification time, nanoseconds since the epoch
};

// kInvalidHandle when the file is missing, not a regular file, unreadable or held by another
// program. Never creates or changes anything.
PlatformHandle openImageFile(const std::string& path);
bool imageFileInfo(PlatformHandle handle, ImageFileInfo* info);
// Reads up to `length` bytes from the start of the file; the count read, or -1 on an error.
std::int64_t readImageFile(PlatformHandle handle, void* buffer, std::uint32_t length);
void closeImageFile(PlatformHandle handle);

}  // namespace tervan::os
