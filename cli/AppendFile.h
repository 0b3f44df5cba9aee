// The files a run writes beside its output: the receipts, appended whole line by line by
// several boards or several copies of the program at once, and the trace. One implementation
// per OS (cli/posix/AppendFile.cpp, cli/win32/AppendFile.cpp).
#pragma once

#include <cstdio>
#include <string>

namespace tervan::cli {

// The error code for a path that names something receipts and the trace never go to: a pipe,
// a folder, a socket, a block device. Not a code the system uses.
inline constexpr int kNotAWritableFile = -1;

// What `path` is when receipts and the trace are never written to it ("a pipe (FIFO)", "a
// folder", ...): without opening it, so a pipe no program reads cannot hold the run up. Empty
// for a regular file, a character device such as /dev/stdout or /dev/null, and a path where
// nothing is yet.
std::string unwritableKind(const std::string& path);

// Adds `text` at the end of the file at `path` in one write, creating the file when it is
// missing and never truncating it. 0 when all of it is there (on disk, for a file), otherwise
// the system's error code or kNotAWritableFile. Opening with nothing to write checks that the
// file can be appended to.
//
// A write that fails part-way (a full disk) is taken back, so the file never ends in half a
// line; and when the file ends in half a line all the same (a machine that stopped in the
// middle of a write), the text starts on a line of its own.
int appendToFile(const std::string& path, const std::string& text);

// Creates the trace file (or empties it), readable and writable by its owner only since it
// holds the whole image. Never waits on what it opens. Null with `error` set when it cannot.
std::FILE* createPrivateFile(const std::string& path, int& error);

}  // namespace tervan::cli
