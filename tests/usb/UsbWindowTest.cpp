// The window's controller on the emulated USB bus: the settings name the target's ids, and
// Connect and Download go through libusb as the window's buttons do.
#include "app/DownloaderDialog.h"
#include "app/UsbSetting.h"
#include "support/RecordingWindow.h"
#include "usb/UsbBusFixture.h"

using namespace tervan;
using tervan::testing::randomImage;
using tervan::testing::RecordingWindow;

namespace {

class UsbWindowTest : public tervan::testing::UsbBusTest {};

TEST_F(UsbWindowTest, TheStoredUsbIdTakesTheWindowToTheDeviceOnTheBus) {
    sim::TargetSimulator& target = plug(3);
    const auto image = randomImage(64 * 1024, 41);
    tervan::testing::writeFile(dir.file("app.bin"), std::string(image.begin(), image.end()));
    SettingsStore settings(dir.file("tervan.ini"));
    tervan::testing::writeFile(settings.settingsPath,
                               "[setup]\ninterface=0\nmodel=0\ntarget=0\nusbid=03eb:6124\nfile=" +
                                   dir.file("app.bin") + "\n");
    // What the application does at its start.
    setUsbTarget(storedUsbTarget(settings));

    RecordingWindow window;
    DownloaderDialog dialog(settings);
    dialog.setWindow(&window);
    dialog.initWindow();
    dialog.controlClicked(kConnectButton);
    ASSERT_EQ(window.texts[kStatusLine], "Connected");
    EXPECT_EQ(std::string(dialog.session().usbDevice.path), "usb:1-3");
    dialog.controlClicked(kDownloadButton);
    EXPECT_EQ(window.texts[kStatusLine], "Write successfull!");
    EXPECT_TRUE(std::equal(image.begin(), image.end(), target.flash().begin()));
    dialog.windowDestroyed();
}

}  // namespace
