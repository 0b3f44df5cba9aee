// What a long run must not lose: open descriptors and resident memory of this process.
#pragma once

#include <dirent.h>

#include <fstream>
#include <string>

#if defined(__has_include)
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif
#endif

namespace tervan::testing {

// Open descriptors of this process (the listing's own descriptor not counted).
inline int openDescriptors() {
    DIR* folder = ::opendir("/proc/self/fd");
    if (folder == nullptr) {
        return -1;
    }
    int count = 0;
    while (const dirent* entry = ::readdir(folder)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    ::closedir(folder);
    return count - 1;
}

// Resident memory in KiB, from /proc/self/status.
inline long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word) {
        if (word == "VmRSS:") {
            long kib = -1;
            status >> kib;
            return kib;
        }
    }
    return -1;
}

// Under AddressSanitizer freed memory sits in quarantine and under Valgrind the tool's own
// memory is counted: resident memory then says little about the program.
inline bool memoryIsInstrumented() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
#ifdef RUNNING_ON_VALGRIND
    if (RUNNING_ON_VALGRIND) {
        return true;
    }
#endif
    return false;
}

}  // namespace tervan::testing
