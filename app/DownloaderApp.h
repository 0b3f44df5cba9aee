// The application object: the settings file beside the program and the one dialog.
#pragma once

#include <functional>

#include "app/DownloaderDialog.h"
#include "app/SettingsStore.h"

namespace tervan {

class DownloaderApp : public SettingsStore {
public:
    // The whole life of the application: points the settings store at "tervan.ini" beside
    // the program, builds the dialog, hands it to `runModal` (which shows the window and
    // returns when the dialog has ended) and destroys it. Returns the process exit status.
    int startApplication(const std::function<void(DownloaderDialog&)>& runModal);
};

}  // namespace tervan
