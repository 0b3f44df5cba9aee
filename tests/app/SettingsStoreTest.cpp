#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "app/SettingsFile.h"
#include "app/SettingsStore.h"
#include "app/UsbSetting.h"
#include "support/TempDir.h"

using namespace tervan;
using tervan::testing::readFile;
using tervan::testing::TempDir;
using tervan::testing::writeFile;

namespace {

// A clock whose time moves only by the pauses asked of it; once it reaches `releaseAt`, it lets
// the test's lock holder go, as another copy of the program ending its write would.
class HolderClock final : public Clock {
public:
    TimePoint now() override { return TimePoint(elapsed); }
    void sleepFor(Duration pause) override {
        elapsed += pause;
        if (elapsed >= releaseAt) {
            holder.reset();
        }
    }
    int wait(Duration limit, const PlatformWait&) override {
        sleepFor(limit);
        return 0;
    }
    Duration elapsed{0};
    Duration releaseAt = Duration::max();
    std::unique_ptr<os::SettingsLock> holder;
};

class SettingsStoreTest : public ::testing::Test {
protected:
    TempDir dir;
    SettingsStore store{dir.file("tervan.ini")};
};

}  // namespace

TEST_F(SettingsStoreTest, MissingFileGivesDefaultsAndIsCreatedByTheFirstWrite) {
    EXPECT_EQ(store.readSettingInt("setup", "interface", 1), 1);
    EXPECT_EQ(store.readSettingInt("setup", "com", 0), 0);
    EXPECT_EQ(store.readSettingText("setup", "file"), "");
    EXPECT_EQ(store.readSettingText("setup", "file", "fallback"), "fallback");
    EXPECT_FALSE(std::filesystem::exists(store.settingsPath));

    EXPECT_TRUE(store.writeSettingInt("setup", "com", 2));
    EXPECT_TRUE(store.writeSettingInt("setup", "interface", 1));
    EXPECT_TRUE(store.writeSettingText("setup", "file", "D:\\images\\app.bin"));
    EXPECT_EQ(readFile(store.settingsPath),
              "[setup]\ncom=2\ninterface=1\nfile=D:\\images\\app.bin\n");
    // Replacing a value keeps the key where it stands.
    EXPECT_TRUE(store.writeSettingInt("setup", "com", -7));
    EXPECT_EQ(readFile(store.settingsPath),
              "[setup]\ncom=-7\ninterface=1\nfile=D:\\images\\app.bin\n");
}

TEST_F(SettingsStoreTest, OddValuesReadBackAsWritten) {
    const std::string texts[] = {"",
                                 "  leading and trailing  ",
                                 "C:\\Program Files\\fw\\image v2.bin",
                                 "\"quoted\"",
                                 "'single'",
                                 "a=b;c#d [x]",
                                 "/home/user/fw/ünïcode.bin"};
    for (const auto& text : texts) {
        ASSERT_TRUE(store.writeSettingText("setup", "file", text));
        EXPECT_EQ(store.readSettingText("setup", "file", "default"), text);
    }
    for (const std::int32_t value : {0, -1, 12, 2147483647, -2147483647 - 1}) {
        ASSERT_TRUE(store.writeSettingInt("setup", "model", value));
        EXPECT_EQ(store.readSettingInt("setup", "model", 99), value);
    }
    // An empty value keeps the key, and reads as the default for a number.
    ASSERT_TRUE(store.writeSettingText("setup", "com", ""));
    EXPECT_NE(readFile(store.settingsPath).find("com=\n"), std::string::npos);
    EXPECT_EQ(store.readSettingInt("setup", "com", 5), 5);
}

TEST_F(SettingsStoreTest, ReadsFilesFromTheReferencePlatform) {
    writeFile(store.settingsPath,
              "; written elsewhere\r\n[other]\r\ncom=9\r\n\r\n[SETUP]\r\ntarget=1\r\n"
              "File=D:\\images\\app.bin\r\n  model = 1 \r\ncom=3x\r\n\r\n[more]\r\nx=y\r\n");
    EXPECT_EQ(store.readSettingInt("setup", "com", 0), 3);
    EXPECT_EQ(store.readSettingInt("setup", "model", 0), 1);
    EXPECT_EQ(store.readSettingInt("setup", "target", 0), 1);
    EXPECT_EQ(store.readSettingInt("setup", "interface", 1), 1);
    EXPECT_EQ(store.readSettingText("setup", "file"), "D:\\images\\app.bin");

    // A write keeps the other sections and the CRLF line ends, and adds a missing key to
    // the end of its section.
    ASSERT_TRUE(store.writeSettingInt("setup", "interface", 0));
    ASSERT_TRUE(store.writeSettingInt("setup", "com", 4));
    EXPECT_EQ(readFile(store.settingsPath),
              "; written elsewhere\r\n[other]\r\ncom=9\r\n\r\n[SETUP]\r\ntarget=1\r\n"
              "File=D:\\images\\app.bin\r\n  model = 1 \r\ncom=4\r\ninterface=0\r\n\r\n"
              "[more]\r\nx=y\r\n");
    EXPECT_EQ(store.readSettingInt("other", "com", 0), 9);
}

// A key added after the file's last line leaves that line as it reads, whatever its line end;
// the new line takes the file's line end.
TEST_F(SettingsStoreTest, AKeyAddedAfterTheLastLineKeepsThatLineWhole) {
    struct Case {
        const char* file;
        const char* section;  // the section the last line is in
        const char* written;
    };
    const Case cases[] = {
        {"[setup]\ncom=1", "setup", "[setup]\ncom=1\ntarget=2\n"},
        {"[setup]\ncom=1\n", "setup", "[setup]\ncom=1\ntarget=2\n"},
        {"[setup]\r\ncom=1\r\n", "setup", "[setup]\r\ncom=1\r\ntarget=2\r\n"},
        {"[setup]\ncom=1\r", "setup", "[setup]\ncom=1\r\ntarget=2\n"},
        {"[setup]\ncom=1\r\r\r", "setup", "[setup]\ncom=1\r\r\r\ntarget=2\n"},
        {"[other]\ncom=1\r\r", "other", "[other]\ncom=1\r\r\n[setup]\ntarget=2\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(std::string(c.file)));
        writeFile(store.settingsPath, c.file);
        const std::string com = store.readSettingText(c.section, "com", "missing");
        ASSERT_TRUE(store.writeSettingInt("setup", "target", 2));
        EXPECT_EQ(readFile(store.settingsPath), c.written);
        EXPECT_EQ(store.readSettingText(c.section, "com", "missing"), com);
        EXPECT_EQ(store.readSettingInt("setup", "target", 0), 2);
    }
}

TEST_F(SettingsStoreTest, LongValuesAreCutAtTheReadBuffer) {
    const std::string longText(5000, 'p');
    ASSERT_TRUE(store.writeSettingText("setup", "file", longText));
    EXPECT_EQ(store.readSettingText("setup", "file"), longText.substr(0, 4095));
    const std::string fits(4095, 'q');
    ASSERT_TRUE(store.writeSettingText("setup", "file", fits));
    EXPECT_EQ(store.readSettingText("setup", "file"), fits);
}

TEST_F(SettingsStoreTest, GarbageOrHugeFilesGiveDefaults) {
    std::string garbage;
    for (int i = 0; i < 70000; ++i) {
        garbage.push_back(static_cast<char>((i * 7919) % 256));
    }
    writeFile(store.settingsPath, garbage);
    EXPECT_EQ(store.readSettingInt("setup", "com", 4), 4);
    EXPECT_EQ(store.readSettingText("setup", "file", "d"), "d");

    writeFile(store.settingsPath, "[setup\ncom=3\n=5\n[]\n[setup]]\n");
    EXPECT_EQ(store.readSettingInt("setup", "com", 4), 4);

    // Past the size a settings file can have, reads give defaults and writes leave it alone.
    writeFile(store.settingsPath, "[setup]\ncom=3\n" + std::string(17 * 1024 * 1024, '\n'));
    EXPECT_EQ(store.readSettingInt("setup", "com", 4), 4);
    EXPECT_FALSE(store.writeSettingInt("setup", "com", 1));
    EXPECT_EQ(std::filesystem::file_size(store.settingsPath), 14u + 17 * 1024 * 1024);
}

TEST_F(SettingsStoreTest, TextWithALineBreakIsRefused) {
    ASSERT_TRUE(store.writeSettingText("setup", "file", "/fw/a.bin"));
    const std::string before = readFile(store.settingsPath);
    EXPECT_FALSE(store.writeSettingText("setup", "file", "/fw/a.bin\ncom=9"));
    EXPECT_FALSE(store.writeSettingText("setup", "file", "x\ry"));
    EXPECT_EQ(readFile(store.settingsPath), before);
    EXPECT_EQ(store.readSettingInt("setup", "com", 0), 0);
}

TEST_F(SettingsStoreTest, ReadOnlyFileOrFolderChangesNothingOnDisk) {
    ASSERT_TRUE(store.writeSettingInt("setup", "com", 1));
    ::chmod(store.settingsPath.c_str(), 0444);
    EXPECT_FALSE(store.writeSettingInt("setup", "com", 2));
    EXPECT_EQ(store.readSettingInt("setup", "com", 0), 1);
    ::chmod(store.settingsPath.c_str(), 0644);

    // A folder the user cannot write: run the write as an unprivileged user when the test
    // runs as root, since root may write anywhere.
    TempDir locked;
    ::chmod(locked.path().c_str(), 0555);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 && ::setresuid(65534, 65534, 65534) != 0) {
            ::_exit(3);
        }
        SettingsStore inLocked(locked.file("tervan.ini"));
        const bool wrote = inLocked.writeSettingInt("setup", "com", 5);
        ::_exit(wrote ? 1 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(std::filesystem::is_empty(locked.path()));
}

TEST_F(SettingsStoreTest, AWriterKilledMidwayLeavesTheOldFile) {
    ASSERT_TRUE(store.writeSettingText("setup", "file", "/old/image.bin"));
    // A writer that dies between creating its new file and renaming it leaves only a stray
    // temporary file; the settings file itself is whole and old.
    writeFile(store.settingsPath + ".tmp", "[setup]\nfile=/new/ima");
    EXPECT_EQ(store.readSettingText("setup", "file"), "/old/image.bin");
    ASSERT_TRUE(store.writeSettingText("setup", "file", "/new/image.bin"));
    EXPECT_EQ(store.readSettingText("setup", "file"), "/new/image.bin");
    // The next write took the stray file over.
    EXPECT_FALSE(std::filesystem::exists(store.settingsPath + ".tmp"));
}

TEST_F(SettingsStoreTest, TheFirstWriteMakesAMissingFolderForTheUserAlone) {
    SettingsStore inNew(dir.file("config/tervan/tervan.ini"));
    EXPECT_EQ(inNew.readSettingInt("setup", "com", 0), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("config")));
    EXPECT_TRUE(inNew.writeSettingInt("setup", "com", 3));
    EXPECT_EQ(inNew.readSettingInt("setup", "com", 0), 3);
    // Every folder made, not only the last one (~/.config as well as ~/.config/tervan).
    for (const char* folder : {"config", "config/tervan"}) {
        struct stat info {};
        ASSERT_EQ(::stat(dir.file(folder).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u) << folder;
    }
    // A folder that cannot be made (a file stands in its place) is said.
    writeFile(dir.file("file"), "");
    SettingsStore blocked(dir.file("file/tervan/tervan.ini"));
    EXPECT_FALSE(blocked.writeSettingInt("setup", "com", 3));
    EXPECT_EQ(blocked.lastFailure(), SettingsFailure::NoFolder);
}

// Another writer holds the lock: the write waits for it up to its bound, on the clock it is
// given (the window's keeps it painted), and says why when it gives up.
TEST_F(SettingsStoreTest, AWriteWaitsForABusyLockWithinItsBoundAndSaysWhenItGivesUp) {
    ASSERT_TRUE(store.writeSettingInt("setup", "com", 1));
    HolderClock clock;
    store.clock = &clock;
    clock.holder =
        std::make_unique<os::SettingsLock>(store.settingsPath, clock, Clock::Duration::zero());
    ASSERT_TRUE(clock.holder->locked());

    EXPECT_FALSE(store.writeSettingInt("setup", "com", 2));
    EXPECT_EQ(store.lastFailure(), SettingsFailure::Busy);
    EXPECT_EQ(clock.elapsed, kSettingsLockWait);
    EXPECT_EQ(store.readSettingInt("setup", "com", 0), 1);

    // Let go well past the old two seconds, within the bound: the write waits for it.
    clock.elapsed = Clock::Duration::zero();
    clock.releaseAt = kSettingsLockWait - Clock::Duration(1000);
    EXPECT_TRUE(store.writeSettingInt("setup", "com", 2));
    EXPECT_EQ(store.lastFailure(), SettingsFailure::None);
    EXPECT_EQ(clock.elapsed, clock.releaseAt);
    EXPECT_EQ(store.readSettingInt("setup", "com", 0), 2);
}

// A settings file that is a link (to a file shared between machines, kept under version
// control) stays a link: the file it leads to is replaced, the same crash-safe way.
TEST_F(SettingsStoreTest, ALinkedSettingsFileStaysALinkAndItsTargetIsWritten) {
    TempDir elsewhere;
    writeFile(elsewhere.file("shared.ini"), "[setup]\ncom=1\n");
    std::filesystem::create_symlink(elsewhere.file("shared.ini"), store.settingsPath);
    ASSERT_TRUE(store.writeSettingInt("setup", "com", 2));
    EXPECT_TRUE(std::filesystem::is_symlink(store.settingsPath));
    EXPECT_EQ(readFile(elsewhere.file("shared.ini")), "[setup]\ncom=2\n");

    // A relative link, through a second one, to a file not there yet.
    std::filesystem::create_directory(dir.file("sub"));
    std::filesystem::create_symlink("sub/middle.ini", dir.file("relative.ini"));
    std::filesystem::create_symlink("new.ini", dir.file("sub/middle.ini"));
    SettingsStore relative(dir.file("relative.ini"));
    ASSERT_TRUE(relative.writeSettingInt("setup", "model", 1));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("relative.ini")));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("sub/middle.ini")));
    EXPECT_EQ(readFile(dir.file("sub/new.ini")), "[setup]\nmodel=1\n");
    EXPECT_EQ(relative.readSettingInt("setup", "model", 0), 1);
}

// A copy the user may write, or one with a settings file beside it, keeps its files beside
// itself; a program installed for the whole system keeps them in the user's configuration
// folder.
TEST(SettingsFolderTest, BesideTheProgramUnlessInstalledForTheSystem) {
    TempDir writable;
    EXPECT_EQ(settingsFolderFor(writable.path(), "/cfg", "/home/ada"), writable.path());
    EXPECT_EQ(settingsFolderFor("/usr/bin", "/cfg", "/home/ada"), "/cfg/tervan");
    EXPECT_EQ(settingsFolderFor("/usr/bin", "relative", "/home/ada"), "/home/ada/.config/tervan");
    EXPECT_EQ(settingsFolderFor("/usr/bin", nullptr, "/home/ada"), "/home/ada/.config/tervan");
    // A relative HOME is refused as an unset one is: the user database's home folder.
    EXPECT_EQ(settingsFolderFor("/usr/bin", nullptr, "ada").front(), '/');

    // Folders the user may not write, one of them with a settings file: as an unprivileged
    // user when the test runs as root, since root may write anywhere.
    TempDir locked;
    TempDir portable;
    writeFile(portable.file("tervan.ini"), "[setup]\ncom=1\n");
    ::chmod(locked.path().c_str(), 0555);
    ::chmod(portable.path().c_str(), 0555);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 && ::setresuid(65534, 65534, 65534) != 0) {
            ::_exit(3);
        }
        const bool config = settingsFolderFor(locked.path(), "/cfg", "/h") == "/cfg/tervan";
        const bool beside = settingsFolderFor(portable.path(), "/cfg", "/h") == portable.path();
        ::_exit((config ? 0 : 1) | (beside ? 0 : 2));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: a locked folder, 2: a settings file beside";
}

// usbid names the target on the USB bus by its ids, usbserial narrows it to one board; an id
// that is no id leaves the USB choice on the pipe folders.
TEST_F(SettingsStoreTest, UsbIdAndSerialNameTheTargetOnTheBus) {
    EXPECT_FALSE(storedUsbTarget(store));
    writeFile(store.settingsPath, "[setup]\ninterface=0\nusbid=03EB:6124\nusbserial=A7\n");
    const auto target = storedUsbTarget(store);
    ASSERT_TRUE(target);
    EXPECT_EQ(target->id, (UsbId{0x03eb, 0x6124}));
    EXPECT_EQ(target->serial, "A7");
    writeFile(store.settingsPath, "[setup]\nusbid=atmel\n");
    EXPECT_FALSE(storedUsbTarget(store));
}
