// The serial-port transport: one COM port in raw 8N1 mode without flow control.
#pragma once

#include <cstdint>

#include "link/Handle.h"
#include "link/SerialPort.h"

namespace tervan {

class SerialLink {
public:
    SerialLink() = default;
    virtual ~SerialLink();
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    // 1 when the port is open afterwards (also when it already was: path and rate are then
    // not looked at), 0 when the platform refuses to open it; openError then holds its code.
    int open(const char* path, std::uint32_t baudRate);
    int close();  // always 1
    int isOpen() const { return opened; }
    // Discards everything pending in both directions, then writes. 0 when not open.
    int write(const void* buffer, std::uint32_t length, std::uint32_t* writtenOut);
    // 1 when at least one byte arrived within 1000 ms + 1 ms per byte, otherwise 0.
    int read(void* buffer, std::uint32_t length, std::uint32_t* readOut);
    int purge();
    // 0 when the port can be opened now, otherwise the platform's error code for the failed
    // open (2: no such port). Uses and changes none of the link's state.
    int probe(const char* path) const;

    PlatformHandle handle = kInvalidHandle;
    os::SerialLineSettings lineSettings;
    std::uint8_t opened = 0;
    int openError = 0;  // the system's code for the last open that failed
};

}  // namespace tervan
