// Helpers shared by the fuzz targets: a check that stops the run with a readable reason, and
// a scratch folder that lives as long as the fuzzing process.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

// A broken invariant is a crash for the fuzzer: it keeps the input that caused it.
#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

namespace tervan::fuzz {

// A fresh folder for this process, in memory when the system offers it (the settings store
// syncs every write to disk), removed when the process ends.
inline std::string scratchFolder(const char* name) {
    static std::string folder;
    if (!folder.empty()) {
        return folder;
    }
    std::string base = "/dev/shm";
    if (::access(base.c_str(), W_OK) != 0) {
        base = std::filesystem::temp_directory_path().string();
    }
    std::string pattern = base + "/tervan-fuzz-" + name + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    folder = pattern;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    });
    return folder;
}

}  // namespace tervan::fuzz
