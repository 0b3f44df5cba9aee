// The Win32 window: dialog 102 as the control table in resources/dialog.json describes it
// (the same table the Linux window is built from), and the events it forwards to the
// controller. Needs a display: scripts/windows-test.sh runs it under Xvfb.
#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "DialogTable.h"
#include "app/DownloaderDialog.h"
#include "app/win32/Win32DialogWindow.h"
#include "support/DrivenClock.h"
#include "support/TempDir.h"

using namespace tervan;
using namespace tervan::testing;

namespace {

// The real window with the two calls that wait for a person answered from the test.
class TestWindow : public Win32DialogWindow {
public:
    using Win32DialogWindow::Win32DialogWindow;
    void messageBox(const std::string& text) override {
        boxes.push_back(text);
        if (whileBoxShown) {
            whileBoxShown();
        }
    }
    std::optional<std::string> chooseImageFile(const std::string&) override { return choice; }
    std::vector<std::string> boxes;
    std::optional<std::string> choice;
    std::function<void()> whileBoxShown;  // what happens while a real box would be open
};

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string windowText(HWND window) {
    char text[256] = {};
    ::GetWindowTextA(window, text, sizeof text);
    return text;
}

bool hasFlag(const DialogControl& control, const std::string& flag) {
    return ("," + std::string(control.flags) + ",").find("," + flag + ",") != std::string::npos;
}

void pump() {
    MSG message;
    while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&message);
        ::DispatchMessageA(&message);
    }
}

class Win32Window : public ::testing::Test {
protected:
    void SetUp() override { ::InitCommonControls(); }
    void open() {
        dialog = std::make_unique<DownloaderDialog>(settings, clock);
        window = std::make_unique<TestWindow>(::GetModuleHandleA(nullptr), *dialog);
        dialog->setWindow(window.get());
        hwnd = window->create(false);
        ASSERT_NE(hwnd, nullptr);
    }
    HWND item(int id) const { return ::GetDlgItem(hwnd, id); }
    void click(int id) { ::SendMessageA(item(id), BM_CLICK, 0, 0); }
    // The user picks COM8, which this machine does not have: a handler that shows a box.
    void pickMissingCom8() {
        ::SendMessageA(item(kComList), CB_SETCURSEL, 7, 0);
        ::SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(kComList, CBN_SELCHANGE),
                       reinterpret_cast<LPARAM>(item(kComList)));
    }
    bool checked(int id) const { return ::IsDlgButtonChecked(hwnd, id) == BST_CHECKED; }

    TempDir dir;
    SettingsStore settings{dir.file("tervan.ini")};
    tervan::testing::SkippedPausesClock clock;
    std::unique_ptr<DownloaderDialog> dialog;
    std::unique_ptr<TestWindow> window;
    HWND hwnd = nullptr;
};

TEST_F(Win32Window, TheDialogIsBuiltAsTheControlTableSays) {
    open();
    EXPECT_EQ(windowText(hwnd), kDialogCaption);
    RECT size{0, 0, kDialogWidth, kDialogHeight};
    ::MapDialogRect(hwnd, &size);
    RECT client{};
    ::GetClientRect(hwnd, &client);
    EXPECT_EQ(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);
    const LONG style = ::GetWindowLongA(hwnd, GWL_STYLE);
    EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME),
              WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX);
    EXPECT_NE(::GetWindowLongA(hwnd, GWL_EXSTYLE) & WS_EX_APPWINDOW, 0);

    // Children run in creation order, which is the tab order.
    std::vector<HWND> children;
    for (HWND child = ::GetWindow(hwnd, GW_CHILD); child != nullptr;
         child = ::GetWindow(child, GW_HWNDNEXT)) {
        children.push_back(child);
    }
    ASSERT_EQ(children.size(), std::size(kDialogControls));
    for (std::size_t i = 0; i < children.size(); ++i) {
        const DialogControl& expected = kDialogControls[i];
        const HWND child = children[i];
        const std::string kind = expected.kind;
        SCOPED_TRACE("control " + std::to_string(i) + " (" + kind + " " + expected.text + ")");
        const int id = ::GetDlgCtrlID(child);
        if (expected.id >= 0) {
            EXPECT_EQ(id, expected.id);
        } else {
            EXPECT_TRUE(id == -1 || id == 0xFFFF) << id;  // no id of its own
        }
        char className[64] = {};
        ::GetClassNameA(child, className, sizeof className);
        const std::string expectedClass = kind == "edit"       ? "edit"
                                          : kind == "droplist" ? "combobox"
                                          : kind == "static"   ? "static"
                                          : kind == "progress" ? "msctls_progress32"
                                                               : "button";
        EXPECT_EQ(lower(className), expectedClass);

        const LONG childStyle = ::GetWindowLongA(child, GWL_STYLE);
        const LONG childExStyle = ::GetWindowLongA(child, GWL_EXSTYLE);
        if (expectedClass == "button") {
            const LONG type = childStyle & BS_TYPEMASK;
            EXPECT_EQ(type, kind == "defpushbutton" ? BS_DEFPUSHBUTTON
                            : kind == "pushbutton"  ? BS_PUSHBUTTON
                            : kind == "radio"       ? BS_AUTORADIOBUTTON
                                                    : BS_GROUPBOX);
            if (kind == "groupbox") {
                EXPECT_EQ((childStyle & BS_CENTER) == BS_CENTER, hasFlag(expected, "centre"));
            }
        }
        if (kind == "droplist") {
            EXPECT_EQ(childStyle & 3, CBS_DROPDOWNLIST);
            EXPECT_EQ(childStyle & CBS_SORT, 0);
            std::vector<std::string> entries;
            const auto count = ::SendMessageA(child, CB_GETCOUNT, 0, 0);
            for (LRESULT e = 0; e < count; ++e) {
                char entry[32] = {};
                ::SendMessageA(child, CB_GETLBTEXT, e, reinterpret_cast<LPARAM>(entry));
                entries.push_back(entry);
            }
            EXPECT_EQ(entries, std::vector<std::string>(std::begin(kComListEntries),
                                                        std::end(kComListEntries)));
        } else if (expected.id != kPathField && expected.id != kSizeLabel &&
                   expected.id != kStatusLine) {
            EXPECT_EQ(windowText(child), expected.text);  // the others show the state
        }
        if (kind == "static") {
            EXPECT_EQ((childStyle & SS_TYPEMASK) == SS_CENTER, hasFlag(expected, "centre"));
            EXPECT_EQ((childStyle & SS_CENTERIMAGE) != 0, hasFlag(expected, "vcentre"));
        }
        if (kind == "radio") {
            // The template gives no radio button a tab stop; Windows then gives one to the
            // checked button of each group.
            EXPECT_FALSE(hasFlag(expected, "tabstop"));
            EXPECT_EQ((childStyle & WS_TABSTOP) != 0,
                      ::SendMessageA(child, BM_GETCHECK, 0, 0) == BST_CHECKED);
        } else {
            EXPECT_EQ((childStyle & WS_TABSTOP) != 0, hasFlag(expected, "tabstop"));
        }
        EXPECT_EQ((childStyle & WS_GROUP) != 0, hasFlag(expected, "group"));
        // The six connection and action buttons follow the connection state from the start.
        const bool sessionButton = expected.id >= kDownloadButton && expected.id <= kRunRamButton;
        if (!sessionButton && expected.id != kConnectButton && expected.id != kDisconnectButton) {
            EXPECT_EQ((childStyle & WS_DISABLED) != 0, hasFlag(expected, "disabled"));
        }
        // The progress bar draws its own frame and keeps none of these styles (under Wine).
        if (kind != "progress") {
            const LONG edges = WS_EX_CLIENTEDGE | WS_EX_STATICEDGE;
            EXPECT_EQ((childStyle & WS_BORDER) != 0 || (childExStyle & edges) != 0,
                      hasFlag(expected, "border"));
        }
        if (hasFlag(expected, "hscroll")) {
            EXPECT_NE(childStyle & ES_AUTOHSCROLL, 0);
        }
        if (hasFlag(expected, "smooth")) {
            EXPECT_NE(childStyle & PBS_SMOOTH, 0);
        }

        // Position and size are converted each on its own, as the dialog manager does.
        RECT position{expected.x, expected.y, 0, 0};
        RECT extent{0, 0, expected.width, expected.height};
        ::MapDialogRect(hwnd, &position);
        ::MapDialogRect(hwnd, &extent);
        RECT actual{};
        ::GetWindowRect(child, &actual);
        ::MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&actual), 2);
        EXPECT_EQ(actual.left, position.left);
        EXPECT_EQ(actual.top, position.top);
        EXPECT_EQ(actual.right - actual.left, extent.right);
        if (kind != "droplist") {  // its height in the table includes the opened list
            EXPECT_EQ(actual.bottom - actual.top, extent.bottom);
        }
    }
}

TEST_F(Win32Window, FirstStartShowsTheDisconnectedWindowWithItsIcon) {
    open();
    EXPECT_TRUE(checked(kSerialRadio));
    EXPECT_FALSE(checked(kUsbRadio));
    EXPECT_TRUE(checked(kModel256Radio));
    EXPECT_TRUE(checked(kRomRadio));
    EXPECT_EQ(::SendMessageA(item(kComList), CB_GETCURSEL, 0, 0), 0);
    EXPECT_EQ(windowText(item(kStatusLine)), "Disconnected");
    EXPECT_EQ(windowText(item(kPathField)), "");
    EXPECT_EQ(::SendMessageA(item(kProgressBar), PBM_GETPOS, 0, 0), 0);
    std::string row;
    for (const int id : {kConnectButton, kDisconnectButton, kDownloadButton, kResetButton,
                         kDownToRamButton, kRunRamButton, kUsbRadio, kComList}) {
        row += ::IsWindowEnabled(item(id)) ? '1' : '0';
    }
    EXPECT_EQ(row, "10000001");

    const auto icon = reinterpret_cast<HICON>(::LoadImageA(
        ::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(128), IMAGE_ICON, 0, 0, LR_SHARED));
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(::SendMessageA(hwnd, WM_GETICON, ICON_BIG, 0), reinterpret_cast<LRESULT>(icon));
    EXPECT_EQ(::SendMessageA(hwnd, WM_GETICON, ICON_SMALL, 0), reinterpret_cast<LRESULT>(icon));
    EXPECT_EQ(::SendMessageA(hwnd, WM_QUERYDRAGICON, 0, 0), reinterpret_cast<LRESULT>(icon));
    EXPECT_EQ(Win32DialogWindow::applicationName(), "win32_window_tests");
}

TEST_F(Win32Window, UserChoicesReachTheHandlersButStateWrittenIntoControlsDoesNot) {
    open();
    click(kModel64Radio);
    EXPECT_TRUE(checked(kModel64Radio));
    EXPECT_EQ(settings.readSettingInt("setup", "model", -1), 1);
    EXPECT_EQ(dialog->session().frameLength(), 133u);

    // The controller writes a state: the controls follow, no handler runs, nothing is stored.
    SessionOptions chosen = dialog->session().options();
    chosen.targetModel = 0;
    chosen.targetMemory = 1;
    dialog->session().configure(chosen);
    dialog->comIndex = 4;
    dialog->refreshControls();
    EXPECT_TRUE(checked(kModel256Radio));
    EXPECT_TRUE(checked(kRamRadio));
    EXPECT_EQ(settings.readSettingInt("setup", "model", -1), 1);
    EXPECT_EQ(settings.readSettingInt("setup", "target", -1), -1);
    EXPECT_EQ(settings.readSettingInt("setup", "com", -1), -1);

    // The user picks COM8, which this machine does not have.
    ::SendMessageA(item(kComList), CB_SETCURSEL, 7, 0);
    ::SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(kComList, CBN_SELCHANGE),
                   reinterpret_cast<LPARAM>(item(kComList)));
    EXPECT_EQ(window->boxes, std::vector<std::string>{"This COM-Port is not available!"});
    EXPECT_EQ(settings.readSettingInt("setup", "com", -1), -1);

    click(kRomRadio);
    EXPECT_EQ(settings.readSettingInt("setup", "target", -1), 0);
    EXPECT_FALSE(::IsWindowEnabled(item(kDownToRamButton)));
}

TEST_F(Win32Window, CloseReadsTheControlsAndCancelDoesNot) {
    open();
    ::SetWindowTextA(item(kPathField), "C:\\typed\\app.bin");
    dialog->session().usbDevice.present = 1;  // as if a USB device were attached
    click(kCloseButton);
    EXPECT_EQ(window->result(), DialogResult::Ok);
    EXPECT_EQ(dialog->imagePath, "C:\\typed\\app.bin");
    EXPECT_FALSE(::IsWindow(hwnd));
    EXPECT_EQ(dialog->session().usbDevice.present, 0);  // the destroyed window let go of the device

    open();
    ::SetWindowTextA(item(kPathField), "C:\\other.bin");
    // The title bar's close button: WM_CLOSE becomes the cancel command.
    ::SendMessageA(hwnd, WM_CLOSE, 0, 0);
    pump();
    EXPECT_EQ(window->result(), DialogResult::Cancel);
    EXPECT_EQ(dialog->imagePath, "");
    EXPECT_FALSE(::IsWindow(hwnd));
}

TEST_F(Win32Window, ActivationOtherThanByAClickChecksTheImageAgain) {
    const std::string image = dir.file("app.bin");
    writeFile(image, std::string(100, 'a'));
    settings.writeSettingText("setup", "file", image);
    open();
    EXPECT_EQ(windowText(item(kSizeLabel)), "100 Bytes");
    // Shown, the window becomes the active one; activation messages sent to it from now on
    // bring no real activation of their own.
    ::ShowWindow(hwnd, SW_SHOW);
    ::SetForegroundWindow(hwnd);
    pump();
    ASSERT_EQ(::GetActiveWindow(), hwnd);
    writeFile(image, std::string(200, 'a'));

    ::SendMessageA(hwnd, WM_ACTIVATE, MAKEWPARAM(WA_CLICKACTIVE, 0), 0);
    pump();
    EXPECT_EQ(windowText(item(kSizeLabel)), "100 Bytes");
    ::SendMessageA(hwnd, WM_ACTIVATE, MAKEWPARAM(WA_ACTIVE, 1), 0);  // minimised
    pump();
    EXPECT_EQ(windowText(item(kSizeLabel)), "100 Bytes");
    ::SendMessageA(hwnd, WM_ACTIVATE, MAKEWPARAM(WA_ACTIVE, 0), 0);
    pump();
    EXPECT_EQ(windowText(item(kSizeLabel)), "200 Bytes");

    // A handler's message box closes and the window is active again: the box's message loop
    // does not run the re-check inside the handler; it runs once the handler has returned.
    writeFile(image, std::string(300, 'a'));
    std::string sizeWhileBoxShown;
    window->whileBoxShown = [&] {
        ::SendMessageA(hwnd, WM_ACTIVATE, MAKEWPARAM(WA_INACTIVE, 0), 0);
        ::SendMessageA(hwnd, WM_ACTIVATE, MAKEWPARAM(WA_ACTIVE, 0), 0);
        pump();
        sizeWhileBoxShown = windowText(item(kSizeLabel));
    };
    ::SendMessageA(item(kComList), CB_SETCURSEL, 7, 0);  // COM8, which this machine lacks
    ::SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(kComList, CBN_SELCHANGE),
                   reinterpret_cast<LPARAM>(item(kComList)));
    window->whileBoxShown = nullptr;
    ASSERT_EQ(window->boxes, std::vector<std::string>{"This COM-Port is not available!"});
    EXPECT_EQ(sizeWhileBoxShown, "200 Bytes");
    pump();
    EXPECT_EQ(windowText(item(kSizeLabel)), "300 Bytes");

    // The Open button: the chooser's file is checked and shown.
    writeFile(dir.file("other.bin"), std::string(7, 'b'));
    window->choice = dir.file("other.bin");
    click(kOpenButton);
    EXPECT_EQ(windowText(item(kSizeLabel)), "7 Bytes");
    EXPECT_EQ(windowText(item(kPathField)), dir.file("other.bin"));
}

// Stored USB: a click on "Serial port" leaves USB for good, though the dialog's own radio
// handling does not uncheck the disabled "USB port".
TEST_F(Win32Window, AClickOnSerialPortLeavesAStoredUsb) {
    settings.writeSettingInt("setup", "interface", 0);
    open();
    ASSERT_TRUE(checked(kUsbRadio));
    ASSERT_FALSE(::IsWindowEnabled(item(kComList)));
    click(kSerialRadio);
    EXPECT_TRUE(checked(kSerialRadio));
    EXPECT_FALSE(checked(kUsbRadio));
    EXPECT_EQ(settings.readSettingInt("setup", "interface", -1), 1);
    EXPECT_EQ(dialog->session().options().interfaceKind, 1);
    EXPECT_TRUE(::IsWindowEnabled(item(kComList)));
}

// Another thread (an automation tool) clicks Connect while a handler runs: the handler's
// keep-alive delivers the click, which must not start a second handler inside the first. It
// runs after the handler, and only if the handler left Connect enabled.
TEST_F(Win32Window, AClickSentDuringAHandlerRunsAfterItIfItsButtonIsStillEnabled) {
    for (const bool disabledByHandler : {false, true}) {
        SCOPED_TRACE(disabledByHandler ? "Connect disabled by the handler" : "Connect enabled");
        open();
        bool delivered = false;
        bool fired = false;
        std::vector<std::string> boxesInsideHandler;
        window->whileBoxShown = [&] {
            if (fired) {
                return;  // the held Connect's own box
            }
            fired = true;
            std::atomic<bool> sent{false};
            std::thread clicker([&] {
                ::SendMessageA(item(kConnectButton), BM_CLICK, 0, 0);
                sent = true;
            });
            // The status line is repainted as a countdown repaints it, keeping the window alive.
            for (int i = 0; i < 5000 && !sent; ++i) {
                window->repaint();
                ::Sleep(1);
            }
            delivered = sent;
            clicker.join();
            if (disabledByHandler) {
                ::EnableWindow(item(kConnectButton), FALSE);  // as a connect that succeeded
            }
            boxesInsideHandler = window->boxes;
        };
        pickMissingCom8();
        ASSERT_TRUE(delivered);
        EXPECT_EQ(boxesInsideHandler, std::vector<std::string>{"This COM-Port is not available!"});
        pump();
        if (disabledByHandler) {
            EXPECT_EQ(window->boxes.size(), 1u);
            EXPECT_EQ(windowText(item(kStatusLine)), "Disconnected");
        } else {
            ASSERT_EQ(window->boxes.size(), 2u);
            EXPECT_EQ(window->boxes[1], "COM port not available!");
        }
    }
}

}  // namespace
