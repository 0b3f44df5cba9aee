#include "app/DownloaderApp.h"

#include "app/UsbSetting.h"

namespace tervan {

int DownloaderApp::startApplication(const std::function<void(DownloaderDialog&)>& runModal) {
    settingsPath = defaultSettingsPath();
    // The target on the USB bus, when the settings name one; read once, like the window's
    // other choices.
    setUsbTarget(storedUsbTarget(*this));
    // The dialog holds the 256 KiB image buffer; the main thread's stack has room for it.
    DownloaderDialog dialog(*this);
    // The window calls windowDestroyed() when it goes, however the dialog ended.
    runModal(dialog);
    return 0;
}

}  // namespace tervan
