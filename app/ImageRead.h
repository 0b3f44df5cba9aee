// The one read and check of an image file that the window and the command line share: the
// file opened for reading only, a writer that still holds it waited for a little, the size
// held against the largest image, and a read refused when the file changed under it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/ImageFile.h"
#include "link/Clock.h"
#include "protocol/Frame.h"
#include "protocol/Outcome.h"

namespace tervan {

// How long a check or read of the image waits for a process that still writes the file, and
// how often it looks again meanwhile.
inline constexpr Clock::Duration kImageWriterWait{2000};
inline constexpr Clock::Duration kImageWriterPoll{100};

struct ImageRead {
    // Done, or ImageBeingWritten, ImageMissing, ImageUnreadable, ImageOverLimit.
    OutcomeKind kind = OutcomeKind::Done;
    std::uint32_t length = 0;               // the file's length, when it is within the limit
    os::ImageFileInfo info;                 // the file's size and time, once it was opened
    std::optional<os::ImageWriter> writer;  // ImageBeingWritten: who writes the file

    bool ok() const { return kind == OutcomeKind::Done; }
};

// Checks the image file at `path`, and with `into` (room for kMaxImageSize bytes) reads it
// there too. A read that stays short of the file's length, or a file whose size or time moved
// while it was read, is ImageUnreadable: never a download of what the buffer held before.
ImageRead readImage(const std::string& path, Clock& clock, std::uint8_t* into = nullptr);

// The largest file with addresses read (Intel HEX, S-records, ELF): its text, or an ELF's debug
// sections, takes far more room than the image it holds.
inline constexpr std::uint64_t kMaxImageSourceSize = 64ull * 1024 * 1024;

// The same read and checks for a file of any length up to `limit`, into `into` (resized to
// the file's length; its bytes count only when the read is ok).
ImageRead readImageSource(const std::string& path, Clock& clock, std::uint64_t limit,
                          std::vector<std::uint8_t>& into);

}  // namespace tervan
