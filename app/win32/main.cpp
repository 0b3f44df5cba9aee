// tervan-downloader.exe: the application object runs the one dialog modally, then the
// process ends; there is no message loop after the dialog. Its one optional argument is an
// image file, taken as if chosen with Open once the dialog runs.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "app/DownloaderApp.h"
#include "app/win32/Win32DialogWindow.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // Registers the progress bar's window class before dialog 102 is built.
    ::InitCommonControls();
    // The annotations for assistive technology go through COM.
    const bool com = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    std::string imageFile;
    if (__argc == 2) {
        // Made a full path, as the chooser's would be.
        std::vector<char> full(32768, '\0');
        const DWORD length =
            ::GetFullPathNameA(__argv[1], static_cast<DWORD>(full.size()), full.data(), nullptr);
        imageFile = length > 0 && length < full.size() ? std::string(full.data(), length)
                                                       : std::string(__argv[1]);
    }
    tervan::DownloaderApp app;
    const int status =
        app.startApplication([instance, &imageFile](tervan::DownloaderDialog& dialog) {
            tervan::Win32DialogWindow window(instance, dialog);
            if (!imageFile.empty()) {
                window.giveImageFile(imageFile);
            }
            dialog.setWindow(&window);
            window.runModal();
            dialog.setWindow(nullptr);
        });
    if (com) {
        ::CoUninitialize();
    }
    return status;
}
