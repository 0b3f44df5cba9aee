#include "app/ImageRead.h"

namespace tervan {
namespace {

// Closes the image file when the scope is left.
class OpenImage {
public:
    OpenImage(const std::string& path, std::optional<os::ImageWriter>* writer)
        : handle(os::openImageFile(path, writer)) {}
    ~OpenImage() { close(); }
    OpenImage(const OpenImage&) = delete;
    OpenImage& operator=(const OpenImage&) = delete;
    void close() {
        os::closeImageFile(handle);
        handle = kInvalidHandle;
    }
    PlatformHandle handle;
};

// The read both entries share: `room` gives the place for the file's bytes once their length
// is known to be within `limit`, or null for a check only.
template <typename Room>
ImageRead readWithin(const std::string& path, Clock& clock, std::uint64_t limit, Room room) {
    ImageRead read;
    // A file still being written is not final: wait a little for its writer to finish (a copy
    // or a link step that is nearly done), then refuse it, naming the process.
    OpenImage file(path, &read.writer);
    for (const auto start = clock.now(); read.writer && clock.now() - start < kImageWriterWait;) {
        clock.sleepFor(kImageWriterPoll);
        file.handle = os::openImageFile(path, &read.writer);
    }
    if (read.writer) {
        read.kind = OutcomeKind::ImageBeingWritten;
        return read;
    }
    if (file.handle == kInvalidHandle) {
        read.kind = OutcomeKind::ImageMissing;
        return read;
    }
    if (!os::imageFileInfo(file.handle, &read.info)) {
        read.kind = OutcomeKind::ImageUnreadable;
        return read;
    }
    // The whole 64-bit length is compared: a file of 4 GiB and a few bytes must not pass as
    // a few bytes.
    if (read.info.size > limit) {
        read.kind = OutcomeKind::ImageOverLimit;
        return read;
    }
    const auto length = static_cast<std::uint32_t>(read.info.size);
    if (std::uint8_t* into = room(length); into != nullptr) {
        // A linker still writing the file takes no lock: its size or time moves.
        os::ImageFileInfo after;
        if (os::readImageFile(file.handle, into, length) != length ||
            !os::imageFileInfo(file.handle, &after) || after.size != read.info.size ||
            after.modified != read.info.modified) {
            read.kind = OutcomeKind::ImageUnreadable;
            return read;
        }
    }
    read.length = length;
    return read;
}

}  // namespace

ImageRead readImage(const std::string& path, Clock& clock, std::uint8_t* into) {
    return readWithin(path, clock, kMaxImageSize, [into](std::uint32_t) { return into; });
}

ImageRead readImageSource(const std::string& path, Clock& clock, std::uint64_t limit,
                          std::vector<std::uint8_t>& into) {
    return readWithin(path, clock, limit, [&into](std::uint32_t length) {
        into.resize(length);
        return into.data();
    });
}

}  // namespace tervan
