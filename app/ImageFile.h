// Operating-system services behind the image file: an existing file opened for reading only,
// held against writers for the length of one check or read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "link/Handle.h"

namespace tervan::os {

struct ImageFileInfo {
    std::uint64_t size = 0;
    std::int64_t modified = 0;  // modification time, nanoseconds since the epoch
};

// A process that holds the image file open for writing: a linker or a copy that has not
// finished it yet. pid 0 when the system tells that one does but not which.
struct ImageWriter {
    std::int64_t pid = 0;
    std::string command;  // its program's name, empty when unknown
};

// Who the writer is, as the user reads it: "process 1234 (ld)", or "another program".
inline std::string writerText(const ImageWriter& writer) {
    if (writer.pid == 0) {
        return "another program";
    }
    std::string text = "process " + std::to_string(writer.pid);
    if (!writer.command.empty()) {
        text += " (" + writer.command + ")";
    }
    return text;
}

// kInvalidHandle when the file is missing, not a regular file, unreadable or held by another
// program. A file some process still holds open for writing is refused too: its bytes are not
// final. Then `writer`, when given, names that process; otherwise it is left empty. Never
// creates or changes anything.
PlatformHandle openImageFile(const std::string& path, std::optional<ImageWriter>* writer = nullptr);
bool imageFileInfo(PlatformHandle handle, ImageFileInfo* info);
// Reads up to `length` bytes from the start of the file; the count read, or -1 on an error.
std::int64_t readImageFile(PlatformHandle handle, void* buffer, std::uint32_t length);
void closeImageFile(PlatformHandle handle);

}  // namespace tervan::os
