// Operating-system services behind UsbPipeLink: the driver's pipe files.
#pragma once

#include <cstdint>

#include "link/Handle.h"

namespace tervan::os {

enum class PipeSide {
    Read,   // the pipe the host reads from (PIPE01): read and write access, shared for reading
    Write,  // the pipe the host writes to (PIPE00): write access, shared for writing
};

// Opens an existing pipe file without ever blocking. On failure returns kInvalidHandle and
// stores the OS error in *error (never 0).
PlatformHandle pipeOpen(const char* path, PipeSide side, int* error);
void pipeClose(PlatformHandle handle);
// Waits at most 1000 ms for data; a pipe that stays silent is a failed read.
bool pipeRead(PlatformHandle handle, void* buffer, std::uint32_t length, std::uint32_t* count);
// Gives up after 1000 ms without progress; *count says what was written.
bool pipeWrite(PlatformHandle handle, const void* buffer, std::uint32_t length,
               std::uint32_t* count);
// Throws away whatever waits to be read, without waiting for more.
void pipeDiscard(PlatformHandle handle);

}  // namespace tervan::os
