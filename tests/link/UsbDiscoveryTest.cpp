// enumerateUsbDevices over device folders below a temporary device root.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "LinkTestSupport.h"
#include "link/SystemPaths.h"
#include "link/UsbPipeLink.h"
#include "support/DeviceRootTest.h"
#include "support/TempDir.h"

using namespace tervan;
using tervan::testing::DeviceRootTest;
using tervan::testing::FifoDevice;
using tervan::testing::usbClassFolder;
using tervan::testing::writeFile;

namespace {

class UsbDiscoveryTest : public DeviceRootTest {
protected:
    std::string deviceFolder(const std::string& name) {
        return usbClassFolder(dir.path()) + "/" + name;
    }

    UsbDevicePaths paths{"stale entry"};
};

}  // namespace

TEST_F(UsbDiscoveryTest, NoUsbFolderMeansNoDevice) {
    EXPECT_EQ(enumerateUsbDevices(paths), 0);
    EXPECT_TRUE(paths.empty());
}

TEST_F(UsbDiscoveryTest, EmptyClassFolderMeansNoDevice) {
    std::filesystem::create_directories(usbClassFolder(dir.path()));
    // Another class's device is not ours.
    std::filesystem::create_directories(dir.file("usb/{00000000-0000-0000-0000-000000000000}/x"));
    EXPECT_EQ(enumerateUsbDevices(paths), 0);
    EXPECT_TRUE(paths.empty());
}

TEST_F(UsbDiscoveryTest, OneDeviceFolderGivesItsFullPath) {
    FifoDevice device(deviceFolder("target-1"));
    EXPECT_EQ(enumerateUsbDevices(paths), 1);
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths[0], device.path());
    // The path found opens as a device.
    device.attach();
    UsbPipeLink link;
    EXPECT_EQ(link.open(paths[0].c_str()), LINK_OK);
}

TEST_F(UsbDiscoveryTest, TwoDeviceFoldersAreListedByName) {
    FifoDevice second(deviceFolder("target-b"));
    FifoDevice first(deviceFolder("target-a"));
    EXPECT_EQ(enumerateUsbDevices(paths), 2);
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(paths[0], first.path());
    EXPECT_EQ(paths[1], second.path());
}

TEST_F(UsbDiscoveryTest, OnlyVisibleFoldersCount) {
    FifoDevice device(deviceFolder("target-1"));
    writeFile(deviceFolder("notes.txt"), "not a device");
    std::filesystem::create_directories(deviceFolder(".being-set-up"));
    std::filesystem::create_symlink(deviceFolder("nowhere"), deviceFolder("dangling"));
    EXPECT_EQ(enumerateUsbDevices(paths), 1);
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths[0], device.path());
}

TEST_F(UsbDiscoveryTest, AtMost128DevicesAreListed) {
    for (int i = 0; i < 130; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "dev%03d", i);
        std::filesystem::create_directories(deviceFolder(name));
    }
    EXPECT_EQ(enumerateUsbDevices(paths), 128);
    ASSERT_EQ(paths.size(), kMaxUsbDevices);
    EXPECT_EQ(paths.front(), deviceFolder("dev000"));
    EXPECT_EQ(paths.back(), deviceFolder("dev127"));
}

TEST_F(UsbDiscoveryTest, PathsLongerThanTheRecordAreLeftOut) {
    const std::string base = usbClassFolder(dir.path()) + "/";
    const std::string longest = base + std::string(kDevicePathSize - 1 - base.size(), 'a');
    const std::string tooLong = base + std::string(kDevicePathSize - base.size(), 'b');
    std::filesystem::create_directories(longest);
    std::filesystem::create_directories(tooLong);
    EXPECT_EQ(enumerateUsbDevices(paths), 1);
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths[0], longest);
    EXPECT_EQ(paths[0].size(), kDevicePathSize - 1);
}

TEST_F(UsbDiscoveryTest, EachEnumerationReplacesThePreviousList) {
    FifoDevice first(deviceFolder("a"));
    FifoDevice second(deviceFolder("b"));
    EXPECT_EQ(enumerateUsbDevices(paths), 2);
    std::filesystem::remove_all(second.path());
    EXPECT_EQ(enumerateUsbDevices(paths), 1);
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths[0], first.path());
}
