// The process and the terminal around the command line. One implementation per OS
// (cli/posix/Terminal.cpp, cli/win32/Terminal.cpp).
#pragma once

#include <atomic>
#include <cstdio>
#include <memory>

namespace tervan::cli {

// Run once at the start of the program, before anything is written.
void prepareProcess();

// Whether `out` is a terminal on which the progress bar can redraw its line in place
// (carriage return and the erase-line escape). On Windows this switches the console to
// escape processing when it offers it.
bool redrawsInPlace(std::FILE* out);

// From now on Ctrl-C, SIGTERM and SIGHUP (on Windows Ctrl-C, Ctrl-Break and closing the
// console) raise the returned flag instead of ending the program, so that every board can stop,
// close its port and leave its receipt. The flag lives as long as the program, so a signal that
// comes after the run has returned finds it still there; each call lowers it.
std::atomic<bool>& catchInterrupt();

// What raised the flag, for the closing line: "Ctrl-C", "SIGTERM", "SIGHUP", ...
const char* interruptName();

// The run has stopped every board and closed every port. On Windows a console that is being
// closed ends the program once this is said (or after a few seconds); nothing on POSIX.
void interruptHandled();

// Keeps those signals away from the calling thread (a board's), so that its reads and waits are
// never cut short by them: the thread that waits for the boards takes them. Nothing on Windows,
// where the console runs its handler on a thread of its own.
void keepInterruptAway();

// While one lives, a terminal on stdin is read key by key without echo, and Ctrl-] (the
// monitor's exit key) raises `pressed`; Ctrl-C still stops the run as before. Stdin that is no
// terminal is left alone. The terminal is put back as it was found when the watch ends.
class ExitKeyWatch {
public:
    explicit ExitKeyWatch(std::atomic<bool>& pressed);
    ~ExitKeyWatch();
    ExitKeyWatch(const ExitKeyWatch&) = delete;
    ExitKeyWatch& operator=(const ExitKeyWatch&) = delete;

    struct State;

private:
    std::unique_ptr<State> state_;
};

// The monitor's exit key: Ctrl-] (group separator).
inline constexpr char kExitKey = 0x1d;

}  // namespace tervan::cli
