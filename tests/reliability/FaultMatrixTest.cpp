// The fault matrix: each way the target can misbehave, at each phase of a session, over the
// serial line and over USB. Every case checks what the user is told (message box and status
// line), the buttons, that no frame follows a failure, and that the tool gives up within the
// time its read time-outs allow.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <numeric>
#include <thread>

#include "e2e/ToolFixture.h"

using namespace tervan;
using namespace tervan::testing;
using Transport = tervan::sim::SimConfig::Transport;
using WallClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

constexpr int kModel = 1;                // 128-byte pages keep the frames short
constexpr std::size_t kImageSize = 600;  // five pages, the last one partly filled
constexpr int kPages = 5;
constexpr int kMiddle = 2;
constexpr int kLast = kPages - 1;
// Progress after the last page: the position counts whole pages.
constexpr int kFullPosition = static_cast<int>(kImageSize / 128);

// One read time-out of the links (serial: 1000 ms + 1 ms a byte; USB: 1000 ms).
constexpr auto kReadTimeout = milliseconds(1000);
// Room for a loaded machine (2 cores, sanitizers, two tests at once, Valgrind).
constexpr auto kSlack = milliseconds(3000);

const std::string kTimeoutText = "Timeout. No Answer from device!";
const std::string kFlashError = "Error while flashing";
const std::string kNoAnswer = "No Answer from device!";
const std::string kSendError = "Error while sending data!";

enum class Fault {
    ForcedAnswers,         // `answers` for frame `frame`, one per transmission
    Noise,                 // `noise` stray bytes before the 'X'
    SilentBeforeReady,     // the loader never sends its 'X'
    SilentFrom,            // no answer from frame `frame` on
    DropWhileConnecting,   // the line goes while the tool waits for the 'X'
    DropAfterReady,        // the line goes right after the 'X'
    DropAfter,             // the line goes after the answer to frame `frame`
    VanishBeforeDownload,  // the device goes between connect and download
};

struct FaultCase {
    std::string name;
    Transport transport = Transport::Serial;
    Fault fault = Fault::ForcedAnswers;
    int frame = 0;
    std::string answers;
    int noise = 0;

    // Connect: "Connected", the time-out text, or either when the fault races the handshake.
    bool mayConnect = true;
    bool mayTimeOut = false;
    // Download: the acceptable texts of its one message box (none when empty), its status.
    std::vector<std::string> boxes;
    std::string status = "Write successfull!";
    int frames = kPages;           // frames the target takes in, repeats included
    int accepted = kFullPosition;  // progress position at the end
    // Reset after a download that went through: false when the line is gone by then.
    bool resetWorks = true;
    // Read time-outs the tool may sit through over the whole case.
    int minTimeouts = 0;
    int maxTimeouts = 0;
};

void PrintTo(const FaultCase& c, std::ostream* out) {
    *out << c.name;
}

std::vector<FaultCase> allCases() {
    std::vector<FaultCase> cases;
    const std::pair<const char*, int> where[] = {
        {"First", 0}, {"Middle", kMiddle}, {"Last", kLast}};
    for (const Transport transport : {Transport::Serial, Transport::Usb}) {
        const bool usb = transport == Transport::Usb;
        const std::string via = usb ? "Usb" : "Serial";
        const auto make = [&](const std::string& name, Fault fault) {
            FaultCase c;
            c.name = via + name;
            c.transport = transport;
            c.fault = fault;
            return c;
        };

        // Rejections. Over USB a frame is sent three times and the message names the last
        // answer, so the three answers differ.
        struct Rejection {
            const char* name;
            const char* serial;
            const char* usb;
            const char* text;
        };
        for (const Rejection& r : {Rejection{"Crc", "C", "QOC", "CRC error!"},
                                   Rejection{"Verify", "O", "CQO", "Verify error!"},
                                   Rejection{"Unknown", "Q", "OCQ", "Unknown Answer!"}}) {
            for (const auto& [place, frame] : where) {
                FaultCase c = make(std::string(r.name) + "At" + place, Fault::ForcedAnswers);
                c.frame = frame;
                c.answers = usb ? r.usb : r.serial;
                c.boxes = {r.text};
                c.status = kFlashError;
                c.frames = frame + (usb ? 3 : 1);
                c.accepted = frame;
                cases.push_back(c);
            }
        }
        if (usb) {
            // Two rejections and then an 'X' is no failure.
            FaultCase c = make("RecoversAfterTwoRejectionsAtLast", Fault::ForcedAnswers);
            c.frame = kLast;
            c.answers = "COX";
            c.frames = kPages + 2;
            cases.push_back(c);
        }

        // Noise before the 'X': serial tolerates 500 stray bytes; USB reads one byte a pass.
        const int fine = usb ? 4 : 500;
        {
            FaultCase c = make("NoiseAtTheLimitStillConnects", Fault::Noise);
            c.noise = fine;
            cases.push_back(c);
        }
        for (const auto& [name, count] :
             {std::pair<const char*, int>{"NoiseOverTheLimitTimesOut", fine + 1},
              {"NoiseStormTimesOut", usb ? 400 : 4000}}) {
            FaultCase c = make(name, Fault::Noise);
            c.noise = count;
            c.mayConnect = false;
            c.mayTimeOut = true;
            c.frames = 0;
            cases.push_back(c);
        }

        // Silence.
        {
            FaultCase c = make("SilentBeforeReady", Fault::SilentBeforeReady);
            c.mayConnect = false;
            c.mayTimeOut = true;
            c.frames = 0;
            c.minTimeouts = c.maxTimeouts = 5;
            cases.push_back(c);
        }
        for (const auto& [name, frame] : {std::pair<const char*, int>{"SilentAfterHandshake", 0},
                                          {"SilentFromMiddle", kMiddle},
                                          {"SilentAtLast", kLast}}) {
            FaultCase c = make(name, Fault::SilentFrom);
            c.frame = frame;
            c.boxes = {kNoAnswer};
            c.status = kFlashError;
            c.frames = frame + 1;
            c.accepted = frame;
            c.minTimeouts = c.maxTimeouts = 1;
            cases.push_back(c);
        }

        // The line dropped.
        {
            FaultCase c = make("DropWhileConnecting", Fault::DropWhileConnecting);
            c.mayConnect = false;
            c.mayTimeOut = true;
            c.frames = 0;
            c.maxTimeouts = 1;  // USB: the read under way waits out its time-out
            cases.push_back(c);
        }
        {
            // The drop races the handshake: connected or not, nothing may pass as written.
            FaultCase c = make("DropAfterReady", Fault::DropAfterReady);
            c.mayTimeOut = true;
            c.boxes = {kSendError, kNoAnswer};
            c.status = kFlashError;
            c.frames = 0;
            c.accepted = 0;
            c.maxTimeouts = 2;
            cases.push_back(c);
        }
        for (const auto& [place, frame] : where) {
            FaultCase c = make(std::string("DropAfter") + place, Fault::DropAfter);
            c.frame = frame;
            c.maxTimeouts = 1;
            if (frame == kLast) {
                // Every page was answered: the download stands. Over the serial line the
                // Reset frame is written before the hang-up; over USB the write finds the
                // device gone.
                c.resetWorks = !usb;
            } else {
                // Serial: the next frame goes out, then the line hangs up under the read.
                // USB: the device is unplugged as its answer is read; the next write fails, or
                // goes out just before and waits in vain.
                c.boxes = usb ? std::vector<std::string>{kSendError, kNoAnswer}
                              : std::vector<std::string>{kNoAnswer};
                c.status = kFlashError;
                c.frames = frame + 1;
                c.accepted = frame + 1;
                if (!usb) {
                    c.maxTimeouts = 0;
                }
            }
            cases.push_back(c);
        }
        {
            FaultCase c = make("VanishBeforeDownload", Fault::VanishBeforeDownload);
            c.boxes = {kSendError};
            c.status = kFlashError;
            c.frames = 0;
            c.accepted = 0;
            cases.push_back(c);
        }
    }
    return cases;
}

class FaultMatrix : public ToolFixture, public ::testing::WithParamInterface<FaultCase> {
protected:
    // Runs one handler of the tool and adds its time to the case's total.
    void timed(int control) {
        const auto started = WallClock::now();
        dialog->controlClicked(control);
        spent += WallClock::now() - started;
    }

    // A thread that takes the line away once `ready` holds (or after `delay`).
    void dropWhen(sim::TargetSimulator& target, std::function<bool(const sim::SimCounters&)> ready,
                  milliseconds delay) {
        dropper = std::thread([&target, ready, delay] {
            if (ready) {
                target.waitUntil(ready, 10000);
            }
            std::this_thread::sleep_for(delay);
            target.stop();
        });
    }

    void TearDown() override {
        if (dropper.joinable()) {
            dropper.join();
        }
    }

    WallClock::duration spent{};
    std::thread dropper;
};

TEST_P(FaultMatrix, ReportsTheFaultAndStops) {
    const FaultCase& c = GetParam();
    const bool usb = c.transport == Transport::Usb;

    auto config = targetConfig(c.transport, kModel);
    config.readyDelayMs = 20;
    switch (c.fault) {
        case Fault::ForcedAnswers:
            config.forcedAnswers[c.frame] = c.answers;
            break;
        case Fault::Noise:
            config.noiseBytes = c.noise;
            break;
        case Fault::SilentBeforeReady:
        case Fault::DropWhileConnecting:
            config.neverReady = true;
            break;
        case Fault::SilentFrom:
            config.silentAfterFrame = c.frame - 1;
            config.forcedAnswers[c.frame] = std::string(1, sim::kForcedNoAnswer);
            break;
        case Fault::DropAfter:
            config.dropAfterFrame = c.frame;
            break;
        case Fault::DropAfterReady:
        case Fault::VanishBeforeDownload:
            break;
    }
    auto& target = startTarget(config);
    if (c.fault == Fault::SilentBeforeReady) {
        // Nothing ever comes from the target: its time-outs pass on a driven clock.
        drivenTime.emplace();
    }
    auto& d = startTool(usb ? 0 : 1, kModel, 0);
    const auto image = makeImage("fw.bin", kImageSize);
    d.imagePath = dir.file("fw.bin");

    if (c.fault == Fault::DropWhileConnecting) {
        // Serial: once the tool has the port open. USB: while its first read waits.
        dropWhen(target,
                 usb ? nullptr
                     : std::function<bool(const sim::SimCounters&)>(
                           [](const sim::SimCounters& k) { return k.portOpens >= 1; }),
                 milliseconds(usb ? 300 : 100));
    } else if (c.fault == Fault::DropAfterReady) {
        // Serial: the 'X' that follows the tool's open; one the loader sent on its own before
        // it would drop a line the tool has not opened yet.
        dropWhen(
            target,
            [usb](const sim::SimCounters& k) {
                return usb ? k.readySent >= 1
                           : k.lastOpenAt && k.lastReadyAt && *k.lastReadyAt >= *k.lastOpenAt;
            },
            milliseconds(0));
    }

    // Connect.
    window.boxes.clear();
    timed(kConnectButton);
    if (dropper.joinable()) {
        dropper.join();
    }
    const std::string connectStatus = window.texts[kStatusLine];
    const bool connected = connectStatus == "Connected";
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_EQ(window.waitDepth, 0);
    if (connected) {
        EXPECT_TRUE(c.mayConnect) << "connected in spite of the fault";
        EXPECT_EQ(window.buttonRow(), "011100");
    } else {
        EXPECT_TRUE(c.mayTimeOut) << connectStatus;
        EXPECT_EQ(connectStatus, kTimeoutText);
        EXPECT_EQ(window.beeps, std::vector<BeepKind>{BeepKind::Exclamation});
        EXPECT_EQ(window.buttonRow(), "100000");
        EXPECT_EQ(d.session().serialLink.isOpen(), 0);
        EXPECT_EQ(d.session().usbDevice.present, 0);
    }

    if (connected) {
        if (c.fault == Fault::VanishBeforeDownload) {
            target.stop();
        }
        // Download.
        window.positions.clear();
        window.beeps.clear();
        timed(kDownloadButton);
        const bool failed = !c.boxes.empty();
        if (failed) {
            ASSERT_EQ(window.boxes.size(), 1u);
            EXPECT_NE(std::find(c.boxes.begin(), c.boxes.end(), window.boxes[0]), c.boxes.end())
                << window.boxes[0];
            EXPECT_TRUE(window.beeps.empty());
        } else {
            EXPECT_TRUE(window.boxes.empty()) << window.boxes[0];
            EXPECT_EQ(window.beeps, std::vector<BeepKind>{BeepKind::Default});
            const auto flash = target.flash();
            EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
        }
        EXPECT_EQ(window.texts[kStatusLine], c.status);
        EXPECT_EQ(window.position, c.accepted);
        // A download, good or bad, keeps the connection.
        EXPECT_EQ(window.buttonRow(), "011100");
        EXPECT_EQ(window.waitDepth, 0);

        // Nothing follows a failure: give a stray frame time to arrive, then count.
        std::this_thread::sleep_for(milliseconds(150));
        EXPECT_EQ(target.frames().size(), static_cast<std::size_t>(c.frames));
        for (const auto& f : target.frames()) {
            EXPECT_EQ(f.command, kCommandWrite);
            EXPECT_TRUE(f.crcOk);
        }

        if (!failed) {
            window.boxes.clear();
            timed(kResetButton);
            if (c.resetWorks) {
                EXPECT_TRUE(window.boxes.empty());
                EXPECT_EQ(window.texts[kStatusLine], "Disconnected");
                EXPECT_EQ(window.buttonRow(), "100000");
            } else {
                EXPECT_EQ(window.boxes, std::vector<std::string>{kSendError});
                EXPECT_EQ(window.texts[kStatusLine], "Write successfull!");
                EXPECT_EQ(window.buttonRow(), "011100");
            }
        }
    } else {
        EXPECT_EQ(target.frames().size(), 0u);
    }

    // The whole case within the read time-outs it may meet, and not quicker than those it
    // must wait out.
    auto took = std::chrono::duration_cast<milliseconds>(spent);
    if (drivenTime) {
        // The driven time the read time-outs took; the pauses between USB passes are not
        // counted, as they are not on the real clock.
        const auto pauses = drivenTime->log.pauses();
        took +=
            drivenTime->elapsed() - milliseconds(std::accumulate(pauses.begin(), pauses.end(), 0));
    }
    RecordProperty("return_ms", static_cast<int>(took.count()));
    std::printf("[ timing   ] %s: %lld ms in the tool's handlers\n", c.name.c_str(),
                static_cast<long long>(took.count()));
    EXPECT_LE(took, c.maxTimeouts * kReadTimeout + kSlack);
    EXPECT_GE(took, c.minTimeouts * (kReadTimeout - milliseconds(50)));
}

INSTANTIATE_TEST_SUITE_P(Reliability, FaultMatrix, ::testing::ValuesIn(allCases()),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                             return info.param.name;
                         });

}  // namespace
