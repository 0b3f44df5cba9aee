#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "sim/SimClient.h"
#include "sim/TargetSimulator.h"
#include "support/TempDir.h"

using namespace tervan;
using namespace tervan::testing;
using sim::SimConfig;
using sim::TargetSimulator;

namespace {

class UsbTarget : public ::testing::Test {
protected:
    TargetSimulator& start(SimConfig c) {
        c.transport = SimConfig::Transport::Usb;
        c.root = dir.path();
        target = std::make_unique<TargetSimulator>(c);
        std::string error;
        EXPECT_TRUE(target->start(&error)) << error;
        return *target;
    }
    std::vector<std::uint8_t> page(std::uint16_t block) {
        return makeFrame(0, kCommandWrite, block, image.data() + block * 256, 256);
    }

    TempDir dir;
    std::unique_ptr<TargetSimulator> target;
    std::vector<std::uint8_t> image = makePattern(8 * 256);
};

}  // namespace

TEST_F(UsbTarget, AnnouncesItselfAndAnswersGoAndReset) {
    auto& sim = start({});
    EXPECT_TRUE(std::filesystem::is_fifo(sim.devicePath() + "/PIPE00"));
    PipeClient pipes(sim.devicePath());
    ASSERT_TRUE(pipes.isOpen());
    ASSERT_EQ(pipes.readByte(), 'X');  // waited in the pipe; nothing is sent back over USB
    for (std::uint16_t block = 0; block < 2; ++block) {
        ASSERT_TRUE(pipes.write(page(block)));
        EXPECT_EQ(pipes.readByte(), 'X');
    }
    ASSERT_TRUE(pipes.write(makeFrame(0, kCommandGo, 0)));
    EXPECT_EQ(pipes.readByte(), 'X');
    ASSERT_TRUE(pipes.write(page(2)));
    EXPECT_EQ(pipes.readByte(300), kNoByte);  // the RAM program runs

    sim.reset();
    ASSERT_EQ(pipes.readByte(), 'X');
    ASSERT_TRUE(pipes.write(makeFrame(0, kCommandReset, 0)));
    EXPECT_EQ(pipes.readByte(), 'X');  // the answer
    EXPECT_EQ(pipes.readByte(), 'X');  // ready again after the reset

    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 512, sim.flash().begin()));
    EXPECT_EQ(sim.flash()[512], 0xFF);
    const auto counters = sim.counters();
    EXPECT_EQ(counters.programStarts, 1);
    EXPECT_EQ(counters.readySent, 3);
    EXPECT_EQ(counters.handshakeBytes, 0);
    EXPECT_EQ(sim.frames().back().command, kCommandReset);
}

TEST_F(UsbTarget, ForcedAnswersFollowTheTransmissionsOfOneFrame) {
    SimConfig c;
    c.forcedAnswers = {{3, "CCX"}, {5, "Q"}, {6, "-"}};
    auto& sim = start(c);
    PipeClient pipes(sim.devicePath());
    ASSERT_EQ(pipes.readByte(), 'X');
    const std::string expected = "XXXCCXXQ";
    std::string answers;
    for (const std::uint16_t block : {0, 1, 2, 3, 3, 3, 4, 5}) {
        ASSERT_TRUE(pipes.write(page(block)));
        answers.push_back(static_cast<char>(pipes.readByte()));
    }
    EXPECT_EQ(answers, expected);
    ASSERT_TRUE(pipes.write(page(6)));
    EXPECT_EQ(pipes.readByte(300), kNoByte);

    const auto frames = sim.frames();
    ASSERT_EQ(frames.size(), 9u);
    for (int i = 3; i < 6; ++i) {
        EXPECT_EQ(frames[i].number, 3);
        EXPECT_EQ(frames[i].transmission, i - 2);
        EXPECT_EQ(frames[i].applied, i == 5);
    }
    EXPECT_EQ(frames[7].number, 5);
    const auto flash = sim.flash();
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 5 * 256, flash.begin()));
    EXPECT_EQ(flash[5 * 256], 0xFF);  // answered 'Q': not written
    EXPECT_EQ(flash[6 * 256], 0xFF);
}

TEST_F(UsbTarget, DroppedLineUnplugsTheDevice) {
    SimConfig c;
    c.dropAfterFrame = 0;
    auto& sim = start(c);
    PipeClient pipes(sim.devicePath());
    ASSERT_EQ(pipes.readByte(), 'X');
    ASSERT_TRUE(pipes.write(page(0)));
    EXPECT_EQ(pipes.readByte(), 'X');
    ASSERT_TRUE(sim.waitUntil([](const sim::SimCounters& s) { return s.lineDropped; }, 2000));
    EXPECT_FALSE(std::filesystem::exists(sim.devicePath()));
    EXPECT_FALSE(pipes.write(page(1)));  // no reader any more
}

TEST_F(UsbTarget, StopRemovesTheDeviceFolderAndAStaleOneIsTakenOver) {
    auto& sim = start({});
    const std::string device = sim.devicePath();
    TargetSimulator second([&] {
        SimConfig c;
        c.transport = SimConfig::Transport::Usb;
        c.root = dir.path();
        return c;
    }());
    std::string error;
    EXPECT_FALSE(second.start(&error));
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
    sim.stop();
    EXPECT_FALSE(std::filesystem::exists(dir.file("usb")));

    // Pipes nobody reads, left by a target that did not stop.
    std::filesystem::create_directories(device);
    ASSERT_EQ(::mkfifo((device + "/PIPE00").c_str(), 0666), 0);
    auto& again = start({});
    PipeClient pipes(again.devicePath());
    EXPECT_EQ(pipes.readByte(), 'X');
    again.stop();
    EXPECT_FALSE(std::filesystem::exists(device));
}
