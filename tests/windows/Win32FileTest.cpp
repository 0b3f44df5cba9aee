// The Win32 file services: the settings file under the shared INI store, the image file held
// without sharing, and the program's own folder.
#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/DownloaderDialog.h"
#include "app/ImageFile.h"
#include "app/SettingsFile.h"
#include "app/SettingsStore.h"
#include "link/SystemPaths.h"
#include "support/DrivenClock.h"
#include "support/RecordingWindow.h"
#include "support/TempDir.h"

using namespace tervan;
using namespace tervan::testing;

namespace {

std::string windowsPath(std::string path) {
    for (char& c : path) {
        c = c == '/' ? '\\' : c;
    }
    return path;
}

// A handle that another program holds on a file, with the given sharing.
class HeldFile {
public:
    HeldFile(const std::string& path, DWORD share, DWORD access = GENERIC_READ)
        : handle_(::CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~HeldFile() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle_);
        }
    }
    bool held() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

// ---- the settings file ----

TEST(Win32SettingsFile, WritesANewFileWithCrlfAndReadsEitherLineEnd) {
    TempDir dir;
    SettingsStore store(windowsPath(dir.file("tervan.ini")));
    EXPECT_EQ(store.readSettingInt("setup", "interface", 1), 1);  // no file: the defaults
    EXPECT_EQ(store.readSettingText("setup", "file", ""), "");

    EXPECT_TRUE(store.writeSettingInt("setup", "com", 2));
    EXPECT_TRUE(store.writeSettingInt("setup", "interface", 1));
    EXPECT_TRUE(store.writeSettingText("setup", "file", "D:\\images\\app.bin"));
    EXPECT_TRUE(store.writeSettingInt("setup", "com", -1));
    EXPECT_EQ(readFile(store.settingsPath),
              "[setup]\r\ncom=-1\r\ninterface=1\r\nfile=D:\\images\\app.bin\r\n");
    EXPECT_EQ(store.readSettingInt("setup", "com", 0), -1);
    EXPECT_EQ(store.readSettingText("setup", "file"), "D:\\images\\app.bin");

    // Nothing is left beside it.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"tervan.ini"});

    // A file with LF lines (written elsewhere) reads the same and keeps its line ends.
    writeFile(store.settingsPath, "[setup]\ncom=3\n");
    EXPECT_EQ(store.readSettingInt("setup", "com", 0), 3);
    EXPECT_TRUE(store.writeSettingInt("setup", "model", 1));
    EXPECT_EQ(readFile(store.settingsPath), "[setup]\ncom=3\nmodel=1\n");
}

// The write waits for the lock up to its bound on the clock it is given (here a driven one: no
// real waiting), then gives up, says why and leaves the file as it was.
TEST(Win32SettingsFile, AWriteGivesUpWhenAnotherWriterHoldsTheLockTooLong) {
    TempDir dir;
    SettingsStore store(dir.file("tervan.ini"));
    ASSERT_TRUE(store.writeSettingInt("setup", "model", 0));
    const std::string before = readFile(store.settingsPath);
    tervan::testing::DrivenClock clock;
    store.clock = &clock;
    // A writer that is stuck with the lock, on a thread of its own (the mutex lets its own
    // thread in again).
    const HANDLE taken = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const HANDLE release = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread stuck([&] {
        os::SettingsLock lock(store.settingsPath, realClock(), Clock::Duration::zero());
        ::SetEvent(taken);
        ::WaitForSingleObject(release, 10000);
    });
    EXPECT_EQ(::WaitForSingleObject(taken, 5000), WAIT_OBJECT_0);  // no ASSERT: join first
    EXPECT_FALSE(store.writeSettingInt("setup", "model", 1));
    EXPECT_EQ(store.lastFailure(), SettingsFailure::Busy);
    ::SetEvent(release);
    stuck.join();
    ::CloseHandle(taken);
    ::CloseHandle(release);
    EXPECT_EQ(clock.elapsed(), kSettingsLockWait);
    EXPECT_EQ(readFile(store.settingsPath), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              1);
    EXPECT_TRUE(store.writeSettingInt("setup", "model", 1));  // the lock is free again
}

TEST(Win32SettingsFile, AReadOnlyFileOrAFolderIsNeverReplaced) {
    TempDir dir;
    SettingsStore store(dir.file("tervan.ini"));
    writeFile(store.settingsPath, "[setup]\nmodel=1\n");
    ASSERT_TRUE(::SetFileAttributesA(store.settingsPath.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(store.writeSettingInt("setup", "model", 0));
    EXPECT_EQ(store.readSettingInt("setup", "model", 0), 1);
    ::SetFileAttributesA(store.settingsPath.c_str(), FILE_ATTRIBUTE_NORMAL);

    SettingsStore folder(dir.path());
    EXPECT_FALSE(folder.writeSettingInt("setup", "model", 0));
    EXPECT_TRUE(std::filesystem::is_directory(dir.path()));
    EXPECT_EQ(folder.readSettingInt("setup", "model", 7), 7);
}

TEST(Win32SettingsFile, AReaderDoesNotBlockTheReplacementAndWritersLoseNothing) {
    TempDir dir;
    SettingsStore store(dir.file("tervan.ini"));
    ASSERT_TRUE(store.writeSettingInt("setup", "model", 0));
    {
        // A program that keeps the file open: the write gives up and the file stays whole.
        HeldFile holder(store.settingsPath, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        ASSERT_TRUE(holder.held());
        EXPECT_FALSE(store.writeSettingInt("setup", "model", 1));
        EXPECT_EQ(store.readSettingInt("setup", "model", 1), 0);
    }
    {
        // Another copy of the program in the middle of a read: the write waits for it.
        auto reader = std::make_unique<HeldFile>(
            store.settingsPath, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        ASSERT_TRUE(reader->held());
        std::thread done([&reader] {
            ::Sleep(50);
            reader.reset();
        });
        EXPECT_TRUE(store.writeSettingInt("setup", "model", 1));
        done.join();
    }
    EXPECT_EQ(store.readSettingInt("setup", "model", 0), 1);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              1);  // no temporary file left behind by the refused write

    // Two writers at once, each with keys of its own: every read-modify-write runs under the
    // lock, so no key is lost to an interleaved replacement.
    const auto writer = [&dir](const std::string& prefix) {
        SettingsStore own(dir.file("tervan.ini"));
        for (int i = 0; i < 25; ++i) {
            own.writeSettingInt("setup", prefix + std::to_string(i), i);
        }
    };
    std::thread first(writer, "a");
    std::thread second(writer, "b");
    first.join();
    second.join();
    for (int i = 0; i < 25; ++i) {
        EXPECT_EQ(store.readSettingInt("setup", "a" + std::to_string(i), -1), i);
        EXPECT_EQ(store.readSettingInt("setup", "b" + std::to_string(i), -1), i);
    }
}

// ---- the image file ----

TEST(Win32ImageFile, OpensOnlyFilesOnDiskThatNoOneElseHolds) {
    TempDir dir;
    const std::string image = dir.file("app.bin");
    writeFile(image, std::string(300, 'z'));

    PlatformHandle handle = os::openImageFile(image);
    ASSERT_NE(handle, kInvalidHandle);
    os::ImageFileInfo info;
    ASSERT_TRUE(os::imageFileInfo(handle, &info));
    EXPECT_EQ(info.size, 300u);
    EXPECT_GT(info.modified, 0);
    char buffer[512] = {};
    EXPECT_EQ(os::readImageFile(handle, buffer, 300), 300);
    EXPECT_EQ(os::readImageFile(handle, buffer, 300), 300);  // always from the first byte
    EXPECT_EQ(std::string(buffer, 300), std::string(300, 'z'));
    // Held here shared with readers only: another reader gets in, no writer does.
    const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    EXPECT_TRUE(HeldFile(image, all).held());
    EXPECT_FALSE(HeldFile(image, all, GENERIC_WRITE).held());
    os::closeImageFile(handle);

    {
        // A program that writes the file keeps it out, and is told apart from one that holds
        // it without sharing.
        HeldFile writer(image, all, GENERIC_WRITE);
        ASSERT_TRUE(writer.held());
        std::optional<os::ImageWriter> found;
        EXPECT_EQ(os::openImageFile(image, &found), kInvalidHandle);
        EXPECT_TRUE(found.has_value());
    }
    {
        HeldFile exclusive(image, 0);
        ASSERT_TRUE(exclusive.held());
        std::optional<os::ImageWriter> found;
        EXPECT_EQ(os::openImageFile(image, &found), kInvalidHandle);
        EXPECT_FALSE(found.has_value());
    }
    EXPECT_EQ(os::openImageFile(dir.path()), kInvalidHandle);
    EXPECT_EQ(os::openImageFile(dir.file("missing.bin")), kInvalidHandle);
    EXPECT_EQ(os::openImageFile(""), kInvalidHandle);
    // A device is no image: reading it could block or never end.
    EXPECT_EQ(os::openImageFile("NUL"), kInvalidHandle);
    EXPECT_EQ(os::openImageFile("CON"), kInvalidHandle);
}

TEST(Win32ImageFile, AFileHeldByAnotherProgramIsReportedAtTheDownload) {
    TempDir dir;
    const std::string image = dir.file("app.bin");
    writeFile(image, std::string(1024, 'x'));
    SettingsStore settings(dir.file("tervan.ini"));
    DrivenClock clock;
    DownloaderDialog d(settings, clock);
    RecordingWindow window;
    d.setWindow(&window);
    d.initWindow();

    d.imagePath = image;
    {
        HeldFile other(image, 0);
        ASSERT_TRUE(other.held());
        // The check clears the path silently.
        EXPECT_EQ(d.loadImage(false).kind, OutcomeKind::ImageMissing);
        EXPECT_TRUE(d.imagePath.empty());
        EXPECT_TRUE(window.boxes.empty());
        d.imagePath = image;
        EXPECT_EQ(d.loadImage(true).kind, OutcomeKind::ImageMissing);
        EXPECT_EQ(window.boxes, std::vector<std::string>{"Could not load rom file!"});
    }
    // A program still writing it: waited for, then refused by name; the path stays.
    d.imagePath = image;
    HeldFile writer(image, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_WRITE);
    ASSERT_TRUE(writer.held());
    EXPECT_EQ(d.loadImage(true).kind, OutcomeKind::ImageBeingWritten);
    EXPECT_EQ(window.boxes.back(), "Rom file is still being written by another program!");
    EXPECT_EQ(d.imagePath, image);
    EXPECT_GE(clock.elapsed(), kImageWriterWait);
}

// ---- the program's folder ----

TEST(Win32SystemPaths, TheSettingsFileLivesBesideTheProgram) {
    char module[MAX_PATH] = {};
    ASSERT_GT(::GetModuleFileNameA(nullptr, module, MAX_PATH), 0u);
    const std::string program = module;
    const std::string folder = executableDirectory();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(program.compare(0, folder.size(), folder), 0);
    EXPECT_EQ(program[folder.size()], '\\');
    EXPECT_EQ(program.find('\\', folder.size() + 1), std::string::npos);
    const std::string settings = defaultSettingsPath();
    EXPECT_EQ(settings.substr(0, folder.size()), folder);
    EXPECT_EQ(settings.substr(folder.size() + 1), "tervan.ini");

    setDeviceRoot("C:\\devices");
    EXPECT_EQ(deviceRoot(), "C:\\devices");
    setDeviceRoot("");
    EXPECT_EQ(deviceRoot(), folder);
}

}  // namespace
