// What the session's sequences share about a read that brought no answer.
#pragma once

#include <cstdint>

#include "link/LinkResult.h"
#include "protocol/Outcome.h"

namespace tervan {

// A read that brought no answer: the line stayed silent, or it failed under the read.
inline Outcome missingAnswer(const LinkResult& read, std::uint32_t frame) {
    if (read.error == 0 || read.error == kErrorTimedOut) {
        return {OutcomeKind::NoAnswer, frame};
    }
    return {OutcomeKind::LineLost, frame, 0, read.error};
}

}  // namespace tervan
