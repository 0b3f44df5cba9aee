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

// The signals that stop a run: Ctrl-C, a polite kill (service managers, `timeout`), and the
// terminal going away.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Static storage: the handler may run at any time up to the end of the program.
std::atomic<bool> interruptFlag{false};
std::atomic<int> interruptSignal{0};

extern "C" void onInterrupt(int signal) {
    // Both lock-free: safe in a signal handler.
    interruptSignal.store(signal);
    interruptFlag.store(true);
}

}  // namespace

std::atomic<bool>& catchInterrupt() {
    interruptSignal.store(0);
    interruptFlag.store(false);
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : kStopSignals) {
        ::sigaction(signal, &action, nullptr);
    }
    return interruptFlag;
}

const char* interruptName() {
    switch (interruptSignal.load()) {
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "Ctrl-C";
    }
}

void interruptHandled() {}

void keepInterruptAway() {
    sigset_t signals;
    sigemptyset(&signals);
    for (const int signal : kStopSignals) {
        sigaddset(&signals, signal);
    }
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

bool redrawsInPlace(std::FILE* out) {
    const char* term = std::getenv("TERM");
    const bool dumb = term != nullptr && std::string(term) == "dumb";
    return ::isatty(::fileno(out)) == 1 && !dumb;
}

}  // namespace tervan::cli
