// The controller behind the main window: owns all run-time state and runs every handler. It
// reaches the screen only through DialogWindow.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "app/DialogWindow.h"
#include "app/HandlerGate.h"
#include "app/ImageFile.h"
#include "app/ImageRead.h"
#include "app/KeepAliveClock.h"
#include "app/SettingsStore.h"
#include "protocol/TargetSession.h"

namespace tervan {

inline constexpr int kComPortCount = 10;

class DownloaderDialog : private SessionSink {
public:
    // Reads the five settings; the window comes later with setWindow(). Every time-out and
    // pause of the session goes through `clock`.
    explicit DownloaderDialog(SettingsStore& settings, Clock& clock = realClock());
    virtual ~DownloaderDialog();

    void setWindow(DialogWindow* window);
    // The windows run every event through it, so that no handler starts inside another.
    HandlerGate handlers{*this};

    // The connection and the state it keeps (statusText, interfaceKind, targetModel,
    // targetMemory, frameLength, imageBuffer, serialLink, usbLink, ...).
    TargetSession& session() { return session_; }
    const TargetSession& session() const { return session_; }

    // Events from the window.
    void initWindow();            // once, when the controls exist
    void controlClicked(int id);  // buttons and radio buttons (user clicks only)
    void comSelectionChanged();   // the user picked an entry of the COM list
    void okCommand();             // Close, or Enter
    void cancelCommand();         // Escape, the title bar's close button
    void handleActivation(int state, bool minimized);  // 1 not by mouse, 2 by mouse click
    void windowDestroyed();

    // The exchange between state and controls. While either runs, events from the controls
    // are ignored.
    void refreshControls();
    void readControls();

    // Handlers.
    void applyTargetButtons();
    void interfaceChanged();
    void modelChanged();
    void comPortChanged();
    void targetChanged();
    void chooseImageFile();
    // An image file handed over otherwise than by the chooser (dropped on the window, named
    // on the command line): taken as if chosen with Open.
    void imageFileGiven(const std::string& path);
    // Reads (readData true) or checks the image file named by imagePath. A file that a
    // process still holds open for writing is waited for up to kImageWriterWait, then refused.
    Outcome loadImage(bool readData);
    // The process that held the image open for writing when loadImage last refused it.
    const std::optional<os::ImageWriter>& imageWriter() const { return imageWriter_; }
    // Download and Down to RAM: reads the image file, then sends it.
    Outcome downloadImage(std::uint8_t command);
    // Reset and Run RAM: the command, then the disconnected state once it went through.
    Outcome sendCommand(std::uint8_t command);
    // comPortPath = "\\.\COM%d" with comIndex + 1.
    void formatComPortPath();
    // Tells the user when a setting could not be stored (see SettingsStore::lastFailure).
    void settingStored(bool stored);

    std::string imagePath;
    std::string sizeText;
    std::int32_t comIndex = 0;

private:
    void chooseRadio(int first, int second, int clicked);

    // SessionSink: the session's reports go to the window.
    void status(const std::string&) override { refreshControls(); }
    void progressRange(std::uint16_t upper) override;
    void progress(std::int16_t position) override;
    void message(const std::string& text) override;
    void beep(BeepKind kind) override;
    void enableButton(SessionButton button, bool enabled) override;
    void waitCursor(bool on) override;

    // The image file last rejected as too large, so that re-checks on activation report it
    // once rather than after every message box.
    struct FileStamp {
        std::string path;
        std::uint64_t size = 0;
        std::int64_t modified = 0;
        bool operator==(const FileStamp&) const = default;
    };
    std::optional<FileStamp> reportedOversize_;
    // Likewise the writer last reported for a file: its path and process.
    std::optional<std::pair<std::string, std::int64_t>> reportedWriter_;
    std::optional<os::ImageWriter> imageWriter_;
    bool activationCheck_ = false;
    bool settingsFailureShown_ = false;

    KeepAliveClock clock_;  // the session's clock: the one given, kept alive for the window
    TargetSession session_;
    SettingsStore& settings_;
    DialogWindow* window_ = nullptr;
    bool exchanging_ = false;
};

}  // namespace tervan
