// Intel HEX and Motorola S-records: text lines, each a record with its address and checksum.
#include <cstdio>
#include <string_view>

#include "app/ImageReaders.h"

namespace tervan::image {
namespace {

// ---- text records ----------------------------------------------------------------------------

// The lines of a text file without their line ends and trailing blanks, numbered from 1.
// Lines that hold nothing else are skipped, and so is the end-of-file mark (Ctrl-Z) some
// tools still write.
template <typename Take>
bool forEachLine(std::span<const std::uint8_t> file, Take&& take) {
    std::size_t number = 0;
    std::size_t at = 0;
    while (at < file.size()) {
        std::size_t stop = at;
        while (stop < file.size() && file[stop] != '\n') {
            ++stop;
        }
        ++number;
        std::size_t last = stop;
        while (last > at && (file[last - 1] == '\r' || file[last - 1] == ' ' ||
                             file[last - 1] == '\t' || file[last - 1] == 0x1A)) {
            --last;
        }
        if (last > at &&
            !take(std::string_view(reinterpret_cast<const char*>(file.data()) + at, last - at),
                  number)) {
            return false;
        }
        at = stop + 1;
    }
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// The bytes written as pairs of hex digits in `text`; false when a character is no hex digit.
// An odd digit at the end is left out: the record is then shorter than it says.
bool hexBytes(std::string_view text, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    for (const char c : text) {
        if (hexDigit(c) < 0) {
            return false;
        }
    }
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(hexDigit(text[i]) << 4 | hexDigit(text[i + 1])));
    }
    return true;
}

std::string lineText(std::size_t number) {
    return "line " + std::to_string(number);
}

// Intel HEX: ":LLAAAATT<data>CC", the checksum making the sum of all bytes 0.
}  // namespace

bool readHex(std::span<const std::uint8_t> file, Collected& out) {
    std::uint64_t upper = 0;    // from an extended linear address record
    std::uint64_t segment = 0;  // from an extended segment address record
    bool segmented = false;
    bool ended = false;
    std::size_t lastLine = 0;
    std::vector<std::uint8_t> bytes;
    const bool read = forEachLine(file, [&](std::string_view line, std::size_t number) {
        const std::string where = lineText(number);
        lastLine = number;
        if (ended) {
            return out.fail(where + " comes after the end-of-file record");
        }
        if (line[0] != ':') {
            return out.fail(where + " is not an Intel HEX record (it does not start with ':')");
        }
        if (!hexBytes(line.substr(1), bytes)) {
            return out.fail(where + " holds a character that is not a hex digit");
        }
        const std::size_t length = bytes.empty() ? 0 : bytes[0];
        const std::uint64_t offset = bytes.size() >= 3 ? (bytes[1] << 8 | bytes[2]) : 0;
        const std::uint64_t address =
            segmented ? segment + offset : upper + offset;  // where its data would go
        if (line.size() % 2 == 0 || bytes.size() < 5 + length) {
            return out.fail(where + ": truncated record" +
                            (bytes.size() >= 4 && bytes[3] == 0 ? " at " + hex32(address) : ""));
        }
        if (bytes.size() > 5 + length) {
            return out.fail(where + ": the record is longer than its length byte says");
        }
        unsigned sum = 0;
        for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
            sum += bytes[i];
        }
        const unsigned expected = (0x100 - (sum & 0xFF)) & 0xFF;
        if (bytes.back() != expected) {
            return out.fail(where + ": bad checksum " + hex8(bytes.back()) + " (the record needs " +
                            hex8(expected) + ")" +
                            (bytes[3] == 0 ? " in the data at " + hex32(address) : ""));
        }
        const std::span<const std::uint8_t> data(bytes.data() + 4, length);
        const unsigned type = bytes[3];
        auto needLength = [&](std::size_t want) {
            return length == want ||
                   out.fail(where + ": a record of type " + hex8(type) + " holds " +
                            std::to_string(want) + " bytes, not " + std::to_string(length));
        };
        switch (type) {
            case 0x00:
                if (segmented && offset + length > 0x10000) {
                    // Within a segment the offset wraps at 64 KiB.
                    const std::size_t first = static_cast<std::size_t>(0x10000 - offset);
                    out.add(address, data.first(first), number);
                    out.add(segment, data.subspan(first), number);
                } else {
                    out.add(address, data, number);
                }
                return true;
            case 0x01:
                ended = true;
                return needLength(0);
            case 0x02:
                if (!needLength(2)) {
                    return false;
                }
                segmented = true;
                segment = static_cast<std::uint64_t>(data[0] << 8 | data[1]) << 4;
                return true;
            case 0x04:
                if (!needLength(2)) {
                    return false;
                }
                segmented = false;
                upper = static_cast<std::uint64_t>(data[0] << 8 | data[1]) << 16;
                return true;
            case 0x03:  // start segment address (CS:IP) and start linear address: where the
            case 0x05:  // program begins, which the loader does not take
                return needLength(4);
            default:
                return out.fail(where + ": " + hex8(type) + " is not an Intel HEX record type");
        }
    });
    if (read && !ended) {
        return out.fail("the file ends without an end-of-file record (truncated" +
                        (lastLine > 0 ? " after " + lineText(lastLine) : std::string()) + ")");
    }
    return read;
}

// Motorola S-records: "S" type, count, address, data, checksum; the count covers address, data
// and checksum; the checksum is the ones' complement of the sum of count, address and data.
bool readSrec(std::span<const std::uint8_t> file, Collected& out) {
    bool ended = false;
    std::size_t lastLine = 0;
    std::size_t dataRecords = 0;
    std::vector<std::uint8_t> bytes;
    const bool read = forEachLine(file, [&](std::string_view line, std::size_t number) {
        const std::string where = lineText(number);
        lastLine = number;
        if (ended) {
            return out.fail(where + " comes after the termination record");
        }
        if (line[0] != 'S' || line.size() < 2) {
            return out.fail(where + " is not an S-record (it does not start with 'S')");
        }
        // Bytes of address each type carries; 0 for a type that does not exist (S4).
        static constexpr std::size_t kAddressBytes[] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
        const int type = line[1] >= '0' && line[1] <= '9' ? line[1] - '0' : -1;
        if (type < 0 || kAddressBytes[type] == 0) {
            return out.fail(where + ": S" + std::string(1, line[1]) + " is not an S-record type");
        }
        if (!hexBytes(line.substr(2), bytes)) {
            return out.fail(where + " holds a character that is not a hex digit");
        }
        const std::size_t addressBytes = kAddressBytes[type];
        std::uint64_t address = 0;
        for (std::size_t i = 1; i <= addressBytes && i < bytes.size(); ++i) {
            address = address << 8 | bytes[i];
        }
        const bool isData = type >= 1 && type <= 3;
        const bool knownAddress = isData && bytes.size() > addressBytes;
        if (line.size() % 2 != 0 || bytes.empty() || bytes.size() < 1u + bytes[0]) {
            return out.fail(where + ": truncated record" +
                            (knownAddress ? " at " + hex32(address) : ""));
        }
        if (bytes.size() > 1u + bytes[0]) {
            return out.fail(where + ": the record is longer than its count byte says");
        }
        if (bytes[0] < addressBytes + 1) {
            return out.fail(where + ": the record's count (" + std::to_string(bytes[0]) +
                            ") leaves no room for its address and checksum");
        }
        unsigned sum = 0;
        for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
            sum += bytes[i];
        }
        const unsigned expected = ~sum & 0xFF;
        if (bytes.back() != expected) {
            return out.fail(where + ": bad checksum " + hex8(bytes.back()) + " (the record needs " +
                            hex8(expected) + ")" +
                            (isData ? " in the data at " + hex32(address) : ""));
        }
        const std::span<const std::uint8_t> data(bytes.data() + 1 + addressBytes,
                                                 bytes.size() - 2 - addressBytes);
        if (isData) {
            ++dataRecords;
            out.add(address, data, number);
        } else if (type == 5 || type == 6) {
            if (address != dataRecords) {
                return out.fail(where + ": the file says it holds " + std::to_string(address) +
                                " data records, but " + std::to_string(dataRecords) +
                                " came before (records are missing)");
            }
        } else if (type >= 7) {
            ended = true;
        }
        return true;
    });
    if (read && !ended) {
        return out.fail("the file ends without a termination record (S7, S8 or S9): truncated" +
                        (lastLine > 0 ? " after " + lineText(lastLine) : std::string()));
    }
    return read;
}

}  // namespace tervan::image
