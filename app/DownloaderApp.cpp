#include "app/DownloaderApp.h"

namespace tervan {

int DownloaderApp::startApplication(const std::function<void(DownloaderDialog&)>& runModal) {
    settingsPath = defaultSettingsPath();
    // The dialog holds the 256 KiB image buffer; the main thread's stack has room for it.
    DownloaderDialog dialog(*this);
    runModal(dialog);
    // However the dialog ended, its window is gone: release the port and the USB device.
    dialog.windowDestroyed();
    return 0;
}

}  // namespace tervan
