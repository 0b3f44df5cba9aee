// The terminal on POSIX: a tty whose TERM is not "dumb" redraws lines in place; a reader
// that goes away must not end the program by SIGPIPE.
#include "cli/Terminal.h"

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>

namespace tervan::cli {

void prepareProcess() {
    // A reader that goes away (`tervan-cli --json | head -1`) must not end the program half-way
    // through writing the flash: output to it fails quietly and the download goes on.
    std::signal(SIGPIPE, SIG_IGN);
}

bool redrawsInPlace(std::FILE* out) {
    const char* term = std::getenv("TERM");
    const bool dumb = term != nullptr && std::string(term) == "dumb";
    return ::isatty(::fileno(out)) == 1 && !dumb;
}

}  // namespace tervan::cli
