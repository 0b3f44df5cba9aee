// What the image readers share: the data they collect from a file, run by run at its address,
// and the hexadecimal numbers their reasons give. Private to the image formats.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tervan::image {

std::string hex32(std::uint64_t value);
std::string hex8(unsigned value);

// A run of the file's data at an address, and where in the file it was given.
struct Chunk {
    std::uint64_t address;
    std::size_t offset;  // into Collected::data
    std::size_t length;
    std::size_t origin;  // line or segment number
};

struct Collected {
    const char* originKind = "line";
    std::vector<std::uint8_t> data;
    std::vector<Chunk> chunks;
    std::string error;

    void add(std::uint64_t address, std::span<const std::uint8_t> bytes, std::size_t origin) {
        if (bytes.empty()) {
            return;
        }
        chunks.push_back({address, data.size(), bytes.size(), origin});
        data.insert(data.end(), bytes.begin(), bytes.end());
    }
    bool fail(std::string reason) {
        error = std::move(reason);
        return false;
    }
};

// Each reader collects the file's data into `out`; false, with out.error, when the file is
// not what its format says.
bool readHex(std::span<const std::uint8_t> file, Collected& out);
bool readSrec(std::span<const std::uint8_t> file, Collected& out);
bool readElf(std::span<const std::uint8_t> file, Collected& out);

}  // namespace tervan::image
