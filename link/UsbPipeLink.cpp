#include "link/UsbPipeLink.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "link/PipeFile.h"

namespace tervan {

namespace {

// Status for a failed pipe open whose error code would read as success (0, or 0 in its low
// 16 bits): the caller takes 0 as "both pipes usable".
constexpr LinkStatus kOpenFailedWithoutCode = LINK_IO_ERROR;

constexpr std::size_t kPipeSuffixLength = 7;  // "\PIPE01", "\PIPE00"
static_assert(std::char_traits<char>::length(kReadPipeName) == kPipeSuffixLength);
static_assert(std::char_traits<char>::length(kWritePipeName) == kPipeSuffixLength);

LinkStatus statusOf(int error) {
    const auto status = static_cast<LinkStatus>(static_cast<unsigned>(error) & 0xFFFFu);
    return status != LINK_OK ? status : kOpenFailedWithoutCode;
}

}  // namespace

UsbPipeLink::~UsbPipeLink() {
    close();
}

LinkStatus UsbPipeLink::open(const char* devicePath) {
    // Every pass of the USB handshake opens again: release what an earlier open left held.
    close();

    if (devicePath == nullptr) {
        return statusOf(kErrorNotFound);
    }
    // Each pipe name lives in a buffer of kDevicePathSize characters with its zero. A path that
    // would not fit is refused rather than cut to some other, shorter name.
    const std::size_t pathLength = std::strlen(devicePath);
    if (pathLength + kPipeSuffixLength > kDevicePathSize - 1) {
        return statusOf(ENAMETOOLONG);
    }
    const std::string readName = std::string(devicePath) + kReadPipeName;
    const std::string writeName = std::string(devicePath) + kWritePipeName;

    int readError = 0;
    int writeError = 0;
    readPipe = os::pipeOpen(readName.c_str(), os::PipeSide::Read, &readError);
    // The write pipe is opened even when the read pipe failed.
    writePipe = os::pipeOpen(writeName.c_str(), os::PipeSide::Write, &writeError);
    if (readPipe != kInvalidHandle && writePipe != kInvalidHandle) {
        return LINK_OK;
    }
    // The code of the last open that failed, as the platform's last error would hold it.
    const int error = writePipe == kInvalidHandle ? writeError : readError;
    close();
    return statusOf(error);
}

LinkStatus UsbPipeLink::close() {
    if (readPipe != kInvalidHandle) {
        os::pipeClose(readPipe);
    }
    if (writePipe != kInvalidHandle) {
        os::pipeClose(writePipe);
    }
    readPipe = kInvalidHandle;
    writePipe = kInvalidHandle;
    return LINK_OK;
}

LinkStatus UsbPipeLink::read(void* buffer, std::uint32_t length) {
    if (readPipe == kInvalidHandle) {
        return LINK_NOT_OPEN;  // tested before the arguments
    }
    if (buffer == nullptr || length == 0) {
        return LINK_BAD_ARGUMENT;
    }
    auto* next = static_cast<unsigned char*>(buffer);
    // At most five platform reads; one that brings nothing uses up a try like any other.
    for (int tries = 5; tries > 0; --tries) {
        std::uint32_t got = 0;
        if (!os::pipeRead(readPipe, next, length, &got)) {
            return LINK_IO_ERROR;
        }
        if (got > length) {
            got = length;
        }
        next += got;
        length -= got;
        if (length == 0) {
            return LINK_OK;
        }
    }
    return LINK_IO_ERROR;  // still short after five reads; what came stays in the buffer
}

void UsbPipeLink::discardPending() {
    if (readPipe != kInvalidHandle) {
        os::pipeDiscard(readPipe);
    }
}

LinkStatus UsbPipeLink::write(const void* buffer, std::uint32_t length, std::uint32_t* writtenOut) {
    if (writePipe == kInvalidHandle) {
        return LINK_NOT_OPEN;
    }
    if (buffer == nullptr) {
        return LINK_BAD_ARGUMENT;  // a length of 0 is not refused
    }
    std::uint32_t localCount = 0;
    std::uint32_t* count = writtenOut != nullptr ? writtenOut : &localCount;
    // One platform write, no retry: a short write shows only in the count.
    return os::pipeWrite(writePipe, buffer, length, count) ? LINK_OK : LINK_IO_ERROR;
}

}  // namespace tervan
