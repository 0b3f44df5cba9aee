// The loader's thread: bytes from the tool get their arrival time on the line (paced when a
// baud rate is set), bytes to the tool go out when due, and between events the thread waits on
// the line and the wake-up descriptor until the next deadline.
#include <poll.h>
#include <unistd.h>

#include <algorithm>

#include "sim/TargetSimulatorImpl.h"

namespace tervan::sim {

using std::chrono::milliseconds;

void TargetSimulator::Impl::queueByte(std::uint8_t value, Clock::time_point earliest, bool ready) {
    Clock::time_point due = earliest;
    if (byteTime.count() > 0) {
        due = std::max(earliest, txLineFree) + byteTime;
        txLineFree = due;
    }
    tx.push_back({value, due, ready});
}

void TargetSimulator::Impl::dropLine() {
    // Under the lock: whoever sees the line gone, or the counter set, finds the other too.
    update([&] {
        counters.lineDropped = true;
        line->drop();
    });
    phase = Phase::Dropped;
    rx.clear();
    tx.clear();
    frame.clear();
    pending.reset();
    logLine("\"event\":\"line_dropped\"");
}

// Takes the bytes that have arrived by `now`, up to a frame whose answer is still due.
void TargetSimulator::Impl::consume(Clock::time_point now) {
    while (!rx.empty() && rx.front().arrival <= now && !pending && phase != Phase::Dropped) {
        // Serial: the line goes when the tool starts sending after the last answer, so that
        // the answer itself is not lost with the hang-up.
        if (dropArmed && serial()) {
            dropLine();
            return;
        }
        const RxByte byte = rx.front();
        rx.pop_front();
        takeByte(byte, now);
    }
}

// Bytes are counted as sent before they are written, so that whoever reads them already
// finds them in the counters; what the line did not take is taken back.
void TargetSimulator::Impl::flushTx(Clock::time_point now) {
    txBlocked = false;
    while (!tx.empty() && tx.front().due <= now) {
        std::vector<std::uint8_t> run;
        int ready = 0;
        for (const auto& byte : tx) {
            if (byte.due > now) {
                break;
            }
            run.push_back(byte.value);
            ready += byte.ready ? 1 : 0;
        }
        std::optional<Clock::time_point> previousReadyAt;
        update([&] {
            previousReadyAt = counters.lastReadyAt;
            for (const std::uint8_t value : run) {
                sent.push_back({value, now});
            }
            counters.readySent += ready;
            if (ready > 0) {
                counters.lastReadyAt = now;
            }
        });
        const std::size_t written = line->send(run.data(), run.size());
        if (written < run.size()) {
            int unsentReady = 0;
            for (std::size_t i = written; i < run.size(); ++i) {
                unsentReady += tx[i].ready ? 1 : 0;
            }
            update([&] {
                sent.resize(sent.size() - (run.size() - written));
                counters.readySent -= unsentReady;
                if (unsentReady == ready) {
                    counters.lastReadyAt = previousReadyAt;
                }
            });
        }
        for (std::size_t i = 0; i < written; ++i) {
            const TxByte byte = tx.front();
            tx.pop_front();
            logLine("\"event\":\"sent\",\"value\":" + std::to_string(byte.value) +
                    ",\"char\":" + jsonChar(byte.value) + (byte.ready ? ",\"ready\":true" : ""));
        }
        if (written < run.size()) {
            txBlocked = true;
            return;
        }
    }
}

void TargetSimulator::Impl::advance(Clock::time_point now) {
    for (;;) {
        announceIfReady(now);
        consume(now);
        if (pending && pending->due <= now) {
            finishFrame(now);
            continue;
        }
        break;
    }
    if (phase == Phase::Running && !frame.empty() && rx.empty() &&
        now - lastArrival >= milliseconds(kFrameStallMs)) {
        discardPartialFrame();
    }
    if (phase != Phase::Dropped) {
        flushTx(now);
    }
    // USB: unplugged as soon as the last answer is in the pipe.
    if (dropArmed && !serial() && tx.empty() && phase != Phase::Dropped) {
        dropLine();
    }
}

std::optional<Clock::time_point> TargetSimulator::Impl::nextDeadline(Clock::time_point now) const {
    std::optional<Clock::time_point> next;
    auto consider = [&](Clock::time_point t) {
        if (!next || t < *next) {
            next = t;
        }
    };
    if (phase == Phase::Dropped) {
        return next;
    }
    if (phase == Phase::Booting) {
        consider(awaitingPurge ? purgeWaitEnd : readyAt);
    }
    if (pending) {
        consider(pending->due);
    } else if (!rx.empty()) {
        consider(rx.front().arrival);
    }
    if (txBlocked) {
        consider(now + milliseconds(10));  // the tool has not read; look again soon
    } else if (!tx.empty()) {
        consider(tx.front().due);
    }
    if (phase == Phase::Running && !frame.empty()) {
        consider(lastArrival + milliseconds(kFrameStallMs));
    }
    return next;
}

void TargetSimulator::Impl::receive(const LineInput& in, Clock::time_point now) {
    for (const std::uint8_t value : in.data) {
        Clock::time_point arrival = now;
        if (byteTime.count() > 0) {
            rxLineFree = std::max(rxLineFree, now) + byteTime;
            arrival = rxLineFree;
        }
        rx.push_back({value, arrival});
    }
    // What came before an open belongs to the session that ended.
    consume(now);
    if (in.closes > 0) {
        logLine("\"event\":\"port_closed\"");
    }
    if (in.opens > 0) {
        update([&] {
            counters.portOpens += in.opens;
            counters.lastOpenAt = now;
        });
        logLine("\"event\":\"port_opened\"");
        if (config.resetOnOpen) {
            reset(ResetCause::Open, now);
        }
    }
    if (in.purged) {
        purgeSeen(now);
    }
}

void TargetSimulator::Impl::run() {
    std::vector<pollfd> fds;
    for (;;) {
        std::uint64_t counter = 0;
        while (::read(wakeFd, &counter, sizeof counter) > 0) {
        }
        if (stopRequested) {
            return;
        }
        Clock::time_point now = Clock::now();
        if (resetRequested.exchange(false) && phase != Phase::Dropped) {
            reset(ResetCause::Request, now);
        }
        if (phase != Phase::Dropped) {
            receive(line->collect(), now);
        }
        advance(now);

        fds.clear();
        fds.push_back({wakeFd, POLLIN, 0});
        if (phase != Phase::Dropped) {
            line->pollSet(fds, txBlocked);
        }
        const auto deadline = nextDeadline(now);
        timespec wait{};
        timespec* timeout = nullptr;
        if (deadline) {
            const auto left = std::max(Duration::zero(), *deadline - Clock::now());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            wait.tv_sec = static_cast<time_t>(ns / 1000000000);
            wait.tv_nsec = static_cast<long>(ns % 1000000000);
            timeout = &wait;
        }
        ::ppoll(fds.data(), fds.size(), timeout, nullptr);
    }
}

void TargetSimulator::Impl::wake() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof one);
}

}  // namespace tervan::sim
