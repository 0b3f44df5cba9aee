// The window boundary: everything the controller needs from the screen. The Qt window, the
// command line and the tests' recording window each implement it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "protocol/SessionSink.h"

namespace tervan {

// Control ids of the dialog.
enum ControlId : int {
    kCloseButton = 1,  // the OK command
    kPathField = 1000,
    kOpenButton = 1001,
    kDownloadButton = 1002,
    kResetButton = 1003,
    kDownToRamButton = 1004,
    kRunRamButton = 1005,
    kSizeLabel = 1008,
    kProgressBar = 1013,
    kStatusLine = 1014,
    kConnectButton = 1015,
    kDisconnectButton = 1016,
    kUsbRadio = 1018,
    kSerialRadio = 1019,
    kModel256Radio = 1020,
    kModel64Radio = 1021,
    kComList = 1025,
    kRomRadio = 1026,
    kRamRadio = 1027,
};

enum class DialogResult { Ok = 1, Cancel = 2 };

class DialogWindow {
public:
    virtual ~DialogWindow() = default;

    // Text of the path field, the size label or the status line.
    virtual void setControlText(int id, const std::string& text) = 0;
    virtual std::string controlText(int id) = 0;
    // Radio buttons. Writing a state never raises a handler.
    virtual void setChecked(int id, bool checked) = 0;
    virtual bool isChecked(int id) = 0;
    // The COM list (its entries "COM1" … "COM10" come from the window's resources).
    // -1 selects nothing / means nothing is selected.
    virtual void selectListEntry(int id, int index) = 0;
    virtual int selectedListEntry(int id) = 0;
    virtual void enableControl(int id, bool enabled) = 0;
    virtual bool isControlEnabled(int id) = 0;
    virtual void setProgressRange(std::uint16_t lower, std::uint16_t upper) = 0;
    virtual void setProgressPosition(std::int16_t position) = 0;
    // A box with one OK button, no icon and the program's name as caption; returns when the
    // user has closed it.
    virtual void messageBox(const std::string& text) = 0;
    virtual void beep(BeepKind kind) = 0;
    virtual void setWaitCursor(bool on) = 0;
    // The file-open chooser for ".bin" images, starting at `initialPath` (a file path or
    // empty). The chosen file's full path, or nothing on Cancel.
    virtual std::optional<std::string> chooseImageFile(const std::string& initialPath) = 0;
    virtual void endDialog(DialogResult result) = 0;
    // Paints the status line and the progress bar now, while a handler blocks the window.
    virtual void repaint() = 0;
    // An activation was held while a handler ran (see HandlerGate). Once the running event has
    // returned, the window's own event loop calls the controller's handlers.deliverHeld() with
    // whether the window is still the active one. A window that is never activated (the
    // command line) holds none.
    virtual void queueHeldActivation() {}
    // Commands were held while a handler ran (see HandlerGate::command). Once the running event
    // has returned, the window's own event loop calls the controller's
    // handlers.deliverHeldCommands(). A window whose controls are reached only by its own
    // handlers (the command line) holds none.
    virtual void queueHeldCommands() {}
    // Whether the window stays alive while a handler waits on the target (a connect, a
    // download). Such a window's keepAlive() is called at least every KeepAliveClock::kSlice
    // of those waits: it paints and answers the desktop, and leaves the user's input for after
    // the handler. Others (the command line, the tests' recording window) have waits left whole.
    virtual bool keepsAlive() const { return false; }
    virtual void keepAlive() {}
};

}  // namespace tervan
