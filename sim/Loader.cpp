// The loader's state machine: what a reset does, when the 'X' goes out, the handshake, and how
// each frame is checked, answered and applied to flash or RAM.
#include <algorithm>

#include "protocol/Frame.h"
#include "sim/TargetSimulatorImpl.h"

namespace tervan::sim {
namespace {

using std::chrono::milliseconds;

// Noise before the 'X': a fixed pseudo-random sequence that never contains 'X'.
std::uint8_t noiseByte(std::uint32_t& state) {
    for (;;) {
        state = state * 1103515245u + 12345u;
        const auto value = static_cast<std::uint8_t>(state >> 16);
        if (value != kAnswerAccepted) {
            return value;
        }
    }
}

}  // namespace

void TargetSimulator::Impl::reset(ResetCause cause, Clock::time_point now) {
    update([&] { ++counters.resets; });
    logLine(std::string("\"event\":\"reset\",\"cause\":\"") + causeName(cause) + "\"");
    rx.clear();
    frame.clear();
    pending.reset();
    last = {};
    nextNumber = 0;
    // A reset of the board loses what was still going out, except the answer to the 'R'
    // frame that caused it.
    if (cause != ResetCause::Command) {
        tx.clear();
        line->discardUnread();
    }
    phase = Phase::Booting;
    readyAt = now + milliseconds(config.readyDelayMs);
    awaitingPurge = cause == ResetCause::Open;
    purgeWaitEnd = now + milliseconds(kPurgeWaitMs);
}

// The tool purges right after opening the port: the ready delay counts from there, so the
// 'X' is never thrown away by that purge however slowly the tool gets to it.
void TargetSimulator::Impl::purgeSeen(Clock::time_point now) {
    if (phase == Phase::Booting && awaitingPurge) {
        awaitingPurge = false;
        readyAt = now + milliseconds(config.readyDelayMs);
    }
}

void TargetSimulator::Impl::announceIfReady(Clock::time_point now) {
    if (phase != Phase::Booting) {
        return;
    }
    if (awaitingPurge) {
        if (now < purgeWaitEnd) {
            return;
        }
        awaitingPurge = false;
    } else if (now < readyAt) {
        return;
    }
    for (int i = 0; i < config.noiseBytes; ++i) {
        queueByte(noiseByte(noiseState), now, false);
    }
    if (config.neverReady) {
        phase = Phase::NotReady;
        return;
    }
    queueByte(kAnswerAccepted, now, true);
    phase = serial() ? Phase::AwaitingHandshake : Phase::Running;
}

void TargetSimulator::Impl::discard(const RxByte& byte) {
    update([&] { ++counters.bytesDiscarded; });
    logLine("\"event\":\"discarded\",\"value\":" + std::to_string(byte.value) +
            ",\"char\":" + jsonChar(byte.value));
}

void TargetSimulator::Impl::discardPartialFrame() {
    const std::size_t count = frame.size();
    update([&] { counters.bytesDiscarded += count; });
    logLine("\"event\":\"partial_frame\",\"bytes\":" + std::to_string(count));
    frame.clear();
}

void TargetSimulator::Impl::takeByte(const RxByte& byte, Clock::time_point now) {
    switch (phase) {
        case Phase::AwaitingHandshake:
            if (byte.value != kHandshakeReply) {
                discard(byte);
                return;
            }
            update([&] {
                ++counters.handshakeBytes;
                counters.lastHandshakeAt = byte.arrival;
            });
            logLine("\"event\":\"handshake\"");
            phase = Phase::Running;
            last = {};
            nextNumber = 0;
            lastArrival = byte.arrival;
            return;
        case Phase::Running:
            if (!frame.empty() && byte.arrival - lastArrival >= milliseconds(kFrameStallMs)) {
                discardPartialFrame();
            }
            if (frame.empty()) {
                frameStart = byte.arrival;
            }
            frame.push_back(byte.value);
            lastArrival = byte.arrival;
            if (frame.size() == model.frameLength) {
                takeFrame(now);
                frame.clear();
            }
            return;
        default:
            discard(byte);
            return;
    }
}

void TargetSimulator::Impl::takeFrame(Clock::time_point now) {
    const std::uint8_t command = frame[2];
    const auto block = static_cast<std::uint16_t>(frame[3] | (frame[4] << 8));
    const bool crcOk = frameCrcMatches(frame.data(), model.frameLength);

    const bool repeat = last.valid && last.answer != kAnswerAccepted && last.command == command &&
                        last.block == block;
    const int number = repeat ? last.number : nextNumber++;
    const int transmission = repeat ? last.transmission + 1 : 1;

    const std::uint32_t end = (static_cast<std::uint32_t>(block) + 1) * model.pageSize;
    bool known = true;
    bool inRange = true;
    switch (command) {
        case kCommandWrite:
            inRange = end <= model.flashSize;
            break;
        case kCommandRam:
            inRange = end <= model.ramSize;
            break;
        case kCommandGo:
        case kCommandReset:
            break;
        default:
            known = false;
            break;
    }
    const bool valid = crcOk && known && inRange;
    const bool unanswered = serial() && (command == kCommandGo || command == kCommandReset);
    int natural = kAnswerAccepted;
    if (!crcOk) {
        natural = kAnswerCrcError;
    } else if (!known) {
        natural = kAnswerUnknownCommand;
    } else if (!inRange) {
        natural = kAnswerVerifyError;
    } else if (unanswered) {
        natural = -1;
    }

    int answer = natural;
    const bool silent = config.silentAfterFrame >= 0 && number > config.silentAfterFrame;
    if (silent) {
        answer = -1;
    } else if (auto it = config.forcedAnswers.find(number);
               it != config.forcedAnswers.end() &&
               transmission <= static_cast<int>(it->second.size())) {
        const char forced = it->second[static_cast<std::size_t>(transmission - 1)];
        answer = forced == kForcedNoAnswer ? -1 : static_cast<std::uint8_t>(forced);
    }
    // The command takes effect only when the frame is sound and the loader says so.
    const bool applied =
        !silent && valid && (answer == kAnswerAccepted || (answer == -1 && natural == -1));

    FrameRecord record;
    record.number = number;
    record.transmission = transmission;
    record.command = command;
    record.block = block;
    record.crcOk = crcOk;
    record.answer = answer;
    record.applied = applied;
    record.startedAt = frameStart;
    record.receivedAt = now;
    update([&] {
        if (applied && (command == kCommandWrite || command == kCommandRam)) {
            auto& memory = command == kCommandWrite ? flash : ram;
            std::copy(frame.begin() + kFrameHeaderSize, frame.end(),
                      memory.begin() + (end - model.pageSize));
        }
        frames.push_back(record);
        counters.framesReceived = frames.size();
    });
    logLine("\"event\":\"frame\",\"number\":" + std::to_string(number) + ",\"transmission\":" +
            std::to_string(transmission) + ",\"command\":" + jsonChar(command) +
            ",\"block\":" + std::to_string(block) + ",\"crc_ok\":" + (crcOk ? "true" : "false") +
            ",\"answer\":" + jsonChar(answer) + ",\"applied\":" + (applied ? "true" : "false"));

    last = {true, command, block, answer, number, transmission};
    Duration delay{0};
    if (answer >= 0) {
        delay = milliseconds(config.answerDelayMs);
        if (applied && command == kCommandWrite) {
            delay += milliseconds(config.pageWriteDelayMs);
        }
    }
    // The answer is due counted from the frame's last byte on the wire, not from when this
    // thread got round to it, so the loader's own lateness never slows the line.
    pending = Pending{answer, std::min(now, lastArrival) + delay, command, applied, number};
}

void TargetSimulator::Impl::finishFrame(Clock::time_point now) {
    const Pending done = *pending;
    pending.reset();
    if (done.answer >= 0) {
        queueByte(static_cast<std::uint8_t>(done.answer), std::min(now, done.due), false);
    }
    if (config.dropAfterFrame >= 0 && done.number == config.dropAfterFrame) {
        dropArmed = true;
    }
    if (!done.applied) {
        return;
    }
    if (done.command == kCommandGo) {
        update([&] { ++counters.programStarts; });
        logLine("\"event\":\"program_started\"");
        phase = Phase::ProgramRunning;
        if (serial()) {
            printProgramLines(now);
        }
    } else if (done.command == kCommandReset) {
        reset(ResetCause::Command, now);
    }
}

void TargetSimulator::Impl::printProgramLines(Clock::time_point now) {
    Clock::time_point due = now;
    for (const std::string& text : config.printAfterRun) {
        due += milliseconds(config.printIntervalMs);
        for (const char c : text + "\r\n") {
            queueByte(static_cast<std::uint8_t>(c), due, false);
        }
    }
}

}  // namespace tervan::sim
