#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "sim/SimClient.h"
#include "sim/TargetSimulator.h"
#include "support/TempDir.h"

using namespace tervan;
using namespace tervan::testing;
using sim::SimConfig;
using sim::TargetSimulator;

namespace {

class SerialTarget : public ::testing::Test {
protected:
    SimConfig config(int model = 0) {
        SimConfig c;
        c.transport = SimConfig::Transport::Serial;
        c.model = model;
        c.root = dir.path();
        return c;
    }
    TargetSimulator& start(const SimConfig& c) {
        target = std::make_unique<TargetSimulator>(c);
        std::string error;
        EXPECT_TRUE(target->start(&error)) << error;
        return *target;
    }

    TempDir dir;
    std::unique_ptr<TargetSimulator> target;
};

std::size_t countLines(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace

TEST_F(SerialTarget, WritesAWholeFlashImageOnlyAfterTheHandshake) {
    SimConfig c = config(0);
    c.flashFile = dir.file("flash.bin");
    c.logFile = dir.file("log.jsonl");
    auto& sim = start(c);
    SerialClient port(sim.portPath());
    ASSERT_TRUE(port.isOpen());
    ASSERT_EQ(port.readByte(), 'X');

    // A frame before the 'H' is line noise to the loader: no answer, nothing written. Its
    // bytes must not contain an 'H' themselves.
    std::vector<std::uint8_t> early;
    for (std::uint8_t fill = 1; early.empty() || std::count(early.begin(), early.end(), 'H');
         ++fill) {
        const std::vector<std::uint8_t> page(256, fill);
        early = makeFrame(0, kCommandWrite, 0, page.data(), page.size());
    }
    ASSERT_TRUE(port.write(early));
    EXPECT_EQ(port.readByte(300), kNoByte);
    ASSERT_TRUE(port.write({kHandshakeReply}));

    auto flipped = makeFrame(0, kCommandWrite, 5, makePattern(256).data(), 256);
    flipped[100] ^= 0x04;
    ASSERT_TRUE(port.write(flipped));
    EXPECT_EQ(port.readByte(), 'C');
    ASSERT_TRUE(port.write(makeFrame(0, kCommandWrite, 1024)));
    EXPECT_EQ(port.readByte(), 'O');
    ASSERT_TRUE(port.write(makeFrame(0, 'Q', 0)));
    EXPECT_EQ(port.readByte(), sim::kAnswerUnknownCommand);
    const auto erased = sim.flash();
    EXPECT_TRUE(
        std::all_of(erased.begin(), erased.end(), [](std::uint8_t b) { return b == 0xFF; }));

    const auto image = makePattern(262144);
    EXPECT_EQ(sendImage(port, 0, kCommandWrite, image), 1024u);
    EXPECT_EQ(sim.flash(), image);

    const auto counters = sim.counters();
    EXPECT_EQ(counters.handshakeBytes, 1);
    EXPECT_EQ(counters.framesReceived, 3u + 1024u);
    EXPECT_EQ(counters.bytesDiscarded, early.size());
    const auto frames = sim.frames();
    EXPECT_FALSE(frames[0].crcOk);
    EXPECT_FALSE(frames[0].applied);
    EXPECT_EQ(frames[3].number, 3);
    EXPECT_EQ(frames.back().block, 1023);

    sim.stop();
    const std::string flash = readFile(c.flashFile);
    EXPECT_TRUE(std::equal(flash.begin(), flash.end(), image.begin(), image.end()));
    const std::string log = readFile(c.logFile);
    EXPECT_EQ(countLines(log, "\"event\":\"frame\""), 1027u);
    EXPECT_EQ(countLines(log, "\"event\":\"discarded\""), early.size());
    EXPECT_NE(log.find("\"command\":\"W\",\"block\":5,\"crc_ok\":false,\"answer\":\"C\""),
              std::string::npos);
}

TEST_F(SerialTarget, SmallModelFillsFlashAndRamAndRefusesBlocksBeyondThem) {
    SimConfig c = config(1);
    c.ramFile = dir.file("ram.bin");
    auto& sim = start(c);
    SerialClient port(sim.portPath());
    ASSERT_TRUE(port.connect());

    const auto image = makePattern(65536, 2);
    const auto program = makePattern(65536, 3);
    EXPECT_EQ(sendImage(port, 1, kCommandWrite, image), 512u);
    EXPECT_EQ(sendImage(port, 1, kCommandRam, program), 512u);
    for (const std::uint8_t command : {kCommandWrite, kCommandRam}) {
        ASSERT_TRUE(port.write(makeFrame(1, command, 512)));
        EXPECT_EQ(port.readByte(), 'O');
    }
    EXPECT_EQ(sim.flash(), image);
    sim.stop();
    const std::string ram = readFile(c.ramFile);
    EXPECT_TRUE(std::equal(ram.begin(), ram.end(), program.begin(), program.end()));
}

TEST_F(SerialTarget, GoAndResetAreNotAnsweredAndEveryOpenOfThePortIsAReset) {
    auto& sim = start(config(0));
    {
        SerialClient port(sim.portPath());
        ASSERT_TRUE(port.connect());
        ASSERT_TRUE(port.write(makeFrame(0, kCommandGo, 0)));
        EXPECT_EQ(port.readByte(300), kNoByte);
        // The RAM program runs now: the loader takes no more frames.
        ASSERT_TRUE(port.write(makeFrame(0, kCommandRam, 0)));
        EXPECT_EQ(port.readByte(300), kNoByte);
    }
    EXPECT_EQ(sim.counters().programStarts, 1);
    {
        SerialClient port(sim.portPath());
        ASSERT_TRUE(port.connect());
        ASSERT_TRUE(port.write(makeFrame(0, kCommandReset, 0)));
        // Not an answer: the loader has restarted and announces itself again.
        EXPECT_EQ(port.readByte(), 'X');
    }
    SerialClient port(sim.portPath());
    ASSERT_TRUE(port.connect());
    ASSERT_TRUE(
        sim.waitUntil([](const sim::SimCounters& c) { return c.handshakeBytes == 3; }, 2000));

    const auto frames = sim.frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].command, kCommandGo);
    EXPECT_EQ(frames[1].command, kCommandReset);
    for (const auto& frame : frames) {
        EXPECT_EQ(frame.answer, -1);
        EXPECT_TRUE(frame.applied);
    }
    const auto counters = sim.counters();
    EXPECT_EQ(counters.portOpens, 3);
    EXPECT_EQ(counters.handshakeBytes, 3);
    EXPECT_EQ(counters.resets, 1 + 3 + 1);  // start, three opens, the 'R' frame
}

TEST_F(SerialTarget, TheStartedProgramPrintsItsLines) {
    SimConfig c = config(0);
    c.printAfterRun = {"hello", "\x1b[2J\x01"};
    c.printIntervalMs = 10;
    auto& sim = start(c);
    SerialClient port(sim.portPath());
    ASSERT_TRUE(port.connect());
    ASSERT_TRUE(port.write(makeFrame(0, kCommandRam, 0)));
    ASSERT_EQ(port.readByte(), kAnswerAccepted);
    ASSERT_TRUE(port.write(makeFrame(0, kCommandGo, 0)));
    std::string printed;
    for (int byte = port.readByte(); byte != kNoByte; byte = port.readByte(300)) {
        printed.push_back(static_cast<char>(byte));
    }
    EXPECT_EQ(printed, "hello\r\n\x1b[2J\x01\r\n");
    EXPECT_EQ(sim.counters().programStarts, 1);
}

TEST_F(SerialTarget, SilenceOrAHangUpAfterAFrame) {
    for (const bool drop : {false, true}) {
        SimConfig c = config(0);
        (drop ? c.dropAfterFrame : c.silentAfterFrame) = 1;
        auto& sim = start(c);
        SerialClient port(sim.portPath());
        ASSERT_TRUE(port.connect());
        const auto image = makePattern(3 * 256);
        EXPECT_EQ(sendImage(port, 0, kCommandWrite, {image.begin(), image.begin() + 512}), 2u);
        ASSERT_TRUE(port.write(makeFrame(0, kCommandWrite, 2, image.data() + 512, 256)));
        EXPECT_EQ(port.readByte(300), drop ? kHangUp : kNoByte);
        EXPECT_EQ(sim.counters().lineDropped, drop);
        EXPECT_EQ(sim.flash()[2 * 256], 0xFF);
        if (!drop) {
            ASSERT_TRUE(sim.waitForFrames(3, 2000));
            EXPECT_EQ(sim.frames()[2].answer, -1);
        }
    }
}

TEST_F(SerialTarget, StalledPartialFrameIsThrownAwaySoTheNextFrameIsTaken) {
    auto& sim = start(config(0));
    SerialClient port(sim.portPath());
    ASSERT_TRUE(port.connect());
    const auto frame = makeFrame(0, kCommandWrite, 7, makePattern(256).data(), 256);
    ASSERT_TRUE(port.write({frame.begin(), frame.begin() + 100}));
    EXPECT_EQ(port.readByte(sim::kFrameStallMs * 2), kNoByte);
    ASSERT_TRUE(port.write(frame));
    EXPECT_EQ(port.readByte(), 'X');
    EXPECT_EQ(sim.counters().bytesDiscarded, 100u);
    EXPECT_EQ(sim.frames().size(), 1u);
}

TEST_F(SerialTarget, NoiseComesBeforeTheReadyByteOrInsteadOfIt) {
    SimConfig c = config(0);
    c.noiseBytes = 5;
    {
        auto& sim = start(c);
        SerialClient port(sim.portPath());
        for (int i = 0; i < 5; ++i) {
            const int byte = port.readByte();
            EXPECT_GE(byte, 0);
            EXPECT_NE(byte, 'X');
        }
        EXPECT_EQ(port.readByte(), 'X');
    }
    target.reset();
    c.neverReady = true;
    auto& sim = start(c);
    SerialClient port(sim.portPath());
    for (int i = 0; i < 5; ++i) {
        const int byte = port.readByte();
        EXPECT_GE(byte, 0);
        EXPECT_NE(byte, 'X');
    }
    EXPECT_EQ(port.readByte(500), kNoByte);
    EXPECT_EQ(sim.counters().readySent, 0);
}

TEST_F(SerialTarget, ReadyByteAfterAnOpenWaitsForTheToolsPurge) {
    auto& sim = start(config(0));
    const auto opened = std::chrono::steady_clock::now();
    SerialClient port(sim.portPath(), false);
    // A tool slow to purge after opening the port (later than the ready delay) must still
    // find the 'X' afterwards.
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * sim.config().readyDelayMs));
    port.purge();
    if (std::chrono::steady_clock::now() - opened >= std::chrono::milliseconds(sim::kPurgeWaitMs)) {
        // The loader has stopped waiting by then, as it should: nothing to judge.
        GTEST_SKIP() << "the purge came later than the loader waits for it (a busy machine)";
    }
    EXPECT_EQ(port.readByte(), 'X');
    EXPECT_EQ(sim.counters().portOpens, 1);
}

TEST_F(SerialTarget, PacedReceptionKeepsTheLineRate) {
    SimConfig c = config(0);
    c.baudRate = 38400;
    auto& sim = start(c);
    SerialClient port(sim.portPath());
    ASSERT_TRUE(port.connect());

    // About 10 KiB in one go, as fast as the pseudo-terminal takes it.
    constexpr int kFrames = 40;
    std::vector<std::uint8_t> stream;
    const auto image = makePattern(kFrames * 256);
    for (int i = 0; i < kFrames; ++i) {
        const auto frame =
            makeFrame(0, kCommandWrite, static_cast<std::uint16_t>(i), image.data() + i * 256, 256);
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    ASSERT_TRUE(port.write(stream));
    ASSERT_TRUE(sim.waitForFrames(kFrames, 10000));
    for (int i = 0; i < kFrames; ++i) {
        ASSERT_EQ(port.readByte(), 'X');
    }

    // Measured between the frames' first bytes as the line delivers them: the time the target's
    // thread took to wake up is not the line's and would only add scheduling noise.
    const auto frames = sim.frames();
    const double measured =
        std::chrono::duration<double>(frames.back().startedAt - frames.front().startedAt).count();
    const double nominal = (kFrames - 1) * 261 * 10.0 / 38400;
    EXPECT_NEAR(measured, nominal, nominal * 0.02);
    std::printf("paced: %.4f s for %.4f s nominal\n", measured, nominal);
    EXPECT_EQ(sim.flash().size(), 262144u);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), sim.flash().begin()));
}

TEST_F(SerialTarget, StopRemovesTheLinkAndABusyPortIsRefused) {
    auto& sim = start(config(0));
    const std::string link = sim.portPath();
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.slavePath());

    TargetSimulator second(config(0));
    std::string error;
    EXPECT_FALSE(second.start(&error));
    EXPECT_NE(error.find("in use"), std::string::npos) << error;

    sim.stop();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
    EXPECT_FALSE(std::filesystem::exists(dir.file("ports")));

    // A link left behind by a target that did not stop is taken over.
    std::filesystem::create_directories(dir.file("ports"));
    std::filesystem::create_symlink("/dev/pts/99999", link);
    TargetSimulator third(config(0));
    EXPECT_TRUE(third.start(&error)) << error;
    third.stop();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}
