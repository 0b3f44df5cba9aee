// tervan-wine-close: waits for the main window of tervan-downloader.exe and closes it the way
// the title bar's close button does (WM_CLOSE, which the dialog turns into its cancel command).
//
//   tervan-wine-close [--wait-only] [SECONDS]
//
// Prints "window X Y WIDTH HEIGHT" (its frame on the screen) and exits 0 once the window was
// found (and, without --wait-only, asked to close); exits 1 when it did not appear in time.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    bool waitOnly = false;
    int seconds = 30;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--wait-only") == 0) {
            waitOnly = true;
        } else {
            seconds = std::atoi(argv[i]);
        }
    }
    constexpr const char* kCaption = "TERVAN Downloader for AT91SAM7S256/64 v1.0.7";
    for (int waited = 0; waited < seconds * 10; ++waited) {
        const HWND window = ::FindWindowA(nullptr, kCaption);
        if (window != nullptr && ::IsWindowVisible(window)) {
            RECT frame{};
            ::GetWindowRect(window, &frame);
            // The outer rectangle on the screen, for cropping a screenshot to the window.
            std::printf("window %ld %ld %ld %ld\n", frame.left, frame.top, frame.right - frame.left,
                        frame.bottom - frame.top);
            if (!waitOnly) {
                ::PostMessageA(window, WM_CLOSE, 0, 0);
            }
            std::fflush(stdout);
            return 0;
        }
        ::Sleep(100);
    }
    std::printf("the window did not appear within %d s\n", seconds);
    return 1;
}
