// The two ends the virtual target offers the tool: a pseudo-terminal behind <root>/ports/COMn
// and a USB device folder with the FIFOs PIPE00 (the tool writes) and PIPE01 (the tool reads).
// A line only moves bytes and reports what happened on it; the loader's logic lives in
// TargetSimulator.
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tervan::sim {

// What one collect() found.
struct LineInput {
    std::vector<std::uint8_t> data;  // bytes from the tool, in order
    int opens = 0;                   // serial: the tool opened the port (from no opener)
    int closes = 0;                  // serial: the last opener closed the port
    bool purged = false;             // serial: the tool discarded its input queue
};

class SimLine {
public:
    virtual ~SimLine() = default;

    // Creates the files the tool looks for. False with a reason on failure (nothing left over).
    virtual bool create(std::string* error) = 0;
    // Removes what create() made. Idempotent.
    virtual void remove() = 0;
    // The line goes away under the tool: a hang-up on the serial line, the device unplugged
    // over USB.
    virtual void drop() = 0;

    // Descriptors to wait on; `wantWrite` when bytes wait for room in the line.
    virtual void pollSet(std::vector<pollfd>& fds, bool wantWrite) const = 0;
    // Reads everything available without blocking.
    virtual LineInput collect() = 0;
    // Writes without blocking; returns the count written (0 when the line is full or gone).
    virtual std::size_t send(const std::uint8_t* bytes, std::size_t count) = 0;
    // A board reset loses what the target had queued for the host and the host has not read.
    virtual void discardUnread() = 0;

    virtual std::string path() const = 0;  // the link or the device folder
    // Serial: the pseudo-terminal the link points to, once created. Empty over USB.
    virtual std::string slavePath() const { return {}; }
    virtual std::string describe() const = 0;  // for the start line
};

// <root>/ports/COM<n> -> /dev/pts/N.
std::unique_ptr<SimLine> makeSerialLine(const std::string& root, int comNumber);
// <root>/usb/{class}/<deviceName>/PIPE00, PIPE01.
std::unique_ptr<SimLine> makeUsbLine(const std::string& root, const std::string& deviceName);

}  // namespace tervan::sim
