#include "app/win32/Win32DialogWindow.h"

#include <commctrl.h>
#include <commdlg.h>
#include <initguid.h>
#include <oleacc.h>
#include <shellapi.h>

#include <cstring>
#include <vector>

#include "app/DownloaderDialog.h"
#include "app/win32/Win32DialogMessages.h"
#include "link/SystemPaths.h"
#include "resources/windows/resource.h"

namespace tervan {
namespace {

using namespace win32;

static_assert(IDC_PATH == kPathField && IDC_OPEN == kOpenButton &&
                  IDC_DOWNLOAD == kDownloadButton && IDC_RESET == kResetButton &&
                  IDC_DOWN_TO_RAM == kDownToRamButton && IDC_RUN_RAM == kRunRamButton &&
                  IDC_SIZE_TEXT == kSizeLabel && IDC_PROGRESS == kProgressBar &&
                  IDC_STATUS == kStatusLine && IDC_CONNECT == kConnectButton &&
                  IDC_DISCONNECT == kDisconnectButton && IDC_USB == kUsbRadio &&
                  IDC_SERIAL == kSerialRadio && IDC_MODEL_256 == kModel256Radio &&
                  IDC_MODEL_64 == kModel64Radio && IDC_COM == kComList && IDC_ROM == kRomRadio &&
                  IDC_RAM == kRamRadio && IDOK == kCloseButton,
              "the resource ids and the controller's control ids must agree");

}  // namespace

Win32DialogWindow::Win32DialogWindow(HINSTANCE instance, DownloaderDialog& controller)
    : instance_(instance), controller_(controller) {
    icon_ = ::LoadIconA(instance_, MAKEINTRESOURCEA(IDI_DOWNLOADER));
}

Win32DialogWindow::~Win32DialogWindow() {
    if (window_ != nullptr) {
        ::DestroyWindow(window_);
    }
}

INT_PTR Win32DialogWindow::runModal() {
    modal_ = true;
    result_.reset();
    return ::DialogBoxParamA(instance_, MAKEINTRESOURCEA(IDD_DOWNLOADER), nullptr,
                             &Win32DialogWindow::dialogProcedure, reinterpret_cast<LPARAM>(this));
}

HWND Win32DialogWindow::create(bool show) {
    modal_ = false;
    result_.reset();
    const HWND window =
        ::CreateDialogParamA(instance_, MAKEINTRESOURCEA(IDD_DOWNLOADER), nullptr,
                             &Win32DialogWindow::dialogProcedure, reinterpret_cast<LPARAM>(this));
    if (window != nullptr && show) {
        ::ShowWindow(window, SW_SHOW);
        ::UpdateWindow(window);
    }
    return window;
}

std::string Win32DialogWindow::applicationName() {
    std::string name = fileNameOf(executablePath());
    // A dot is never the second byte of a double-byte character.
    const auto dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) {
        name.erase(dot);
    }
    return name;
}

// ---- the dialog procedure ----

INT_PTR CALLBACK Win32DialogWindow::dialogProcedure(HWND window, UINT message, WPARAM wParam,
                                                    LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<Win32DialogWindow*>(lParam);
        ::SetWindowLongPtrA(window, DWLP_USER, lParam);
        self->window_ = window;
        self->initialise();
        return TRUE;  // the focus goes to the first control with a tab stop, "Close"
    }
    auto* self = reinterpret_cast<Win32DialogWindow*>(::GetWindowLongPtrA(window, DWLP_USER));
    if (self == nullptr) {
        return FALSE;  // messages before WM_INITDIALOG (WM_SETFONT and the like)
    }
    return self->handleMessage(message, wParam, lParam);
}

INT_PTR Win32DialogWindow::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            command(LOWORD(wParam), HIWORD(wParam));
            return TRUE;
        case WM_ACTIVATE:
            // WA_ACTIVE (1) is any activation but a mouse click, WA_CLICKACTIVE (2) a click.
            if (controller_.handlers.running()) {
                // A message box or the file chooser of a running handler closed.
                if (LOWORD(wParam) != WA_INACTIVE) {
                    controller_.handlers.hold();
                }
            } else {
                ::PostMessageA(window_, kActivatedMessage, LOWORD(wParam), HIWORD(wParam) != 0);
            }
            return FALSE;  // the dialog's default activation handling runs
        case kActivatedMessage:
            // Held instead if a handler's modal loop took it from the queue.
            controller_.handlers.activation(static_cast<int>(wParam), lParam != 0);
            return TRUE;
        case kHeldActivationMessage:
            controller_.handlers.deliverHeld(::GetActiveWindow() == window_,
                                             ::IsIconic(window_) != FALSE);
            return TRUE;
        case kHeldCommandsMessage:
            controller_.handlers.deliverHeldCommands();
            return TRUE;
        case kGivenImageFileMessage:
            if (givenImageFile_) {
                const std::string path = *givenImageFile_;
                givenImageFile_.reset();
                controller_.handlers.run([&] { controller_.imageFileGiven(path); });
            }
            return TRUE;
        case WM_DROPFILES:
            fileDropped(reinterpret_cast<HDROP>(wParam));
            return TRUE;
        case WM_PAINT:
            return paintMinimised() ? TRUE : FALSE;
        case WM_QUERYDRAGICON:
            // One of the messages whose answer is the procedure's return value itself.
            return reinterpret_cast<INT_PTR>(icon_);
        case WM_DESTROY:
            controller_.windowDestroyed();
            return FALSE;
        case WM_NCDESTROY:
            ::SetWindowLongPtrA(window_, DWLP_USER, 0);
            window_ = nullptr;
            return FALSE;
        default:
            return FALSE;
    }
}

void Win32DialogWindow::initialise() {
    fillListsFromResource();
    if (icon_ != nullptr) {
        ::SendMessageA(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
        ::SendMessageA(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
    }
    controller_.handlers.run([this] { controller_.initWindow(); });
    annotateForAssistiveTechnology();
    ::DragAcceptFiles(window_, TRUE);
    if (givenImageFile_) {
        ::PostMessageA(window_, kGivenImageFileMessage, 0, 0);
    }
}

void Win32DialogWindow::annotateForAssistiveTechnology() {
    // Static texts are read by their text already; the edit field, the list and the progress
    // bar have no label of their own before them, so they are named here. A system without
    // the annotation service keeps the default names.
    IAccPropServices* services = nullptr;
    if (FAILED(::CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IAccPropServices, reinterpret_cast<void**>(&services))) ||
        services == nullptr) {
        return;
    }
    const struct {
        int id;
        const MSAAPROPID* property;
        const wchar_t* text;
    } annotations[] = {
        {kPathField, &PROPID_ACC_NAME, L"Rom File"},
        {kComList, &PROPID_ACC_NAME, L"COM port"},
        {kProgressBar, &PROPID_ACC_NAME, L"Download progress"},
        {kStatusLine, &PROPID_ACC_DESCRIPTION, L"Status"},
        {kSizeLabel, &PROPID_ACC_DESCRIPTION, L"Size"},
    };
    for (const auto& annotation : annotations) {
        services->SetHwndPropStr(::GetDlgItem(window_, annotation.id), OBJID_CLIENT, CHILDID_SELF,
                                 *annotation.property, annotation.text);
    }
    services->Release();
}

std::optional<std::string> Win32DialogWindow::droppedImageFile(HDROP drop) {
    if (::DragQueryFileA(drop, 0xFFFFFFFF, nullptr, 0) != 1) {
        return std::nullopt;
    }
    const UINT length = ::DragQueryFileA(drop, 0, nullptr, 0);
    std::vector<char> name(static_cast<std::size_t>(length) + 1, '\0');
    if (length == 0 || ::DragQueryFileA(drop, 0, name.data(), length + 1) != length) {
        return std::nullopt;
    }
    const DWORD attributes = ::GetFileAttributesA(name.data());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return std::nullopt;
    }
    return std::string(name.data(), length);
}

void Win32DialogWindow::fileDropped(HDROP drop) {
    const std::optional<std::string> path = droppedImageFile(drop);
    ::DragFinish(drop);
    // A drop that a running handler's message box took from the queue is not taken: no
    // handler starts inside another.
    if (path && !controller_.handlers.running()) {
        controller_.handlers.run([&] { controller_.imageFileGiven(*path); });
    }
}

// The dialog's initialisation data: entries of (control id, message, length, text), ended by
// a control id of 0. Only list entries are kept there.
void Win32DialogWindow::fillListsFromResource() {
    const HRSRC found = ::FindResourceA(instance_, MAKEINTRESOURCEA(IDD_DOWNLOADER),
                                        MAKEINTRESOURCEA(RT_TERVAN_DLGINIT));
    const HGLOBAL loaded = found != nullptr ? ::LoadResource(instance_, found) : nullptr;
    const auto* data =
        static_cast<const unsigned char*>(loaded != nullptr ? ::LockResource(loaded) : nullptr);
    if (data == nullptr) {
        return;
    }
    const DWORD size = ::SizeofResource(instance_, found);
    constexpr DWORD kEntryHeader = 2 + 2 + 4;
    DWORD offset = 0;
    while (offset + kEntryHeader <= size) {
        WORD control = 0;
        WORD message = 0;
        DWORD length = 0;
        std::memcpy(&control, data + offset, 2);
        if (control == 0) {
            break;
        }
        std::memcpy(&message, data + offset + 2, 2);
        std::memcpy(&length, data + offset + 4, 4);
        offset += kEntryHeader;
        if (length > size - offset) {
            break;  // damaged data: take nothing beyond the resource
        }
        const auto* text = reinterpret_cast<const char*>(data + offset);
        const std::string entry(text, ::strnlen(text, length));
        if (message == DLGINIT_ADDSTRING) {
            ::SendDlgItemMessageA(window_, control, CB_ADDSTRING, 0,
                                  reinterpret_cast<LPARAM>(entry.c_str()));
        }
        offset += length;
    }
}

// A command sent while a handler runs (the keep-alive and a message box's loop deliver what
// other threads and programs send, a BM_CLICK from an automation tool among them) is held by
// the HandlerGate and runs after the handler, if its control is still enabled then. Only the
// notifications the controller acts on are passed: the edit field's and the list's others
// (sent while a handler writes the state into the controls) start nothing.
void Win32DialogWindow::command(int id, int code) {
    int control = id;
    if (id == IDCANCEL) {
        control = 0;  // Escape, the close button: no control of the dialog
    } else if (id == kComList ? code != CBN_SELCHANGE : code != BN_CLICKED) {
        return;
    }
    controller_.handlers.command(control, [this, id, code] { forwardCommand(id, code); });
}

void Win32DialogWindow::forwardCommand(int id, int code) {
    if (id == IDOK && code == BN_CLICKED) {
        controller_.okCommand();  // "Close", and Enter while no other push button has focus
    } else if (id == IDCANCEL) {
        controller_.cancelCommand();  // Escape, the title bar's close button, the system menu
    } else if (id == kComList) {
        if (code == CBN_SELCHANGE) {
            controller_.comSelectionChanged();
        }
    } else if (code == BN_CLICKED) {
        // The controller ignores clicks while it writes state into the controls.
        controller_.controlClicked(id);
    }
}

bool Win32DialogWindow::paintMinimised() {
    if (::IsIconic(window_) == FALSE) {
        return false;
    }
    PAINTSTRUCT paint{};
    const HDC dc = ::BeginPaint(window_, &paint);
    ::SendMessageA(window_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client{};
    ::GetClientRect(window_, &client);
    const int x = (client.right - client.left - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
    ::DrawIcon(dc, x, y, icon_);
    ::EndPaint(window_, &paint);
    return true;
}

}  // namespace tervan
