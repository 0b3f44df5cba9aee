// Operating-system services behind UsbPipeLink: the driver's pipe files.
#pragma once

#include <cstdint>
#include <string>

#include "link/Clock.h"
#include "link/Handle.h"
#include "link/LinkResult.h"

namespace tervan::os {

enum class PipeSide {
    Read,   // the pipe the host reads from (PIPE01): read and write access, shared for reading
    Write,  // the pipe the host writes to (PIPE00): write access, shared for writing
};

// Whether the pipe file `path` may be opened as the driver's pipe, found without opening it:
// 0 when nothing speaks against it, kErrorNotAPort when it is something else (a regular file,
// a folder, a disk), or the system's code for a path that cannot be looked at.
int pipeFileCheck(const char* path);

// Opens an existing pipe file without ever blocking. On failure returns kInvalidHandle and
// stores the OS error in *error (never 0); kErrorNotAPort for a file that is no pipe.
PlatformHandle pipeOpen(const char* path, PipeSide side, int* error);

// The same text for every spelling of one device's path (its name below the class folder, a
// link, the full path), to tell two names of one device apart from two devices; empty when
// the path leads nowhere.
std::string pipeDeviceIdentity(const char* devicePath);
void pipeClose(PlatformHandle handle);
// Takes what is there, up to length, waiting at most 1000 ms on `clock` for data (on Windows
// the driver's own time-out); a pipe that stays silent fails with kErrorTimedOut.
LinkResult pipeRead(PlatformHandle handle, void* buffer, std::uint32_t length,
                    Clock& clock = realClock());
// Gives up after 1000 ms without progress, successfully, with the count written so far; a
// device that went away fails with EPIPE.
LinkResult pipeWrite(PlatformHandle handle, const void* buffer, std::uint32_t length,
                     Clock& clock = realClock());
// Throws away whatever waits to be read, without waiting for more.
void pipeDiscard(PlatformHandle handle);

}  // namespace tervan::os
