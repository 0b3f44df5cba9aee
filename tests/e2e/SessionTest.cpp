// A session on its own, with no window and no controller: connect, download and reset against
// the virtual target, reported to a sink that records what it is told.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "link/SystemPaths.h"
#include "protocol/BoardRun.h"
#include "protocol/TargetSession.h"
#include "sim/TargetSimulator.h"
#include "support/DeviceRootTest.h"
#include "support/DrivenClock.h"
#include "support/TempDir.h"

using namespace tervan;
using tervan::testing::DeviceRootFixture;
using tervan::testing::DrivenClock;
using tervan::testing::SkippedPausesClock;
using Transport = tervan::sim::SimConfig::Transport;

namespace {

struct RecordingSink : SessionSink {
    void status(const std::string& text) override {
        if (statuses.empty() || statuses.back() != text) {
            statuses.push_back(text);
        }
    }
    void progressRange(std::uint16_t upper) override { range = upper; }
    void progress(std::int16_t position) override { positions.push_back(position); }
    void message(const std::string& text) override { messages.push_back(text); }
    void beep(BeepKind kind) override { beeps.push_back(kind); }
    void enableButton(SessionButton, bool) override { ++buttonChanges; }
    void waitCursor(bool on) override { cursorDepth += on ? 1 : -1; }
    void progressed(const SessionProgress& progress) override {
        phases.push_back(progress.phase);
        if (progress.phase == SessionPhase::Page) {
            pageBytes.push_back(progress.bytes);
        }
    }

    std::vector<std::string> statuses;
    std::vector<std::string> messages;
    std::vector<BeepKind> beeps;
    std::vector<std::int16_t> positions;
    std::vector<SessionPhase> phases;
    std::vector<std::uint32_t> pageBytes;
    std::uint16_t range = 0;
    int buttonChanges = 0;
    int cursorDepth = 0;
};

class SessionTest : public DeviceRootFixture<::testing::TestWithParam<Transport>> {
protected:
    sim::TargetSimulator& startTarget(const std::map<int, std::string>& forced = {},
                                      int readyDelayMs = 50) {
        sim::SimConfig config;
        config.readyDelayMs = readyDelayMs;
        config.transport = GetParam();
        config.model = 1;
        config.root = dir.path();
        config.forcedAnswers = forced;
        target = std::make_unique<sim::TargetSimulator>(config);
        std::string error;
        EXPECT_TRUE(target->start(&error)) << error;
        return *target;
    }
    // A session set up as a user would: the small model, flash, COM1 or USB.
    TargetSession& session(Clock* on = nullptr) {
        if (!session_) {
            session_ = std::make_unique<TargetSession>(sink, on != nullptr ? *on : clock);
            SessionOptions chosen = session_->options();
            chosen.interfaceKind = GetParam() == Transport::Usb ? 0 : 1;
            chosen.targetModel = 1;
            chosen.comPortPath = "\\\\.\\COM1";
            session_->configure(chosen);
        }
        return *session_;
    }

    RecordingSink sink;
    SkippedPausesClock clock;
    std::unique_ptr<sim::TargetSimulator> target;
    std::unique_ptr<TargetSession> session_;
};

std::vector<std::uint8_t> imageOf(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 13 + 7);
    }
    return bytes;
}

}  // namespace

TEST_P(SessionTest, ConnectDownloadAndResetThroughASinkAlone) {
    auto& t = startTarget();
    auto& s = session();
    const auto image = imageOf(700);  // five pages and a part

    EXPECT_EQ(s.connectTarget(), kDone);
    EXPECT_EQ(s.downloadImage(kCommandWrite, image), kDone);
    EXPECT_EQ(s.sendCommand(kCommandReset), kDone);
    s.disconnectTarget();

    const auto& shown = sink.statuses;
    ASSERT_GE(shown.size(), 5u);
    EXPECT_EQ(shown.front(), countdownText(kConnectSeconds));
    EXPECT_EQ(std::vector<std::string>(shown.end() - 4, shown.end()),
              (std::vector<std::string>{"Connected", "Downloading...", "Write successfull!",
                                        "Disconnected"}));
    EXPECT_TRUE(sink.messages.empty());
    EXPECT_EQ(sink.beeps, std::vector<BeepKind>{BeepKind::Default});
    EXPECT_EQ(sink.range, 700 / 128);
    EXPECT_EQ(sink.positions, (std::vector<std::int16_t>{0, 1, 2, 3, 4, 5, 5, 0}));
    // The same as figures: the bar's last position repeats, the bytes end at the image's length.
    EXPECT_EQ(sink.pageBytes, (std::vector<std::uint32_t>{128, 256, 384, 512, 640, 700}));
    EXPECT_EQ(sink.phases.front(), SessionPhase::Waiting);
    EXPECT_EQ(sink.phases.back(), SessionPhase::Ended);
    EXPECT_EQ(std::count(sink.phases.begin(), sink.phases.end(), SessionPhase::Started), 1);
    EXPECT_EQ(sink.cursorDepth, 0);

    auto flash = t.flash();
    flash.resize(image.size());
    EXPECT_EQ(flash, image);
    ASSERT_TRUE(t.waitForFrames(7, 2000));
    EXPECT_EQ(t.frames().back().command, 'R');
}

// A rejected page ends the download with the answer and the frame it concerns.
TEST_P(SessionTest, RejectedPageNamesItsFrame) {
    startTarget({{3, "CCC"}});
    auto& s = session();
    ASSERT_EQ(s.connectTarget(), kDone);
    const Outcome sent = s.downloadImage(kCommandWrite, imageOf(1000));
    EXPECT_EQ(sent, (Outcome{OutcomeKind::CrcError, 3, 'C', 0}));
    EXPECT_EQ(sink.messages, std::vector<std::string>{"CRC error!"});
    EXPECT_EQ(sink.statuses.back(), "Error while flashing");
}

// What a download put on the line: every page, a rejected one and its resend over USB, and the
// answers, counted as the trace sees them.
TEST_P(SessionTest, DownloadRecordsItsPagesAnswersAndBytes) {
    const bool usb = GetParam() == Transport::Usb;
    startTarget({{1, usb ? "CX" : "O"}});
    struct Counting : LineTrace {
        void sent(std::span<const std::uint8_t> bytes) override { out += bytes.size(); }
        void received(std::span<const std::uint8_t> bytes) override { in += bytes.size(); }
        std::uint64_t out = 0;
        std::uint64_t in = 0;
    } trace;
    auto& s = session();
    ASSERT_EQ(s.connectTarget(), kDone);
    s.trace = &trace;
    const Outcome sent = s.downloadImage(kCommandWrite, imageOf(700));
    const TransferRecord& record = s.lastTransfer();
    // Serial: the rejection ends it after two pages. USB: the resend passes and all six go.
    const std::uint32_t transmissions = usb ? 7 : 2;
    EXPECT_EQ(sent.ok(), usb);
    EXPECT_EQ(record.pagesSent, usb ? 6u : 2u);
    EXPECT_EQ(record.resends, usb ? 1u : 0u);
    EXPECT_EQ(record.firstRejection,
              (Outcome{usb ? OutcomeKind::CrcError : OutcomeKind::VerifyError, 1,
                       static_cast<std::uint8_t>(usb ? 'C' : 'O'), 0}));
    EXPECT_EQ(record.bytesOut, transmissions * s.frameLength());
    EXPECT_EQ(record.bytesIn, transmissions);
    EXPECT_EQ(record.answers, transmissions);
    EXPECT_EQ(record.pagesAccepted, usb ? 6u : 1u);
    EXPECT_EQ(record.bytesAccepted, usb ? 700u : 128u);
    EXPECT_EQ(record.paddedLength, 768u);
    EXPECT_TRUE(record.begun);
    EXPECT_GE(record.ended, record.started);
    EXPECT_EQ(trace.out, record.bytesOut);
    EXPECT_EQ(trace.in, record.bytesIn);
}

// A board's run stops at the step that failed and keeps the transfer it got to; a follow-up
// that went through leaves the session disconnected.
TEST_P(SessionTest, BoardRunEndsAtTheFailingStep) {
    const auto image = imageOf(300);
    {
        auto& s = session();
        SessionOptions chosen = s.options();
        chosen.connectSeconds = 1;
        s.configure(chosen);
        const BoardOutcome none = BoardRun(s).run(image, kCommandWrite, kCommandReset);
        EXPECT_EQ(none.step, BoardStep::Connect);
        EXPECT_FALSE(none.outcome.ok());
        EXPECT_FALSE(none.transfer.begun);
    }
    startTarget({{2, "OOO"}});
    auto& s = session();
    SessionOptions chosen = s.options();
    chosen.connectSeconds = kConnectSeconds;
    s.configure(chosen);
    const BoardOutcome rejected = BoardRun(s).run(image, kCommandWrite, kCommandReset);
    EXPECT_EQ(rejected.step, BoardStep::Download);
    EXPECT_EQ(rejected.outcome.kind, OutcomeKind::VerifyError);
    EXPECT_EQ(rejected.transfer.bytesAccepted, 256u);

    s.disconnectTarget();
    target.reset();
    startTarget();
    int connected = 0;
    const BoardOutcome written =
        BoardRun(s).run(image, kCommandWrite, kCommandReset, [&connected] { ++connected; });
    EXPECT_EQ(written.outcome, kDone);
    EXPECT_EQ(written.step, BoardStep::FollowUp);
    EXPECT_EQ(connected, 1);
    EXPECT_EQ(written.transfer.bytesAccepted, 300u);
    EXPECT_EQ(sink.statuses.back(), "Disconnected");
}

// Between boards: a wait without a deadline outlasts the countdown until the loader announces
// itself, and a stop request ends it at its next pass.
TEST_P(SessionTest, WaitWithoutDeadlineEndsByTheLoaderOrAStop) {
    startTarget({}, 300);
    DrivenClock driven(std::chrono::milliseconds(1));
    auto& s = session(&driven);
    SessionOptions chosen = s.options();
    chosen.connectSeconds = 0;
    s.configure(chosen);
    EXPECT_EQ(s.connectTarget(), kDone);
    EXPECT_GT(driven.elapsed(), std::chrono::seconds(kConnectSeconds));
    EXPECT_EQ(sink.statuses.front(), kWaitingForTargetText);
    EXPECT_TRUE(sink.messages.empty());

    // The board just connected does not announce itself again: the wait for the next one
    // goes on until the user stops it.
    std::atomic<bool> stop{false};
    s.stopRequested = &stop;
    std::thread user([&] {
        while (driven.elapsed() < std::chrono::seconds(100)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        stop = true;
    });
    const Outcome stopped = s.connectTarget();
    user.join();
    EXPECT_EQ(stopped.kind, OutcomeKind::Stopped);
    EXPECT_TRUE(sink.messages.empty());
}

// A serial line that goes away while the tool waits for an answer is lost, not silent. (Over
// USB the tool holds the answer pipe's writing end itself, so a vanished device stays silent.)
class SerialSessionTest : public SessionTest {};

TEST_P(SerialSessionTest, LineGoneUnderAReadIsLost) {
    auto& t = startTarget({{2, std::string(1, sim::kForcedNoAnswer)}});
    auto& s = session();
    ASSERT_EQ(s.connectTarget(), kDone);
    std::thread unplug([&t] {
        t.waitForFrames(3, 5000);
        t.stop();
    });
    const Outcome sent = s.downloadImage(kCommandWrite, imageOf(1000));
    unplug.join();
    EXPECT_EQ(sent.kind, OutcomeKind::LineLost);
    EXPECT_EQ(sent.frame, 2u);
    EXPECT_NE(sent.error, 0);
    EXPECT_EQ(sink.messages, std::vector<std::string>{"No Answer from device!"});
}

INSTANTIATE_TEST_SUITE_P(Transports, SessionTest,
                         ::testing::Values(Transport::Serial, Transport::Usb),
                         [](const auto& info) {
                             return info.param == Transport::Usb ? "Usb" : "Serial";
                         });
INSTANTIATE_TEST_SUITE_P(Transports, SerialSessionTest, ::testing::Values(Transport::Serial),
                         [](const auto&) { return "Serial"; });
