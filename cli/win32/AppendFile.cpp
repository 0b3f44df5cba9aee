// Appending on Win32: a handle opened with only FILE_APPEND_DATA writes at the end of the file
// in one step, so lines written by several threads or processes never overlap or interleave.
#include "cli/AppendFile.h"

#include <windows.h>

namespace tervan::cli {

int appendToFile(const std::string& path, const std::string& text) {
    const HANDLE file = ::CreateFileA(path.c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return static_cast<int>(::GetLastError());
    }
    int error = 0;
    DWORD written = 0;
    if (!text.empty() && (::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written,
                                      nullptr) == FALSE ||
                          written != text.size())) {
        error = static_cast<int>(::GetLastError());
        if (error == 0) {
            error = ERROR_WRITE_FAULT;
        }
    }
    ::CloseHandle(file);
    return error;
}

}  // namespace tervan::cli
