// The USB tests' main: the program runs itself again beneath umockdev's preload library, which
// redirects /sys and /dev to the test bed and hands the device files' ioctls to it. Where that
// fails (no library, a sanitizer that refuses the preload) the run goes on without it and the
// tests report themselves skipped.
#include <gtest/gtest.h>

#include "sim/UsbBus.h"

int main(int argc, char** argv) {
    tervan::sim::runBeneathUsbPreload(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
