#include "link/SerialLink.h"

#include "link/PortFault.h"

#include <utility>

namespace tervan {

namespace {

// Queue sizes asked of the driver when the port is opened.
constexpr std::uint32_t kQueueSize = 1024;

// How long, and how often, a refused permission is asked again.
constexpr Clock::Duration kPermissionGrace{1000};
constexpr Clock::Duration kPermissionRetry{50};

}  // namespace

SerialLink::~SerialLink() {
    close();
}

int SerialLink::open(const char* path, std::uint32_t baudRate) {
    if (opened != 0) {
        // Already open: the port, its settings and its speed stay as they are.
        return 1;
    }
    handle = os::serialOpen(path, &openError);
    for (Clock::Duration waited{0};
         handle == kInvalidHandle && portFaultOf(openError) == PortFault::Denied &&
         waited < kPermissionGrace;
         waited += kPermissionRetry) {
        clock_.sleepFor(kPermissionRetry);
        handle = os::serialOpen(path, &openError);
    }
    if (handle == kInvalidHandle) {
        return 0;
    }

    // The results of the setting steps are not examined: once the port is open, the link is open.
    os::serialSetTimeouts(handle);
    savedLine = os::serialSaveLine(handle);
    os::serialGetLine(handle, &lineSettings);
    lineSettings.baudRate = baudRate;
    lineSettings.byteSize = 8;
    lineSettings.parity = 0;
    lineSettings.stopBits = 0;
    lineSettings.ctsFlow = false;
    lineSettings.dsrFlow = false;
    lineSettings.dtrOn = false;
    lineSettings.rtsOn = false;
    lineSettings.outX = false;
    lineSettings.inX = false;
    os::serialSetLine(handle, lineSettings);
    latency = os::serialLowerLatency(handle, path);
    os::serialSetupQueues(handle, kQueueSize, kQueueSize);
    os::serialPurge(handle);

    opened = 1;
    return 1;
}

int SerialLink::close() {
    if (opened != 0) {
        if (handle != kInvalidHandle) {
            os::serialRestoreLatency(handle, latency);
            os::serialRestoreLine(handle, savedLine);
            os::serialClose(handle);
            handle = kInvalidHandle;
        }
        opened = 0;
        savedLine.clear();
    }
    return 1;
}

LinkResult SerialLink::write(const void* buffer, std::uint32_t length) {
    if (opened == 0 || handle == kInvalidHandle) {
        return {0, kErrorNotOpen};
    }
    // Every write first throws away what was received and not read, and what waits to be sent.
    os::serialPurge(handle);
    return os::serialWrite(handle, buffer, length, clock_);
}

LinkResult SerialLink::read(void* buffer, std::uint32_t length) {
    if (opened == 0 || handle == kInvalidHandle) {
        return {0, kErrorNotOpen};
    }
    os::serialClearErrors(handle);
    return os::serialRead(handle, buffer, length, clock_);
}

int SerialLink::purge() {
    // No test of `opened`: on a closed link the call fails on the invalid handle.
    return os::serialPurge(handle) ? 1 : 0;
}

LinkResult SerialLink::readSome(void* buffer, std::uint32_t length, Clock::Duration wait) {
    if (opened == 0 || handle == kInvalidHandle) {
        return {0, kErrorNotOpen};
    }
    os::serialClearErrors(handle);
    return os::serialReadSome(handle, buffer, length, wait, clock_);
}

bool SerialLink::setBaudRate(std::uint32_t baudRate) {
    if (opened == 0 || handle == kInvalidHandle) {
        return false;
    }
    os::SerialLineSettings changed = lineSettings;
    changed.baudRate = baudRate;
    if (!os::serialSetLine(handle, changed)) {
        return false;
    }
    lineSettings = changed;
    return true;
}

void SerialLink::takeOver(SerialLink& from) {
    if (opened != 0 || from.opened == 0) {
        return;
    }
    handle = from.handle;
    lineSettings = from.lineSettings;
    latency = from.latency;
    savedLine = std::move(from.savedLine);
    opened = 1;
    from.handle = kInvalidHandle;
    from.opened = 0;
    from.savedLine.clear();
    from.latency = {};
}

int SerialLink::probe(const char* path) const {
    int error = 0;
    const PlatformHandle probeHandle = os::serialOpen(path, &error);
    if (probeHandle == kInvalidHandle) {
        // A device node with nothing behind it is as missing as a name that does not exist.
        return portFaultOf(error) == PortFault::Missing ? kErrorNotFound : error;
    }
    os::serialClose(probeHandle);
    return 0;
}

}  // namespace tervan
