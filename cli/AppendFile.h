// Appending whole lines to a file that other boards, or other copies of the program, append to
// at the same time. One implementation per OS (cli/posix/AppendFile.cpp,
// cli/win32/AppendFile.cpp).
#pragma once

#include <string>

namespace tervan::cli {

// Adds `text` at the end of the file at `path` in one write, creating the file when it is
// missing and never truncating it. 0 when done, otherwise the system's error code. Opening
// with nothing to write checks that the file can be appended to.
int appendToFile(const std::string& path, const std::string& text);

}  // namespace tervan::cli
