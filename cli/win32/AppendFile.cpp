// Appending on Win32: a handle opened with FILE_APPEND_DATA (and no FILE_WRITE_DATA) writes at
// the end of the file in one step, so lines written by several threads or processes never
// overlap or interleave. A lock on a byte far past any end keeps copies of the program from
// seeing each other between the check of the file's end and the write.
#include "cli/AppendFile.h"

#include <windows.h>

#include <cstdio>

namespace tervan::cli {
namespace {

// What the system says about the name alone: a pipe (\\.\pipe\...) or a folder.
std::string kindOfName(const std::string& path) {
    if (path.size() > 9 &&
        (path.compare(0, 9, "\\\\.\\pipe\\") == 0 || path.compare(0, 9, "\\\\?\\pipe\\") == 0)) {
        return "a pipe";
    }
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return "a folder";
    }
    return {};
}

// A disk file or a character device (CON, NUL); anything else is closed and refused.
bool takes(HANDLE file) {
    const DWORD type = ::GetFileType(file);
    return type == FILE_TYPE_DISK || type == FILE_TYPE_CHAR;
}

}  // namespace

std::string unwritableKind(const std::string& path) {
    return kindOfName(path);
}

int appendToFile(const std::string& path, const std::string& text) {
    if (!kindOfName(path).empty()) {
        return kNotAWritableFile;
    }
    const HANDLE file = ::CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return static_cast<int>(::GetLastError());
    }
    if (!takes(file)) {
        ::CloseHandle(file);
        return kNotAWritableFile;
    }
    const bool disk = ::GetFileType(file) == FILE_TYPE_DISK;
    OVERLAPPED lockPlace{};
    lockPlace.Offset = 0xFFFFFFFE;
    lockPlace.OffsetHigh = 0x7FFFFFFF;
    const bool locked = disk && !text.empty() &&
                        ::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lockPlace) != FALSE;
    std::string whole;
    LARGE_INTEGER size{};
    if (disk && !text.empty() && ::GetFileSizeEx(file, &size) != FALSE && size.QuadPart > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>((size.QuadPart - 1) & 0xFFFFFFFF);
        at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
        char last = '\n';
        DWORD read = 0;
        if (::ReadFile(file, &last, 1, &read, &at) != FALSE && read == 1 && last != '\n') {
            whole.push_back('\n');  // a line cut short before: this text starts a line of its own
        }
    }
    whole += text;
    int error = 0;
    DWORD written = 0;
    if (!whole.empty() && (::WriteFile(file, whole.data(), static_cast<DWORD>(whole.size()),
                                       &written, nullptr) == FALSE ||
                           written != whole.size())) {
        error = static_cast<int>(::GetLastError());
        if (error == 0) {
            error = ERROR_WRITE_FAULT;
        }
    } else if (disk && !whole.empty() && ::FlushFileBuffers(file) == FALSE) {
        error = static_cast<int>(::GetLastError());
    }
    if (locked) {
        ::UnlockFileEx(file, 0, 1, 0, &lockPlace);
    }
    ::CloseHandle(file);
    return error;
}

std::FILE* createPrivateFile(const std::string& path, int& error) {
    if (!kindOfName(path).empty()) {
        error = kNotAWritableFile;
        return nullptr;
    }
    // The folders a user writes to keep others out already; the file takes their rights.
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        error = static_cast<int>(::GetLastError());
    }
    return file;
}

}  // namespace tervan::cli
