// The console on Win32: the progress bar redraws in place on a console that processes
// escape sequences (Windows 10 and later, once asked to). Writing to a pipe whose reader has
// gone only fails; there is no signal to ignore.
#include "cli/Terminal.h"

#include <io.h>
#include <windows.h>

namespace tervan::cli {

void prepareProcess() {}

namespace {

std::atomic<bool>* interruptFlag = nullptr;

// Runs on a thread the console starts: it only raises the flag, and TRUE keeps the program
// alive until every board has stopped.
BOOL WINAPI onConsoleControl(DWORD event) {
    if ((event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) && interruptFlag != nullptr) {
        interruptFlag->store(true);
        return TRUE;
    }
    return FALSE;
}

}  // namespace

void catchInterrupt(std::atomic<bool>& flag) {
    interruptFlag = &flag;
    ::SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

void keepInterruptAway() {}

bool redrawsInPlace(std::FILE* out) {
    const int fd = ::_fileno(out);
    // _isatty is also true for NUL and other character devices; only a console has a mode.
    if (fd < 0 || ::_isatty(fd) == 0) {
        return false;
    }
    const HANDLE console = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    DWORD mode = 0;
    if (console == INVALID_HANDLE_VALUE || ::GetConsoleMode(console, &mode) == FALSE) {
        return false;
    }
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) {
        return true;
    }
    return ::SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != FALSE;
}

}  // namespace tervan::cli
