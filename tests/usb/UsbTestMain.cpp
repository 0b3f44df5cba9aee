// The USB tests' main: the program runs itself again beneath umockdev's preload library, which
// redirects /sys and /dev to the test bed and hands the device files' ioctls to it. Where that
// fails (no library, a sanitizer that refuses the preload) the run goes on without it and the
// tests report themselves skipped.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr const char* kPreload = "libumockdev-preload.so.0";
constexpr const char* kTriedMark = "TERVAN_UMOCKDEV_TRIED";

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

void runBeneathPreload(char** argv) {
    const char* preload = std::getenv("LD_PRELOAD");
    if ((preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr) ||
        std::getenv(kTriedMark) != nullptr) {
        return;  // already beneath it, or it was tried: never loop
    }
    std::string libraries = kPreload;
    if (preload != nullptr && *preload != '\0') {
        libraries += std::string(":") + preload;
    }
    if (kAddressSanitizer) {
        // ASan wants its runtime first in the library list; umockdev's comes first here.
        const char* options = std::getenv("ASAN_OPTIONS");
        std::string asan = options != nullptr ? options : "";
        asan += std::string(asan.empty() ? "" : ":") + "verify_asan_link_order=0";
        ::setenv("ASAN_OPTIONS", asan.c_str(), 1);
    }
    ::setenv(kTriedMark, "1", 1);
    ::setenv("LD_PRELOAD", libraries.c_str(), 1);
    ::execv("/proc/self/exe", argv);
    // The exec failed: run without the preload, and the tests skip.
    if (preload != nullptr) {
        ::setenv("LD_PRELOAD", libraries.c_str() + std::strlen(kPreload) + 1, 1);
    } else {
        ::unsetenv("LD_PRELOAD");
    }
}

}  // namespace

int main(int argc, char** argv) {
    runBeneathPreload(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
