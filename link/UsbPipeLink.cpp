#include "link/UsbPipeLink.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "link/PipeFile.h"
#include "link/UsbTarget.h"

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
    if (const std::string busPath = busPathOf(devicePath); !busPath.empty()) {
        return openOnBus(busPath);
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

LinkStatus UsbPipeLink::openOnBus(const std::string& busPath) {
    const std::optional<UsbTarget> target = usbTarget();
    int error = 0;
    bulk_ = os::openUsbBulk(busPath, target ? &*target : nullptr, &error);
    if (!bulk_) {
        return statusOf(error);
    }
    readPipe = bulk_->inEndpoint();
    writePipe = bulk_->outEndpoint();
    return LINK_OK;
}

LinkStatus UsbPipeLink::close() {
    if (bulk_) {
        bulk_.reset();  // releases the interface; the handles are endpoint addresses
        readPipe = kInvalidHandle;
        writePipe = kInvalidHandle;
        return LINK_OK;
    }
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

LinkResult UsbPipeLink::read(void* buffer, std::uint32_t length) {
    if (readPipe == kInvalidHandle) {
        return {0, kErrorNotOpen};  // tested before the arguments
    }
    if (buffer == nullptr || length == 0) {
        return {0, kErrorBadArgument};
    }
    auto* bytes = static_cast<unsigned char*>(buffer);
    LinkResult result;
    // At most five platform reads; one that brings nothing uses up a try like any other.
    for (int tries = 5; tries > 0; --tries) {
        const std::uint32_t wanted = length - result.count;
        const LinkResult step = bulk_
                                    ? bulk_->read(bytes + result.count, wanted)
                                    : os::pipeRead(readPipe, bytes + result.count, wanted, clock_);
        result.count += step.count < wanted ? step.count : wanted;
        if (step.failed()) {
            result.error = step.error;
            return result;
        }
        if (result.count == length) {
            return result;
        }
    }
    result.error = kErrorTimedOut;  // still short after five reads; what came stays in the buffer
    return result;
}

void UsbPipeLink::discardPending() {
    if (bulk_) {
        bulk_->discard();
    } else if (readPipe != kInvalidHandle) {
        os::pipeDiscard(readPipe);
    }
}

LinkResult UsbPipeLink::write(const void* buffer, std::uint32_t length) {
    if (writePipe == kInvalidHandle) {
        return {0, kErrorNotOpen};
    }
    if (buffer == nullptr) {
        return {0, kErrorBadArgument};  // a length of 0 is not refused
    }
    // One platform write, no retry: a short write shows only in the count.
    return bulk_ ? bulk_->write(buffer, length) : os::pipeWrite(writePipe, buffer, length, clock_);
}

}  // namespace tervan
