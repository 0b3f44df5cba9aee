// The Win32 window: dialog 102 from the program's resources, its events forwarded to the
// controller, the controller's window services carried out with the Win32 calls.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "app/DialogWindow.h"

namespace tervan {

class DownloaderDialog;

class Win32DialogWindow : public DialogWindow {
public:
    // `instance` holds the resources (dialog 102, its list entries, icon 128).
    Win32DialogWindow(HINSTANCE instance, DownloaderDialog& controller);
    ~Win32DialogWindow() override;
    Win32DialogWindow(const Win32DialogWindow&) = delete;
    Win32DialogWindow& operator=(const Win32DialogWindow&) = delete;

    // Runs the dialog modally, centred on the screen, until the OK or cancel command ends
    // it. Returns IDOK or IDCANCEL, or -1 when the dialog could not be created.
    INT_PTR runModal();
    // An image file (the program's argument) to take as if chosen with Open once the dialog
    // runs; set before runModal().
    void giveImageFile(std::string path) { givenImageFile_ = std::move(path); }
    // The same dialog without a modal loop of its own (for tests and the screenshot): the
    // window exists, initialised, when this returns; endDialog destroys it. nullptr on failure.
    HWND create(bool show);
    HWND handle() const { return window_; }
    // The result endDialog was given, once the dialog has ended.
    std::optional<DialogResult> result() const { return result_; }

    // The name message boxes carry: the executable's file name without its extension.
    static std::string applicationName();

    // DialogWindow
    void setControlText(int id, const std::string& text) override;
    std::string controlText(int id) override;
    void setChecked(int id, bool checked) override;
    bool isChecked(int id) override;
    void selectListEntry(int id, int index) override;
    int selectedListEntry(int id) override;
    void enableControl(int id, bool enabled) override;
    bool isControlEnabled(int id) override;
    void setProgressRange(std::uint16_t lower, std::uint16_t upper) override;
    void setProgressPosition(std::int16_t position) override;
    void messageBox(const std::string& text) override;
    void beep(BeepKind kind) override;
    void setWaitCursor(bool on) override;
    std::optional<std::string> chooseImageFile(const std::string& initialPath) override;
    void endDialog(DialogResult result) override;
    void repaint() override;
    void queueHeldActivation() override;
    void queueHeldCommands() override;
    // Paints what is due and answers what the system and other threads send, while a handler
    // blocks the dialog's message loop (a connect, a download, a settings write waiting for
    // another copy of the program); input stays queued until the handler has returned.
    bool keepsAlive() const override { return true; }
    void keepAlive() override;

    // The one file, not a folder, of a drop; nothing for several files or a folder.
    static std::optional<std::string> droppedImageFile(HDROP drop);

private:
    static INT_PTR CALLBACK dialogProcedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam);
    INT_PTR handleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void initialise();
    void fillListsFromResource();
    void command(int id, int code);
    void forwardCommand(int id, int code);
    bool paintMinimised();
    void fileDropped(HDROP drop);
    // Names and descriptions for assistive technology where the control's text does not say
    // what it is for.
    void annotateForAssistiveTechnology();

    HINSTANCE instance_;
    DownloaderDialog& controller_;
    HWND window_ = nullptr;
    HICON icon_ = nullptr;
    HCURSOR cursorBeforeWait_ = nullptr;
    bool modal_ = false;
    std::optional<DialogResult> result_;
    std::optional<std::string> givenImageFile_;
};

}  // namespace tervan
