// Sees every byte a session writes to the line and every byte it reads from it, in order, for
// a record of the exchange. Bytes a purge throws away are never read and so never seen.
#pragma once

#include <cstdint>
#include <span>

namespace tervan {

class LineTrace {
public:
    virtual void sent(std::span<const std::uint8_t> bytes) = 0;
    virtual void received(std::span<const std::uint8_t> bytes) = 0;

protected:
    ~LineTrace() = default;
};

}  // namespace tervan
