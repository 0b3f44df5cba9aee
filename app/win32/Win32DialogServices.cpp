// The Win32 window's services to the controller: control texts and states, the progress bar,
// message box, beep, cursor, the file chooser, and the messages it posts to itself.
#include "app/win32/Win32DialogWindow.h"

#include <commctrl.h>
#include <commdlg.h>

#include <cstring>
#include <vector>

#include "app/DownloaderDialog.h"
#include "app/win32/Win32DialogMessages.h"
#include "link/SystemPaths.h"

namespace tervan {

using namespace win32;

void Win32DialogWindow::setControlText(int id, const std::string& text) {
    ::SetDlgItemTextA(window_, id, text.c_str());
}

std::string Win32DialogWindow::controlText(int id) {
    const HWND control = ::GetDlgItem(window_, id);
    if (control == nullptr) {
        return {};
    }
    const int length = ::GetWindowTextLengthA(control);
    if (length <= 0) {
        return {};
    }
    std::vector<char> text(static_cast<std::size_t>(length) + 1);
    const int got = ::GetWindowTextA(control, text.data(), static_cast<int>(text.size()));
    return std::string(text.data(), got > 0 ? static_cast<std::size_t>(got) : 0);
}

void Win32DialogWindow::setChecked(int id, bool checked) {
    // BM_SETCHECK sends no BN_CLICKED: writing the state never starts a handler.
    ::SendDlgItemMessageA(window_, id, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool Win32DialogWindow::isChecked(int id) {
    return ::SendDlgItemMessageA(window_, id, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void Win32DialogWindow::selectListEntry(int id, int index) {
    // CB_SETCURSEL sends no CBN_SELCHANGE; -1 leaves the list without a selection.
    ::SendDlgItemMessageA(window_, id, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int Win32DialogWindow::selectedListEntry(int id) {
    const LRESULT selected = ::SendDlgItemMessageA(window_, id, CB_GETCURSEL, 0, 0);
    return selected == CB_ERR ? -1 : static_cast<int>(selected);
}

void Win32DialogWindow::enableControl(int id, bool enabled) {
    ::EnableWindow(::GetDlgItem(window_, id), enabled ? TRUE : FALSE);
}

bool Win32DialogWindow::isControlEnabled(int id) {
    const HWND control = ::GetDlgItem(window_, id);
    return control != nullptr && ::IsWindowEnabled(control) != FALSE;
}

void Win32DialogWindow::setProgressRange(std::uint16_t lower, std::uint16_t upper) {
    ::SendDlgItemMessageA(window_, kProgressBar, PBM_SETRANGE, 0, MAKELPARAM(lower, upper));
}

void Win32DialogWindow::setProgressPosition(std::int16_t position) {
    ::SendDlgItemMessageA(window_, kProgressBar, PBM_SETPOS,
                          static_cast<WPARAM>(static_cast<int>(position)), 0);
}

void Win32DialogWindow::messageBox(const std::string& text) {
    ::MessageBoxA(window_, text.c_str(), applicationName().c_str(), MB_OK);
}

void Win32DialogWindow::beep(BeepKind kind) {
    ::MessageBeep(kind == BeepKind::Exclamation ? MB_ICONEXCLAMATION : 0);
}

void Win32DialogWindow::setWaitCursor(bool on) {
    if (on) {
        const HCURSOR previous = ::SetCursor(::LoadCursorA(nullptr, IDC_WAIT));
        cursorBeforeWait_ = previous != nullptr ? previous : ::LoadCursorA(nullptr, IDC_ARROW);
    } else {
        ::SetCursor(cursorBeforeWait_ != nullptr ? cursorBeforeWait_
                                                 : ::LoadCursorA(nullptr, IDC_ARROW));
        cursorBeforeWait_ = nullptr;
    }
}

std::optional<std::string> Win32DialogWindow::chooseImageFile(const std::string& initialPath) {
    std::vector<char> chosen(kChosenPathSize, '\0');  // no initial file name
    OPENFILENAMEA dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = window_;
    dialog.lpstrFilter = kImageFilter;
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = chosen.data();
    dialog.nMaxFile = kChosenPathSize;
    // The last image's full path, as stored: the dialog starts in its folder.
    dialog.lpstrInitialDir = initialPath.empty() ? nullptr : initialPath.c_str();
    dialog.Flags = OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    if (::GetOpenFileNameA(&dialog) == FALSE) {
        return std::nullopt;  // Cancel (or the dialog failed): nothing changes
    }
    return std::string(chosen.data());
}

void Win32DialogWindow::endDialog(DialogResult result) {
    result_ = result;
    if (window_ == nullptr) {
        return;
    }
    if (modal_) {
        ::EndDialog(window_, result == DialogResult::Ok ? IDOK : IDCANCEL);
    } else {
        ::DestroyWindow(window_);
    }
}

void Win32DialogWindow::queueHeldActivation() {
    if (window_ != nullptr) {
        ::PostMessageA(window_, kHeldActivationMessage, 0, 0);
    }
}

void Win32DialogWindow::queueHeldCommands() {
    if (window_ != nullptr) {
        ::PostMessageA(window_, kHeldCommandsMessage, 0, 0);
    }
}

void Win32DialogWindow::repaint() {
    // A handler blocks the message loop: paint what it changed (the status line, the
    // progress bar, the buttons) now, and whatever else is due. The port keeps its own
    // time-outs, so the handler comes here at least once a second while it waits.
    if (window_ != nullptr) {
        ::RedrawWindow(window_, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
        keepAlive();
    }
}

void Win32DialogWindow::keepAlive() {
    // Only paint messages are taken from the queue; peeking also delivers what other threads
    // and the system send, and tells the system the window is not hung.
    MSG message;
    while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE | PM_QS_PAINT)) {
        ::DispatchMessageA(&message);
    }
}

}  // namespace tervan
