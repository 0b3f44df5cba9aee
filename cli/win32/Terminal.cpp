// The console on Win32: the progress bar redraws in place on a console that processes
// escape sequences (Windows 10 and later, once asked to). Writing to a pipe whose reader has
// gone only fails; there is no signal to ignore.
#include "cli/Terminal.h"

#include <io.h>
#include <windows.h>

#include <thread>

namespace tervan::cli {

void prepareProcess() {}

namespace {

// Static storage: the console may call the handler at any time up to the end of the program.
std::atomic<bool> interruptFlag{false};
std::atomic<DWORD> interruptEvent{CTRL_C_EVENT};
std::atomic<bool> runStopped{false};

// How long a console that is being closed waits for the boards to stop: Windows ends the
// program five seconds after the close, whatever the handler does.
constexpr DWORD kCloseWaitMs = 4500;

// Runs on a thread the console starts: it raises the flag, and TRUE keeps the program alive
// until every board has stopped. On a close, log-off or shut-down the program ends when the
// handler returns, so it waits for the run to put everything back first.
BOOL WINAPI onConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            interruptEvent.store(event);
            interruptFlag.store(true);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT: {
            interruptEvent.store(event);
            interruptFlag.store(true);
            for (DWORD waited = 0; !runStopped.load() && waited < kCloseWaitMs; waited += 50) {
                ::Sleep(50);
            }
            return TRUE;
        }
        default:
            return FALSE;
    }
}

}  // namespace

std::atomic<bool>& catchInterrupt() {
    runStopped.store(false);
    interruptEvent.store(CTRL_C_EVENT);
    interruptFlag.store(false);
    static const bool installed = ::SetConsoleCtrlHandler(onConsoleControl, TRUE) != FALSE;
    (void)installed;
    return interruptFlag;
}

const char* interruptName() {
    switch (interruptEvent.load()) {
        case CTRL_BREAK_EVENT:
            return "Ctrl-Break";
        case CTRL_CLOSE_EVENT:
            return "closing the console";
        case CTRL_LOGOFF_EVENT:
            return "logging off";
        case CTRL_SHUTDOWN_EVENT:
            return "shutting down";
        default:
            return "Ctrl-C";
    }
}

void interruptHandled() {
    runStopped.store(true);
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

struct ExitKeyWatch::State {
    HANDLE input = INVALID_HANDLE_VALUE;
    DWORD savedMode = 0;
    std::atomic<bool> done{false};
    std::thread reader;
};

ExitKeyWatch::ExitKeyWatch(std::atomic<bool>& pressed) {
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == INVALID_HANDLE_VALUE || input == nullptr || ::GetConsoleMode(input, &mode) == 0) {
        return;  // no console: stdin is left alone
    }
    // Keys one by one and unechoed; processed input stays, so Ctrl-C still stops the run.
    if (::SetConsoleMode(input, mode & ~(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT)) == 0) {
        return;
    }
    state_ = std::make_unique<State>();
    state_->input = input;
    state_->savedMode = mode;
    State* state = state_.get();
    state_->reader = std::thread([state, &pressed] {
        while (!state->done.load()) {
            if (::WaitForSingleObject(state->input, 100) != WAIT_OBJECT_0) {
                continue;
            }
            INPUT_RECORD records[16];
            DWORD count = 0;
            if (::ReadConsoleInputA(state->input, records, 16, &count) == 0) {
                continue;
            }
            for (DWORD i = 0; i < count; ++i) {
                const INPUT_RECORD& record = records[i];
                if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown != 0 &&
                    record.Event.KeyEvent.uChar.AsciiChar == kExitKey) {
                    pressed.store(true);
                }
            }
        }
    });
}

ExitKeyWatch::~ExitKeyWatch() {
    if (state_) {
        state_->done.store(true);
        state_->reader.join();
        ::SetConsoleMode(state_->input, state_->savedMode);
    }
}

}  // namespace tervan::cli
