// Fuzz target: frame decoding in the virtual target.
//
// Input: byte 0 picks the model (a row of the chip-model table, modulo their count); the rest is
// what the tool would write to the target over USB, cut into frames of the model's length by the
// target itself. It goes into PIPE00 in one write of at most PIPE_BUF bytes, so the target takes it
// in at once.
//
// Checks, against a model of the loader written from its documented behaviour: one frame
// record per whole frame up to an accepted 'G' or 'R' (after which the loader hands over or
// restarts and drops the rest); the CRC verdict, the frame number and transmission count, the
// answer ('C' bad CRC, '?' unknown command, 'O' block outside the memory, 'X' otherwise) and
// whether the frame took effect; the answer bytes in PIPE01; the flash and RAM contents.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "link/UsbPipeLink.h"
#include "protocol/ChipModel.h"
#include "protocol/Frame.h"
#include "sim/TargetSimulator.h"

using namespace tervan;

namespace {

constexpr int kWaitMs = 5000;

struct Expected {
    std::vector<sim::FrameRecord> frames;
    std::vector<std::uint8_t> answers;  // bytes the target sends after its first 'X'
    std::vector<std::uint8_t> flash;
    std::vector<std::uint8_t> ram;
};

Expected model(int modelNumber, const std::uint8_t* stream, std::size_t size) {
    const ChipModel& p = chipModel(modelNumber);
    Expected e;
    e.flash.assign(p.flashSize, 0xFF);
    e.ram.assign(p.ramSize, 0x00);
    struct {
        bool valid = false;
        std::uint8_t command = 0;
        std::uint16_t block = 0;
        int answer = 0;
        int number = 0;
        int transmission = 0;
    } last;
    int next = 0;
    for (std::size_t at = 0; at + p.frameLength <= size; at += p.frameLength) {
        const std::uint8_t* f = stream + at;
        sim::FrameRecord r;
        r.command = f[2];
        r.block = static_cast<std::uint16_t>(f[3] | (f[4] << 8));
        r.crcOk = frameCrcMatches(f, p.frameLength);
        const bool repeat = last.valid && last.answer != kAnswerAccepted &&
                            last.command == r.command && last.block == r.block;
        r.number = repeat ? last.number : next++;
        r.transmission = repeat ? last.transmission + 1 : 1;
        const std::uint32_t end = (r.block + 1u) * p.pageSize;
        const bool known = r.command == kCommandWrite || r.command == kCommandRam ||
                           r.command == kCommandGo || r.command == kCommandReset;
        const bool inRange = r.command == kCommandWrite ? end <= p.flashSize
                             : r.command == kCommandRam ? end <= p.ramSize
                                                        : true;
        r.answer = !r.crcOk   ? kAnswerCrcError
                   : !known   ? sim::kAnswerUnknownCommand
                   : !inRange ? kAnswerVerifyError
                              : kAnswerAccepted;
        r.applied = r.answer == kAnswerAccepted;
        e.frames.push_back(r);
        e.answers.push_back(static_cast<std::uint8_t>(r.answer));
        last = {true, r.command, r.block, r.answer, r.number, r.transmission};
        if (r.applied && (r.command == kCommandWrite || r.command == kCommandRam)) {
            auto& memory = r.command == kCommandWrite ? e.flash : e.ram;
            std::copy(f + kFrameHeaderSize, f + p.frameLength, memory.begin() + (end - p.pageSize));
        }
        if (r.applied && r.command == kCommandGo) {
            break;  // the program runs; the loader takes nothing more
        }
        if (r.applied && r.command == kCommandReset) {
            e.answers.push_back(kAnswerAccepted);  // ready again after the restart
            break;                                 // what was still queued is lost
        }
    }
    return e;
}

// Reads `count` bytes from a non-blocking descriptor, waiting at most kWaitMs in all. The
// fuzzer's own timer interrupts waits now and then: they go on until the deadline.
std::vector<std::uint8_t> readBytes(int fd, std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    std::vector<std::uint8_t> bytes;
    std::uint8_t buffer[512];
    while (bytes.size() < count) {
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, count - bytes.size()));
        if (n > 0) {
            bytes.insert(bytes.end(), buffer, buffer + n);
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(left.count()) + 1);
    }
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::scratchFolder("frames");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > PIPE_BUF + 1) {
        return -1;
    }
    const int modelNumber = static_cast<int>(data[0] % kChipModelCount);
    const std::uint8_t* stream = data + 1;
    const std::size_t streamSize = size - 1;

    sim::SimConfig config;
    config.transport = sim::SimConfig::Transport::Usb;
    config.model = modelNumber;
    config.root = fuzz::scratchFolder("frames");
    config.readyDelayMs = 0;
    sim::TargetSimulator target(config);
    std::string error;
    if (!target.start(&error)) {
        std::fprintf(stderr, "target: %s\n", error.c_str());
        std::abort();
    }
    const std::string device = target.devicePath();
    const int toTarget = ::open((device + "/PIPE00").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    const int fromTarget = ::open((device + "/PIPE01").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    FUZZ_CHECK(toTarget >= 0 && fromTarget >= 0);
    // Frames count only once the loader has announced itself.
    FUZZ_CHECK(readBytes(fromTarget, 1) == std::vector<std::uint8_t>{kAnswerAccepted});
    if (streamSize > 0) {
        FUZZ_CHECK(::write(toTarget, stream, streamSize) == static_cast<ssize_t>(streamSize));
    }

    const Expected e = model(modelNumber, stream, streamSize);
    const auto answers = readBytes(fromTarget, e.answers.size());
    FUZZ_CHECK(target.waitForFrames(e.frames.size(), kWaitMs));
    target.stop();
    ::close(toTarget);

    const auto frames = target.frames();
    if (answers != e.answers || frames.size() != e.frames.size()) {
        std::fprintf(stderr, "answers: got %zu, expected %zu; frames: got %zu, expected %zu\n",
                     answers.size(), e.answers.size(), frames.size(), e.frames.size());
        for (const auto& f : frames) {
            std::fprintf(stderr, "  frame %d.%d %c block %u crc %d answer %d applied %d\n",
                         f.number, f.transmission, f.command, f.block, f.crcOk, f.answer,
                         f.applied);
        }
    }
    FUZZ_CHECK(answers == e.answers);
    FUZZ_CHECK(frames.size() == e.frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const auto& got = frames[i];
        const auto& want = e.frames[i];
        FUZZ_CHECK(got.number == want.number);
        FUZZ_CHECK(got.transmission == want.transmission);
        FUZZ_CHECK(got.command == want.command);
        FUZZ_CHECK(got.block == want.block);
        FUZZ_CHECK(got.crcOk == want.crcOk);
        FUZZ_CHECK(got.answer == want.answer);
        FUZZ_CHECK(got.applied == want.applied);
    }
    FUZZ_CHECK(target.flash() == e.flash);
    FUZZ_CHECK(target.ram() == e.ram);
    // Nothing more came out than the answers.
    std::uint8_t extra = 0;
    FUZZ_CHECK(::read(fromTarget, &extra, 1) <= 0);
    ::close(fromTarget);
    return 0;
}
