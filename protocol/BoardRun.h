// One board's run over a session: connect, download the image's bytes, then the optional
// follow-up command. The window's handlers take its steps one click at a time; the command
// line runs them in a row for every board.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "protocol/Outcome.h"
#include "protocol/TargetSession.h"

namespace tervan {

enum class BoardStep { Connect, Download, FollowUp };

// How a board's run ended: the outcome of the step it ended in, and what its download put on
// the line (`transfer.begun` false when none started).
struct BoardOutcome {
    Outcome outcome = kDone;
    BoardStep step = BoardStep::Connect;
    TransferRecord transfer;
};

class BoardRun {
public:
    explicit BoardRun(TargetSession& session) : session_(session) {}

    Outcome connect() { return session_.connectTarget(); }
    // Sends `image` with `command` ('W' flash, 'M' RAM); the image may be the session's own
    // buffer.
    Outcome download(std::uint8_t command, std::span<const std::uint8_t> image);
    // Reset or run RAM, then the disconnected state once the command went through.
    Outcome followUp(std::uint8_t command);
    // After a follow-up that went through, a serial port goes to `receiver` open instead of
    // being closed (see TargetSession::handOverSerialLink); nullptr closes it.
    void keepSerialLinkIn(SerialLink* receiver) { receiver_ = receiver; }

    // The three steps in a row, stopping at the first that fails; `connected` runs between
    // connect and download.
    BoardOutcome run(std::span<const std::uint8_t> image, std::uint8_t command,
                     std::optional<std::uint8_t> then, const std::function<void()>& connected = {});

private:
    TargetSession& session_;
    SerialLink* receiver_ = nullptr;
};

}  // namespace tervan
