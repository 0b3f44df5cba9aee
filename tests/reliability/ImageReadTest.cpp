// A file that changes while the tool reads it (a linker writing it again, without a lock) is
// not taken as read. The program's reads of the image go through pread, which this test
// program wraps (linked with --wrap=pread) to change the file right after a read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "app/DownloaderDialog.h"
#include "support/RecordingWindow.h"
#include "support/TempDir.h"

extern "C" ssize_t __real_pread(int fd, void* buffer, size_t count, off_t offset);

namespace {

// Runs once, right after the next read of a file.
std::function<void()> afterNextRead;

}  // namespace

extern "C" ssize_t __wrap_pread(int fd, void* buffer, size_t count, off_t offset) {
    const ssize_t result = __real_pread(fd, buffer, count, offset);
    if (afterNextRead) {
        const auto change = std::move(afterNextRead);
        afterNextRead = nullptr;
        change();
    }
    return result;
}

using namespace tervan;
using tervan::testing::RecordingWindow;
using tervan::testing::TempDir;
using tervan::testing::writeFile;

TEST(ImageRead, FileChangedUnderTheReadIsNotTakenAsRead) {
    TempDir dir;
    SettingsStore settings(dir.file("tervan.ini"));
    RecordingWindow window;
    DownloaderDialog d(settings);
    d.setWindow(&window);
    d.initWindow();
    const std::string path = dir.file("fw.bin");

    const struct {
        const char* name;
        std::function<void()> change;
        bool taken;
    } cases[] = {
        {"unchanged", nullptr, true},
        {"grown", [&] { writeFile(path, std::string(1001, 'b')); }, false},
        {"rewritten, same size, newer",
         [&] {
             writeFile(path, std::string(1000, 'b'));
             const timespec later[2] = {{0, UTIME_OMIT}, {2000000000, 0}};
             ::utimensat(AT_FDCWD, path.c_str(), later, 0);
         },
         false},
    };
    for (const auto& c : cases) {
        writeFile(path, std::string(1000, 'a'));
        d.imagePath = path;
        window.boxes.clear();
        afterNextRead = c.change;
        EXPECT_EQ(d.loadImage(true).ok(), c.taken) << c.name;
        EXPECT_EQ(window.boxes.empty(), c.taken) << c.name;
        if (!c.taken) {
            EXPECT_EQ(window.boxes, std::vector<std::string>{"Could not load rom file!"}) << c.name;
        }
    }
    afterNextRead = nullptr;
}
