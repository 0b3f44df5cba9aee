// One line of boards on one port, and what every line of a run shares. Each line owns a
// session and the view its session reports to; a board is one BoardRun over that session.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/ImageFormats.h"
#include "app/ImageRead.h"
#include "app/SettingsStore.h"
#include "cli/BoardView.h"
#include "cli/CliOptions.h"
#include "cli/CliRun.h"
#include "cli/JsonText.h"
#include "cli/Monitor.h"
#include "cli/PortCheck.h"
#include "cli/RunFiles.h"
#include "cli/Terminal.h"
#include "protocol/Outcome.h"
#include "protocol/SessionTexts.h"
#include "protocol/TargetSession.h"

namespace tervan::cli {

inline constexpr const char* kProgram = "tervan-cli";

// What every board of the run shares.
struct Shared {
    Shared(const CliOptions& options_, std::FILE* out_, std::FILE* err_, RenderMode mode_,
           bool severalPorts_, bool perBoardResults_, std::atomic<bool>& stop_)
        : options(options_),
          out(out_),
          err(err_),
          mode(mode_),
          severalPorts(severalPorts_),
          perBoardResults(perBoardResults_),
          settings(defaultSettingsPath()),
          stop(stop_) {}

    const CliOptions& options;
    std::FILE* out;
    std::FILE* err;
    RenderMode mode;
    bool severalPorts;        // lines carry the port
    bool perBoardResults;     // a result event per board, then one for the run
    SettingsStore settings;   // read once per line, before the threads start
    std::atomic<bool>& stop;  // raised by Ctrl-C, SIGTERM or SIGHUP
    std::optional<ReceiptBook> receipts;
    std::unique_ptr<TraceFile> trace;
    // The image, read and checked once before any board; its SHA-256 when receipts are kept.
    std::vector<std::uint8_t> image;
    std::string sha256;
    // How the image file was read, and where its raw image lies (`placed.bytes` moved into
    // `image`); the file's own SHA-256 when receipts are kept.
    ImageRead read;
    RawImage placed;
    std::string sourceSha256;
    // --monitor: the --log copy, the exit key (watched while any port is monitored) and what
    // kept the monitor from doing what was asked.
    std::unique_ptr<MonitorLog> log;
    std::atomic<bool> exitKey{false};
    std::mutex monitorLock;
    int monitoring = 0;
    std::unique_ptr<ExitKeyWatch> keyWatch;
    std::string monitorFault;
};

// Where one line of boards is written: a serial port or a USB device.
struct BoardPort {
    std::string label;  // as given: "COM3", "/dev/ttyUSB0", the USB device's name
    std::optional<PortChoice> serial;
    std::string usbDevice;  // USB: the device's path or name; empty for the single device
};

// How one board ended.
struct BoardResult {
    int board = 1;  // its number on its port
    int exit = kExitDone;
    std::optional<Outcome> outcome;
    std::string code;  // a failure that is no outcome of the session: "receipt_failed", ...
    std::string text;  // the session's words for the failure
    std::string reason;
    std::uint32_t bytes = 0;  // accepted by the target
    double seconds = 0;       // from the first frame to the last answer
    TransferRecord sent;
    bool transferred = false;  // a download started
};

// The serial adapter or USB device behind a port, where the system knows it.
struct AdapterIds {
    std::string ids;  // "0403:6001"
    std::string serial;
};

class PortLine {
public:
    PortLine(Shared& shared, BoardPort port);

    // A follow-up that does not fit the memory: status 2, before any port is opened.
    int checkFollowUp(BoardResult& result);
    // Reads the image file and makes the raw image of it in the shared bytes, for this
    // line's memory and model; says nothing yet.
    void loadImage();
    // Reports what loadImage found wrong, and checks the image against this line's memory; a
    // bad image ends the run before the user is asked to press reset.
    int checkImage(BoardResult& result);
    // Every board of this port, on the calling thread.
    void run();
    // Whether this line's board was watched after its follow-up.
    bool monitored() const { return monitored_; }
    // Closes the port and ends the last line on the terminal.
    void close();

    BoardView& view() { return *view_; }
    const std::string& label() const { return port_.label; }
    // The port this line will open, for the checks made before any is.
    PortUse portUse() const;
    const std::vector<BoardResult>& results() const { return results_; }
    JsonObject resultEvent(const BoardResult& result) const;

private:
    BoardResult board(int number);
    // Watches the port the follow-up left open until the monitor ends.
    void monitor();
    void connected();
    // Keeps how a step ended, its words and the board's exit status.
    void failed(BoardResult& result, Sequence sequence, const Outcome& outcome);
    // Shows the status on stderr too when the ending brought no message.
    void reportStatusIfSilent(Sequence sequence, const Outcome& outcome);
    // Why the connection failed, as the system tells it.
    std::string connectReason(const Outcome& outcome) const;

    Shared& shared_;
    BoardPort port_;
    std::unique_ptr<BoardView> view_;
    std::unique_ptr<TargetSession> session_;  // over 256 KiB: not on the stack
    std::unique_ptr<SerialLink> watched_;     // the port after the follow-up, for --monitor
    bool monitored_ = false;
    std::unique_ptr<BoardTrace> trace_;
    AdapterIds adapter_;
    std::vector<BoardResult> results_;
};

// The word for how a board ended: its session's outcome, or what failed around it; empty when
// it was written.
std::string codeOf(const BoardResult& result);
// How a board ended, in a result event: the status, the transfer's figures and a failure's
// words.
void addResultFields(JsonObject& event, const BoardResult& result);
// The first event of every stream; a download run adds its ports, image and repeat.
JsonObject startEvent();
// A result event for a run that failed before any board: bad usage, no device.
JsonObject failureEvent(int exit, const std::string& code, const std::string& reason);
// "2026-12-07T16:51:43Z".
std::string utcTimeText();

// 0 when the board's receipt is in the file whole (or none is asked for), otherwise the error
// code.
int writeReceipt(const Shared& shared, const TargetSession& session, const std::string& port,
                 const AdapterIds& adapter, const BoardResult& result);
// Says that the receipt could not be written, and fails the board that was otherwise done.
void receiptFailed(const Shared& shared, BoardView& view, BoardResult& result, int error);

}  // namespace tervan::cli
