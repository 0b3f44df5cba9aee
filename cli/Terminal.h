// The process and the terminal around the command line. One implementation per OS
// (cli/posix/Terminal.cpp, cli/win32/Terminal.cpp).
#pragma once

#include <atomic>
#include <cstdio>

namespace tervan::cli {

// Run once at the start of the program, before anything is written.
void prepareProcess();

// Whether `out` is a terminal on which the progress bar can redraw its line in place
// (carriage return and the erase-line escape). On Windows this switches the console to
// escape processing when it offers it.
bool redrawsInPlace(std::FILE* out);

// From now on Ctrl-C (SIGINT; on Windows Ctrl-C and Ctrl-Break) sets `flag` instead of ending
// the program, so that every board can stop and close its port.
void catchInterrupt(std::atomic<bool>& flag);

// Keeps Ctrl-C away from the calling thread (a board's), so that its reads and waits are never
// cut short by the signal: the thread that waits for the boards takes it. Nothing on Windows,
// where the console runs its handler on a thread of its own.
void keepInterruptAway();

}  // namespace tervan::cli
