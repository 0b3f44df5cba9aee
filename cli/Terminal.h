// The process and the terminal around the command line. One implementation per OS
// (cli/posix/Terminal.cpp, cli/win32/Terminal.cpp).
#pragma once

#include <cstdio>

namespace tervan::cli {

// Run once at the start of the program, before anything is written.
void prepareProcess();

// Whether `out` is a terminal on which the progress bar can redraw its line in place
// (carriage return and the erase-line escape). On Windows this switches the console to
// escape processing when it offers it.
bool redrawsInPlace(std::FILE* out);

}  // namespace tervan::cli
