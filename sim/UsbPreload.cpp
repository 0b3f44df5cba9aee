// Running a test program beneath umockdev's preload library, which the emulated bus needs.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/UsbBus.h"

namespace tervan::sim {
namespace {

constexpr const char* kPreload = "libumockdev-preload.so.0";
constexpr const char* kTriedMark = "TERVAN_UMOCKDEV_TRIED";

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

}  // namespace

void runBeneathUsbPreload(char** argv) {
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
    // The exec failed: run without the preload; the bus then reports itself inactive.
    if (preload != nullptr) {
        ::setenv("LD_PRELOAD", libraries.c_str() + std::strlen(kPreload) + 1, 1);
    } else {
        ::unsetenv("LD_PRELOAD");
    }
}

}  // namespace tervan::sim
