#include "app/DownloaderApp.h"

namespace tervan {

int DownloaderApp::startApplication(const std::function<void(DownloaderDialog&)>& runModal) {
    settingsPath = defaultSettingsPath();
    // The dialog holds the 256 KiB image buffer; the main thread's stack has room for it.
    DownloaderDialog dialog(*this);
    // The window calls windowDestroyed() when it goes, however the dialog ended.
    runModal(dialog);
    return 0;
}

}  // namespace tervan
