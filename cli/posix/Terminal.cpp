// The terminal on POSIX: a tty whose TERM is not "dumb" redraws lines in place; a reader
// that goes away must not end the program by SIGPIPE.
#include "cli/Terminal.h"

#include <pthread.h>
#include <signal.h>
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

namespace {

std::atomic<bool>* interruptFlag = nullptr;

extern "C" void onInterrupt(int) {
    if (interruptFlag != nullptr) {
        interruptFlag->store(true);  // lock-free: safe in a signal handler
    }
}

}  // namespace

void catchInterrupt(std::atomic<bool>& flag) {
    interruptFlag = &flag;
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
}

void keepInterruptAway() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

bool redrawsInPlace(std::FILE* out) {
    const char* term = std::getenv("TERM");
    const bool dumb = term != nullptr && std::string(term) == "dumb";
    return ::isatty(::fileno(out)) == 1 && !dumb;
}

}  // namespace tervan::cli
