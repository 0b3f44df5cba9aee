// An image file a process still holds open for writing is neither read nor flashed: the
// window waits a little for the writer, then names it and changes nothing else. POSIX only:
// the writer is a real child process.
#include <gtest/gtest.h>

#include <string>

#include "app/DownloaderDialog.h"
#include "link/SystemPaths.h"
#include "support/DeviceRootTest.h"
#include "support/DrivenClock.h"
#include "support/HeldForWriting.h"
#include "support/RecordingWindow.h"
#include "support/TempDir.h"

using namespace tervan;
using namespace tervan::testing;

using ImageWriterTest = DeviceRootTest;

TEST_F(ImageWriterTest, WindowNeitherReadsNorFlashesAFileStillBeingWritten) {
    const std::string image = dir.file("app.bin");
    writeFile(image, std::string(100000, 'x'));
    SettingsStore settings(dir.file("tervan.ini"));
    settings.writeSettingText("setup", "file", image);
    DrivenClock clock;
    RecordingWindow window;
    DownloaderDialog d(settings, clock);
    d.setWindow(&window);
    d.initWindow();
    ASSERT_EQ(window.texts[kSizeLabel], "100000 Bytes");
    const std::string buttons = window.buttonRow();

    HeldForWriting writer(image);
    ASSERT_TRUE(writer.holding());
    // Closing the box activates the window, which checks the file again: said once, not after
    // every box.
    window.afterMessageBox = [&](const std::string&) { d.handleActivation(1, false); };
    d.controlClicked(kDownloadButton);
    const std::string named =
        "Rom file is still being written by process " + std::to_string(writer.pid()) + " (";
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].rfind(named, 0), 0u) << window.boxes[0];
    EXPECT_GE(clock.elapsed(), kImageWriterWait);  // the writer had its time to finish
    EXPECT_EQ(d.imagePath, image);
    EXPECT_EQ(window.buttonRow(), buttons);
    EXPECT_EQ(window.texts[kStatusLine], "Disconnected");

    // A writer this user cannot look at (another user's, hidden here by an empty /proc) is
    // still found for a file the user owns, without a name.
    TempDir noProcesses;
    setSystemRoot(noProcesses.path());
    window.afterMessageBox = nullptr;
    d.controlClicked(kDownloadButton);
    EXPECT_EQ(window.boxes.back(), "Rom file is still being written by another program!");
    setSystemRoot("");

    // Once the writer is done the file is read: the download goes on to the connection.
    writer.release();
    d.controlClicked(kDownloadButton);
    EXPECT_EQ(window.boxes.back(), "Not connected!");
}
