// The image file is only ever read: whatever the tool does with it (check, download, the
// re-check on activation, the rejection of a file that is too large), the file keeps its
// bytes and its times, and no descriptor of it is ever opened for writing.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "e2e/ToolFixture.h"
#include "reliability/TransportParam.h"

using namespace tervan;
using namespace tervan::testing;
using Transport = tervan::sim::SimConfig::Transport;

namespace {

struct FileState {
    std::string bytes;
    timespec modified{};
    timespec changed{};
    bool operator==(const FileState& o) const {
        return bytes == o.bytes && modified.tv_sec == o.modified.tv_sec &&
               modified.tv_nsec == o.modified.tv_nsec && changed.tv_sec == o.changed.tv_sec &&
               changed.tv_nsec == o.changed.tv_nsec;
    }
};

FileState stateOf(const std::string& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return {readFile(path), info.st_mtim, info.st_ctim};
}

// Watches files for every kind of access that changes them, and for reads (to show the watch
// sees the tool at all).
class AccessWatch {
public:
    AccessWatch() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    ~AccessWatch() { ::close(fd_); }
    void add(const std::string& path) {
        ::inotify_add_watch(fd_, path.c_str(),
                            IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE |
                                IN_MOVE_SELF | IN_DELETE_SELF);
    }
    // Takes the events that arrived: reads and everything else.
    void collect(int& reads, int& changes) {
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0) {
                return;
            }
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->mask & IN_CLOSE_NOWRITE) {
                    ++reads;
                } else if (event->mask & ~IN_IGNORED) {
                    ++changes;
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }

private:
    int fd_;
};

class ImageFileUntouched : public ToolFixture, public ::testing::WithParamInterface<Transport> {};

}  // namespace

TEST_P(ImageFileUntouched, EveryOperationLeavesTheFileAsItWas) {
    const Transport transport = GetParam();
    startTarget(targetConfig(transport, 0));
    makeImage("fw.bin", 1000);
    makeImage("big.bin", kMaxImageSize + 1);
    // Both files read-only, with an old time stamp that any write would replace.
    for (const char* name : {"fw.bin", "big.bin"}) {
        const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, dir.file(name).c_str(), old, 0), 0);
        ASSERT_EQ(::chmod(dir.file(name).c_str(), 0444), 0);
    }
    const FileState image = stateOf(dir.file("fw.bin"));
    const FileState big = stateOf(dir.file("big.bin"));
    AccessWatch watch;
    watch.add(dir.file("fw.bin"));
    watch.add(dir.file("big.bin"));

    // Start-up with the stored path: the check at the end of the window's set-up.
    settings.writeSettingText("setup", "file", dir.file("fw.bin"));
    auto& d = startTool(transport == Transport::Usb ? 0 : 1, 0, 0);
    ASSERT_EQ(d.imagePath, dir.file("fw.bin"));
    EXPECT_EQ(d.sizeText, "1000 Bytes");
    // The check after the Open dialog, and the re-check when the window is activated.
    window.fileChoices.push_back(dir.file("fw.bin"));
    d.controlClicked(kOpenButton);
    d.handleActivation(1, false);
    // Download, to flash and to RAM.
    connect();
    d.controlClicked(kDownloadButton);
    EXPECT_EQ(window.texts[kStatusLine], "Write successfull!");
    d.controlClicked(kResetButton);
    window.checked[kRomRadio] = false;
    window.checked[kRamRadio] = true;
    d.controlClicked(kRamRadio);
    connect();
    d.controlClicked(kDownToRamButton);
    EXPECT_EQ(window.texts[kStatusLine], "Write successfull!");
    // The file that is too large: rejected by the Open check, by the activation re-check and
    // by a download.
    window.boxes.clear();
    window.fileChoices.push_back(dir.file("big.bin"));
    d.controlClicked(kOpenButton);
    EXPECT_EQ(d.imagePath, dir.file("big.bin"));
    d.handleActivation(1, false);
    EXPECT_EQ(d.imagePath, dir.file("big.bin"));
    d.controlClicked(kDownToRamButton);
    ASSERT_FALSE(window.boxes.empty());
    EXPECT_EQ(window.boxes.front(), "File size is larger than 256KB !");
    EXPECT_GE(window.boxes.size(), 2u);

    EXPECT_TRUE(stateOf(dir.file("fw.bin")) == image);
    EXPECT_TRUE(stateOf(dir.file("big.bin")) == big);
    int reads = 0;
    int changes = 0;
    watch.collect(reads, changes);
    EXPECT_EQ(changes, 0) << "the image file was opened for writing or changed";
    // Both files were seen being read (like events in a row merge into one, so no more is
    // known of their number).
    EXPECT_GE(reads, 2);
}

INSTANTIATE_TEST_SUITE_P(Reliability, ImageFileUntouched,
                         ::testing::Values(Transport::Serial, Transport::Usb), transportName);

namespace {

class ImageFileReading : public ToolFixture {};

}  // namespace

// Another program's lock for reading leaves the file readable; one for writing keeps it out
// (and a download reports the file as unloadable).
TEST_F(ImageFileReading, WritersKeepTheToolOutReadersDoNot) {
    auto& d = startTool(1);
    makeImage("fw.bin", 1000);
    for (const auto& [lock, readable] : {std::pair{LOCK_SH, true}, std::pair{LOCK_EX, false}}) {
        const int holder = ::open(dir.file("fw.bin").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(::flock(holder, lock | LOCK_NB), 0);
        d.imagePath = dir.file("fw.bin");
        window.boxes.clear();
        EXPECT_EQ(d.loadImage(true).ok(), readable) << lock;
        EXPECT_EQ(window.boxes.empty(), readable) << lock;
        ::close(holder);
    }
}
