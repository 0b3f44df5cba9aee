// Operating-system services behind SerialLink: one implementation per OS (link/posix,
// link/win32). No protocol logic lives behind these calls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/Clock.h"
#include "link/Handle.h"
#include "link/LinkResult.h"

namespace tervan::os {

// The line settings SerialLink reads from the port, changes and writes back.
struct SerialLineSettings {
    std::uint32_t baudRate = 0;
    std::uint8_t byteSize = 8;
    std::uint8_t parity = 0;    // 0 none
    std::uint8_t stopBits = 0;  // 0 one stop bit
    bool ctsFlow = false;       // output held by CTS
    bool dsrFlow = false;       // output held by DSR
    bool dtrOn = false;         // DTR line raised
    bool rtsOn = false;         // RTS line raised (or RTS/CTS handshake)
    bool outX = false;          // XON/XOFF on output
    bool inX = false;           // XON/XOFF on input
};

// How the adapter behind an open port holds back short answers. A USB-serial adapter sends
// what it received when its buffer fills or its latency timer runs out; the loader's one-byte
// answers always wait for the timer, so its value is added to every frame.
struct AdapterLatency {
    int timerMs = -1;    // the adapter's latency timer; -1 when it has none the tool can see
    int restoreMs = -1;  // what the timer was before the open lowered it; -1 when untouched
    int lowerError = 0;  // the system's code when lowering was tried and refused
    bool lowLatencySet = false;  // the driver's low-latency mode was switched on by the open
    std::string setting;         // where the timer is set: a sysfs attribute, or a registry key
};

// The device path a port name stands for: "\\.\COMn" becomes ports/COMn below deviceRoot()
// when that exists, otherwise the n-th system serial port; other paths are used as they are.
// An empty result means the name stands for no port at all (COM0, COM-1).
std::string resolveSerialPath(const char* path);

// Whether what a port name stands for may be opened as a port, found without opening it (so
// no line of a real port moves): 0 when nothing speaks against it, kErrorNotAPort for a
// regular file, a folder, a disk or a device that is no terminal, kErrorSessionTerminal for
// the controlling terminal of a session (someone's shell), or the system's code for a
// missing or unreadable path. What only an open can tell (a device node that turns out no
// terminal) serialOpen checks again.
int serialPortCheck(const char* path);

// Opens the port for exclusive reading and writing, never creating anything. On failure
// returns kInvalidHandle and stores the OS error in *error (kErrorNotFound for a missing port,
// and the codes of serialPortCheck). A refused port has seen no change of its line settings
// and no byte.
PlatformHandle serialOpen(const char* path, int* error);

// The same text for every spelling of one port (a COM name, a link to the device, the device
// itself), to tell two names of one port apart from two ports; empty when the port is not
// there.
std::string serialPortIdentity(const char* path);

// The port's own line settings, exactly as the system keeps them (termios on POSIX, the DCB
// on Windows): read when the port is opened and written back when it is closed, so that a
// port is left as it was found.
using SavedLine = std::vector<std::uint8_t>;
SavedLine serialSaveLine(PlatformHandle handle);
void serialRestoreLine(PlatformHandle handle, const SavedLine& saved);
void serialClose(PlatformHandle handle);

// Asks the driver of an open port for its lowest latency: the low-latency mode, and on Linux
// an adapter latency timer of 1 ms where the system allows it. Windows only reads the timer.
AdapterLatency serialLowerLatency(PlatformHandle handle, const char* path);
// Puts back what serialLowerLatency changed; call before serialClose.
void serialRestoreLatency(PlatformHandle handle, const AdapterLatency& latency);
// The adapter latency timer of the device a port path stands for, without opening it.
AdapterLatency adapterLatencyOf(const char* path);

// Read time-out: 1000 ms plus 1 ms per requested byte; write time-out: 1000 ms.
bool serialSetTimeouts(PlatformHandle handle);
bool serialGetLine(PlatformHandle handle, SerialLineSettings* settings);
bool serialSetLine(PlatformHandle handle, const SerialLineSettings& settings);
bool serialSetupQueues(PlatformHandle handle, std::uint32_t inSize, std::uint32_t outSize);
// Abandons transfers and discards everything waiting in both directions.
bool serialPurge(PlatformHandle handle);
void serialClearErrors(PlatformHandle handle);
// Blocking transfers bounded by the time-outs above, measured on `clock` where the platform
// does not keep them itself. Running out of time is no error: the count says what moved.
// A failure carries the OS error (a line that hung up is EIO on POSIX).
LinkResult serialRead(PlatformHandle handle, void* buffer, std::uint32_t length,
                      Clock& clock = realClock());
LinkResult serialWrite(PlatformHandle handle, const void* buffer, std::uint32_t length,
                       Clock& clock = realClock());
// Returns with the bytes that have arrived as soon as there are any (at most `length`), or
// with none after `wait`; the port's fixed time-outs above are left as they were.
LinkResult serialReadSome(PlatformHandle handle, void* buffer, std::uint32_t length,
                          Clock::Duration wait, Clock& clock = realClock());

}  // namespace tervan::os
