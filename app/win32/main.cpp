// tervan-downloader.exe: the application object runs the one dialog modally, then the
// process ends; there is no message loop after the dialog.
#include <windows.h>

#include <commctrl.h>

#include "app/DownloaderApp.h"
#include "app/win32/Win32DialogWindow.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // Registers the progress bar's window class before dialog 102 is built.
    ::InitCommonControls();
    tervan::DownloaderApp app;
    return app.startApplication([instance](tervan::DownloaderDialog& dialog) {
        tervan::Win32DialogWindow window(instance, dialog);
        dialog.setWindow(&window);
        window.runModal();
        dialog.setWindow(nullptr);
    });
}
