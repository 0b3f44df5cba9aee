// The controller's own rules, driven through the recording window: start-up state from the
// settings, the exchange between state and controls, the radio and list handlers and the
// image file checks. Nothing here needs a target.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <filesystem>
#include <string>

#include "app/DownloaderDialog.h"
#include "link/SystemPaths.h"
#include "support/DeviceRootTest.h"
#include "support/RecordingWindow.h"
#include "support/TempDir.h"

using namespace tervan;
using tervan::testing::DeviceRootTest;
using tervan::testing::linkMissingPort;
using tervan::testing::readFile;
using tervan::testing::RecordingWindow;
using tervan::testing::writeFile;

namespace {

class ControllerTest : public DeviceRootTest {
protected:
    DownloaderDialog& start() {
        dialog = std::make_unique<DownloaderDialog>(settings);
        dialog->setWindow(&window);
        dialog->initWindow();
        return *dialog;
    }
    std::string image(const std::string& name, std::size_t size) {
        const std::string path = dir.file(name);
        writeFile(path, std::string(size, '\x5A'));
        return path;
    }

    SettingsStore settings{dir.file("tervan.ini")};
    RecordingWindow window;
    std::unique_ptr<DownloaderDialog> dialog;
};

}  // namespace

TEST_F(ControllerTest, FirstStartWithoutSettingsFile) {
    auto& d = start();
    EXPECT_TRUE(window.checked[kSerialRadio]);
    EXPECT_FALSE(window.checked[kUsbRadio]);
    EXPECT_TRUE(window.checked[kModel256Radio]);
    EXPECT_TRUE(window.checked[kRomRadio]);
    EXPECT_EQ(window.comSelection, 0);
    EXPECT_EQ(window.texts[kPathField], "");
    EXPECT_EQ(window.texts[kSizeLabel], "");
    EXPECT_EQ(window.texts[kStatusLine], "Disconnected");
    EXPECT_EQ(window.position, 0);
    EXPECT_FALSE(window.enabled[kUsbRadio]);
    EXPECT_TRUE(window.enabled[kComList]);
    EXPECT_EQ(window.buttonRow(), "100000");
    EXPECT_EQ(d.session().options().comPortPath, "\\\\.\\COM1");
    EXPECT_EQ(d.session().frameLength(), 261u);
    EXPECT_TRUE(window.boxes.empty());
    // Nothing is written at start.
    EXPECT_FALSE(std::filesystem::exists(settings.settingsPath));
}

TEST_F(ControllerTest, StoredValuesOutsideTheirRanges) {
    settings.writeSettingInt("setup", "interface", 0);
    settings.writeSettingInt("setup", "com", 12);
    settings.writeSettingInt("setup", "target", 2);
    settings.writeSettingInt("setup", "model", 1);
    auto& d = start();
    // USB is checked though its button stays disabled; the COM list is off.
    EXPECT_TRUE(window.checked[kUsbRadio]);
    EXPECT_FALSE(window.enabled[kComList]);
    // COM index 12: no selection, but the path still follows it.
    EXPECT_EQ(window.comSelection, -1);
    EXPECT_EQ(d.session().options().comPortPath, "\\\\.\\COM13");
    // Target 2: neither ROM nor RAM is checked, and it acts as RAM.
    EXPECT_FALSE(window.checked[kRomRadio]);
    EXPECT_FALSE(window.checked[kRamRadio]);
    EXPECT_EQ(d.session().frameLength(), 133u);
    d.readControls();
    EXPECT_EQ(d.session().options().targetMemory, -1);
    EXPECT_EQ(d.comIndex, -1);

    settings.writeSettingInt("setup", "com", -1);
    auto& again = start();
    EXPECT_EQ(again.session().options().comPortPath, "\\\\.\\COM0");
}

// The clicked button is the choice, whatever the toolkit left checked: a disabled "USB port"
// is not unchecked by the group's own handling on Win32.
TEST_F(ControllerTest, AClickOnSerialPortLeavesUsbWhateverTheButtonsShow) {
    settings.writeSettingInt("setup", "interface", 0);
    auto& d = start();
    window.checked[kSerialRadio] = true;  // USB stays checked too
    d.controlClicked(kSerialRadio);
    EXPECT_TRUE(window.checked[kSerialRadio]);
    EXPECT_FALSE(window.checked[kUsbRadio]);
    EXPECT_EQ(d.session().options().interfaceKind, 1);
    EXPECT_EQ(settings.readSettingInt("setup", "interface", 0), 1);
    EXPECT_TRUE(window.enabled[kComList]);
}

// A choice that cannot be stored is said once, not dropped in silence; a write that goes
// through again ends the episode. A settings file its owner made read-only is left alone
// without a word.
TEST_F(ControllerTest, ASettingThatCannotBeStoredIsSaidOnce) {
    writeFile(dir.file("blocker"), "a file where the settings folder should be");
    settings.settingsPath = dir.file("blocker/tervan.ini");
    auto& d = start();
    d.controlClicked(kModel64Radio);
    d.controlClicked(kModel256Radio);
    EXPECT_EQ(window.boxes, std::vector<std::string>{"Your choice could not be stored in " +
                                                     settings.settingsPath +
                                                     ": its folder could not be made. It holds "
                                                     "until the program ends."});
    EXPECT_EQ(d.session().options().targetModel, 0);  // the choice holds in the window

    std::filesystem::remove(dir.file("blocker"));
    d.controlClicked(kRamRadio);
    EXPECT_EQ(settings.readSettingInt("setup", "target", 0), 1);
    ::chmod(settings.settingsPath.c_str(), 0444);
    d.controlClicked(kRomRadio);
    EXPECT_EQ(settings.readSettingInt("setup", "target", 0), 1);
    EXPECT_EQ(window.boxes.size(), 1u);
}

TEST_F(ControllerTest, WritingStateIntoControlsRaisesNoHandler) {
    settings.writeSettingInt("setup", "interface", 1);
    const std::string before = readFile(settings.settingsPath);
    // The recording window reports every change written into a radio button or the list, as
    // some toolkits do; the controller must take none of them for a user's click.
    window.onStateWritten = [this](int id) {
        if (id == kComList) {
            dialog->comSelectionChanged();
        } else {
            dialog->controlClicked(id);
        }
    };
    auto& d = start();
    SessionOptions chosen = d.session().options();
    chosen.targetModel = 1;
    chosen.targetMemory = 1;
    d.session().configure(chosen);
    linkMissingPort(dir.path(), 7);
    d.comIndex = 6;  // COM7 does not exist: a probe would show a box
    d.refreshControls();
    EXPECT_TRUE(window.checked[kModel64Radio]);
    EXPECT_EQ(window.comSelection, 6);
    EXPECT_EQ(readFile(settings.settingsPath), before);
    EXPECT_TRUE(window.boxes.empty());
}

TEST_F(ControllerTest, RadioClicksStoreTheirOwnKeyOnly) {
    auto& d = start();
    window.checked[kModel256Radio] = false;
    window.checked[kModel64Radio] = true;
    window.texts[kPathField] = "typed but not stored";
    d.controlClicked(kModel64Radio);
    EXPECT_EQ(d.session().pageSize(), 128u);
    EXPECT_EQ(d.session().flashSize(), 65536u);
    EXPECT_EQ(d.session().frameLength(), 133u);
    EXPECT_EQ(d.imagePath, "typed but not stored");
    // A file the store starts ends its lines as the system's own profile functions do.
#ifdef _WIN32
    EXPECT_EQ(readFile(settings.settingsPath), "[setup]\r\nmodel=1\r\n");
#else
    EXPECT_EQ(readFile(settings.settingsPath), "[setup]\nmodel=1\n");
#endif

    // A click on the button that is already checked writes again.
    window.checked[kRomRadio] = false;
    window.checked[kRamRadio] = true;
    d.controlClicked(kRamRadio);
    d.controlClicked(kRamRadio);
    EXPECT_EQ(settings.readSettingInt("setup", "target", 0), 1);
    EXPECT_EQ(window.buttonRow(), "100000");

    // Serial to serial: the COM list stays on and interface is stored as 1.
    d.controlClicked(kSerialRadio);
    EXPECT_EQ(settings.readSettingInt("setup", "interface", 0), 1);
    EXPECT_TRUE(window.enabled[kComList]);
}

TEST_F(ControllerTest, MissingComPortIsReportedAndNotStored) {
    settings.writeSettingInt("setup", "com", 0);
    auto& d = start();
    linkMissingPort(dir.path(), 7);
    window.comSelection = 6;
    d.comSelectionChanged();
    EXPECT_EQ(window.boxes, std::vector<std::string>{"This COM-Port is not available!"});
    EXPECT_EQ(d.comIndex, 6);
    EXPECT_EQ(d.session().options().comPortPath, "\\\\.\\COM7");
    EXPECT_EQ(settings.readSettingInt("setup", "com", -5), 0);
}

TEST_F(ControllerTest, ImageChecksAtStartOpenAndActivation) {
    // A stored image that is gone: no message, the path is emptied, the field still shows it.
    settings.writeSettingText("setup", "file", dir.file("gone.bin"));
    auto& d = start();
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_EQ(d.imagePath, "");
    EXPECT_EQ(window.texts[kPathField], dir.file("gone.bin"));

    // Open: the chooser starts at the stored path; Cancel changes nothing.
    window.fileChoices.push_back(std::nullopt);
    d.controlClicked(kOpenButton);
    EXPECT_EQ(window.chooserStarts.back(), dir.file("gone.bin"));
    EXPECT_EQ(d.imagePath, "");

    // Exactly 256 KiB passes and is stored; the size line shows it.
    const std::string full = image("full.bin", 262144);
    window.fileChoices.push_back(full);
    d.controlClicked(kOpenButton);
    EXPECT_EQ(d.session().imageLength, 262144u);
    EXPECT_EQ(window.texts[kSizeLabel], "262144 Bytes");
    EXPECT_EQ(window.texts[kPathField], full);
    EXPECT_EQ(settings.readSettingText("setup", "file"), full);

    // One byte more is refused; the previous size text stays and nothing is stored.
    const std::string big = image("big.bin", 262145);
    window.fileChoices.push_back(big);
    d.controlClicked(kOpenButton);
    EXPECT_EQ(window.boxes.back(), "File size is larger than 256KB !");
    EXPECT_EQ(d.session().imageLength, 0u);
    EXPECT_EQ(d.imagePath, big);
    EXPECT_EQ(window.texts[kSizeLabel], "262144 Bytes");
    EXPECT_EQ(settings.readSettingText("setup", "file"), full);

    // An empty file passes with "0 Bytes".
    const std::string empty = image("empty.bin", 0);
    window.fileChoices.push_back(empty);
    d.controlClicked(kOpenButton);
    EXPECT_EQ(window.texts[kSizeLabel], "0 Bytes");
    EXPECT_EQ(settings.readSettingText("setup", "file"), empty);

    // Activation by keyboard re-checks, by mouse or while minimised does not.
    image("empty.bin", 10);
    d.handleActivation(2, false);
    d.handleActivation(1, true);
    EXPECT_EQ(window.texts[kSizeLabel], "0 Bytes");
    d.handleActivation(1, false);
    EXPECT_EQ(window.texts[kSizeLabel], "10 Bytes");
}

TEST_F(ControllerTest, OversizeImageIsReportedOnceAcrossActivations) {
    const std::string big = image("big.bin", 300000);
    settings.writeSettingText("setup", "file", big);
    int activations = 0;
    // Closing a box activates the window again, which re-checks the image.
    window.afterMessageBox = [&](const std::string&) {
        if (++activations < 20) {
            dialog->handleActivation(1, false);
        }
    };
    auto& d = start();
    EXPECT_EQ(window.boxes, std::vector<std::string>{"File size is larger than 256KB !"});
    EXPECT_EQ(d.imagePath, big);

    d.handleActivation(1, false);
    EXPECT_EQ(window.boxes.size(), 1u);

    // A changed file is reported again, once.
    writeFile(big, std::string(300001, 'x'));
    struct utimbuf later {
        1000000000, 1000000000
    };
    ::utime(big.c_str(), &later);
    d.handleActivation(1, false);
    EXPECT_EQ(window.boxes.size(), 2u);

    // Download always reports it.
    SessionOptions chosen = d.session().options();
    chosen.targetMemory = 0;
    d.session().configure(chosen);
    d.controlClicked(kDownloadButton);
    EXPECT_EQ(window.boxes.size(), 3u);
    EXPECT_EQ(window.boxes.back(), "File size is larger than 256KB !");
}

TEST_F(ControllerTest, DownloadChecksBeforeAnyConnection) {
    auto& d = start();
    // Image gone: read mode says so.
    d.imagePath = dir.file("missing.bin");
    d.controlClicked(kDownloadButton);
    EXPECT_EQ(window.boxes.back(), "Could not load rom file!");
    EXPECT_EQ(d.imagePath, "");

    d.imagePath = image("empty.bin", 0);
    d.controlClicked(kDownloadButton);
    EXPECT_EQ(window.boxes.back(), "Nothing to download!");

    // RAM takes at most 64 KiB under either model.
    SessionOptions chosen = d.session().options();
    chosen.targetMemory = 1;
    d.session().configure(chosen);
    d.imagePath = image("ram.bin", 65537);
    d.controlClicked(kDownToRamButton);
    EXPECT_EQ(window.boxes.back(), "File to big!");
    EXPECT_EQ(window.texts[kStatusLine], "File to big!");

    d.imagePath = image("ram.bin", 65536);
    d.controlClicked(kDownToRamButton);
    EXPECT_EQ(window.boxes.back(), "Not connected!");

    // The 64 KB class limits a flash image to 64 KiB.
    chosen = d.session().options();
    chosen.targetMemory = 0;
    chosen.targetModel = 1;
    d.session().configure(chosen);
    d.imagePath = image("flash.bin", 65537);
    d.controlClicked(kDownloadButton);
    EXPECT_EQ(window.boxes.back(), "File to big!");
    // Over USB with no device: not connected either.
    chosen = d.session().options();
    chosen.interfaceKind = 0;
    d.session().configure(chosen);
    d.imagePath = image("flash.bin", 65536);
    d.controlClicked(kDownloadButton);
    EXPECT_EQ(window.boxes.back(), "Not connected!");
    EXPECT_EQ(window.waitDepth, 0);
}

TEST_F(ControllerTest, CloseEndsWithOkAfterReadingControlsAndWritesNothing) {
    auto& d = start();
    window.texts[kPathField] = "/typed/path.bin";
    d.controlClicked(kCloseButton);
    EXPECT_EQ(window.ended, DialogResult::Ok);
    EXPECT_EQ(d.imagePath, "/typed/path.bin");
    d.cancelCommand();
    EXPECT_EQ(window.ended, DialogResult::Cancel);
    d.windowDestroyed();
    EXPECT_FALSE(std::filesystem::exists(settings.settingsPath));
}
