#include "protocol/BoardRun.h"

namespace tervan {

Outcome BoardRun::download(std::uint8_t command, std::span<const std::uint8_t> image) {
    if (image.data() == session_.imageBuffer.data() && image.size() == session_.imageLength) {
        return session_.downloadImage(command);
    }
    return session_.downloadImage(command, image);
}

Outcome BoardRun::followUp(std::uint8_t command) {
    const Outcome sent = session_.sendCommand(command);
    if (sent.ok()) {
        if (receiver_ != nullptr && session_.options().interfaceKind != 0) {
            session_.handOverSerialLink(*receiver_);
        } else {
            session_.disconnectTarget();
        }
    }
    return sent;
}

BoardOutcome BoardRun::run(std::span<const std::uint8_t> image, std::uint8_t command,
                           std::optional<std::uint8_t> then,
                           const std::function<void()>& connected) {
    BoardOutcome ended;
    ended.outcome = connect();
    if (ended.outcome.ok()) {
        if (connected) {
            connected();
        }
        ended.step = BoardStep::Download;
        ended.outcome = download(command, image);
        ended.transfer = session_.lastTransfer();
        if (ended.outcome.ok() && then) {
            ended.step = BoardStep::FollowUp;
            ended.outcome = followUp(*then);
        }
    }
    return ended;
}

}  // namespace tervan
