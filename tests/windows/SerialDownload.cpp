// tervan-wine-download: the controller on the Win32 serial port, driven the way a user drives
// the window: choose COMn, open the image, Connect, Download, Reset. scripts/windows-test.sh
// runs it under Wine against the virtual target on a pseudo-terminal that Wine knows as COMn,
// then compares what the target stored with the image.
//
//   tervan-wine-download IMAGE COM-NUMBER
//
// Prints each step; exits 0 when every step showed what it should.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/DownloaderDialog.h"
#include "link/win32/TestSeams.h"
#include "support/RecordingWindow.h"
#include "support/TempDir.h"

using namespace tervan;
using namespace tervan::testing;

namespace {

int failures = 0;

void expect(bool ok, const std::string& what, const std::string& seen) {
    std::printf("%s %s (%s)\n", ok ? "ok  " : "FAIL", what.c_str(), seen.c_str());
    std::fflush(stdout);
    if (!ok) {
        ++failures;
    }
}

std::string boxesOf(const RecordingWindow& window) {
    std::string all;
    for (const auto& box : window.boxes) {
        all += (all.empty() ? "" : " | ") + box;
    }
    return all.empty() ? "no message" : all;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s IMAGE COM-NUMBER\n", argv[0]);
        return 2;
    }
    const std::string image = argv[1];
    const int comNumber = std::atoi(argv[2]);

    TempDir dir;
    SettingsStore settings(dir.file("tervan.ini"));
    RecordingWindow window;
    // The dialog holds the 256 KiB image buffer: keep it off the stack of main.
    auto dialog = std::make_unique<DownloaderDialog>(settings);
    DownloaderDialog& d = *dialog;
    d.setWindow(&window);
    d.initWindow();

    window.comSelection = comNumber - 1;
    d.comSelectionChanged();
    expect(window.boxes.empty() && settings.readSettingInt("setup", "com", -1) == comNumber - 1,
           "the COM list accepts " + d.comPortPath, boxesOf(window));

    window.fileChoices.push_back(image);
    d.controlClicked(kOpenButton);
    expect(!d.imagePath.empty() && window.boxes.empty(), "the image opens",
           window.texts[kSizeLabel]);

    d.controlClicked(kConnectButton);
    expect(window.texts[kStatusLine] == "Connected" && d.serialLink.isOpen() == 1,
           "Connect gets the loader's X", window.texts[kStatusLine]);

    // Windows refuses a second opener of a held port; Wine lets it share, so the seam gives
    // Windows' answer while this link holds the port.
    os::win32::testing::setSerialOpenHook([&d](const std::string& path) -> DWORD {
        return d.serialLink.isOpen() == 1 && path == d.comPortPath ? ERROR_ACCESS_DENIED : 0;
    });
    const int busy = d.serialLink.probe(d.comPortPath.c_str());
    expect(busy == ERROR_ACCESS_DENIED, "the held port probes as busy",
           "error " + std::to_string(busy));

    const auto started = ::GetTickCount();
    d.controlClicked(kDownloadButton);
    const auto elapsed = ::GetTickCount() - started;
    expect(window.texts[kStatusLine] == "Write successfull!" && window.boxes.empty() &&
               !window.beeps.empty() && window.beeps.back() == BeepKind::Default,
           "Download writes every page",
           window.texts[kStatusLine] + ", " + boxesOf(window) + ", " + std::to_string(elapsed) +
               " ms");
    expect(window.position == static_cast<std::int16_t>(window.rangeUpper),
           "the progress bar ends full",
           std::to_string(window.position) + " of " + std::to_string(window.rangeUpper));

    d.controlClicked(kResetButton);
    expect(window.texts[kStatusLine] == "Disconnected" && d.serialLink.isOpen() == 0,
           "Reset ends the connection", window.texts[kStatusLine]);
    os::win32::testing::setSerialOpenHook({});
    expect(d.serialLink.probe(d.comPortPath.c_str()) == 0, "the port is free again", "");

    d.windowDestroyed();
    std::printf("%s\n",
                failures == 0 ? "serial download: all steps passed" : "serial download FAILED");
    return failures == 0 ? 0 : 1;
}
