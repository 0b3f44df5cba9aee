// The serial-port transport: one COM port in raw 8N1 mode without flow control.
#pragma once

#include <cstdint>

#include "link/Clock.h"
#include "link/Handle.h"
#include "link/LinkResult.h"
#include "link/SerialPort.h"

namespace tervan {

class SerialLink {
public:
    // Every time-out of the port's transfers is measured on `clock`.
    explicit SerialLink(Clock& clock = realClock()) : clock_(clock) {}
    virtual ~SerialLink();
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    // 1 when the port is open afterwards (also when it already was: path and rate are then
    // not looked at), 0 when the platform refuses to open it; openError then holds its code.
    // A refused permission is asked again for about a second first: udev gives a device just
    // plugged in its group and mode a moment after the device appears.
    int open(const char* path, std::uint32_t baudRate);
    // Puts back the port's line settings and adapter timer as the open found them; always 1.
    int close();
    int isOpen() const { return opened; }
    // Discards everything pending in both directions, then writes; gives up after 1000 ms
    // with the smaller count. {0, kErrorNotOpen} when not open.
    LinkResult write(const void* buffer, std::uint32_t length);
    // What arrived within 1000 ms + 1 ms per byte: a read that times out empty is {0, 0}, so
    // callers look at the count. {0, kErrorNotOpen} when not open.
    LinkResult read(void* buffer, std::uint32_t length);
    int purge();
    // What has arrived, up to `length` bytes, as soon as any has: {0, 0} after `wait` with
    // nothing. Unlike read() it never waits for the whole count. {0, kErrorNotOpen} when not
    // open.
    LinkResult readSome(void* buffer, std::uint32_t length, Clock::Duration wait);
    // Changes the speed of the open port; no other line setting moves and nothing is sent or
    // discarded. False when the link is closed or the port refuses the speed.
    bool setBaudRate(std::uint32_t baudRate);
    // Takes `from`'s open port over as it stands (its speed, what waits to be read, and what
    // close() is to put back); `from` is closed afterwards without the port being touched.
    // Nothing happens when this link is open already or `from` is not.
    void takeOver(SerialLink& from);
    // 0 when the port can be opened now, otherwise the platform's error code for the failed
    // open; 2 for a port that does not exist or has no device behind it. Uses and changes none
    // of the link's state.
    int probe(const char* path) const;

    PlatformHandle handle = kInvalidHandle;
    os::SerialLineSettings lineSettings;
    std::uint8_t opened = 0;
    int openError = 0;           // the system's code for the last open that failed
    os::AdapterLatency latency;  // how the open tuned the adapter; put back by close
    os::SavedLine savedLine;  // the port's line settings as the open found them; put back by close

private:
    Clock& clock_;
};

}  // namespace tervan
