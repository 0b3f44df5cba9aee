// The terminal on POSIX: a tty whose TERM is not "dumb" redraws lines in place; a reader
// that goes away must not end the program by SIGPIPE.
#include "cli/Terminal.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

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

struct ExitKeyWatch::State {
    termios saved{};
    std::atomic<bool> done{false};
    std::thread reader;
};

ExitKeyWatch::ExitKeyWatch(std::atomic<bool>& pressed) {
    termios saved{};
    // A run in the background (`&`) leaves the terminal to the shell: changing or reading it
    // from there would stop the program (SIGTTOU, SIGTTIN).
    if (::isatty(STDIN_FILENO) != 1 || ::tcgetpgrp(STDIN_FILENO) != ::getpgrp() ||
        ::tcgetattr(STDIN_FILENO, &saved) != 0) {
        return;
    }
    // Keys one by one and unechoed; ISIG stays, so Ctrl-C is still the stop signal.
    termios keys = saved;
    keys.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    keys.c_cc[VMIN] = 0;
    keys.c_cc[VTIME] = 0;
    if (::tcsetattr(STDIN_FILENO, TCSANOW, &keys) != 0) {
        return;
    }
    state_ = std::make_unique<State>();
    state_->saved = saved;
    State* state = state_.get();
    state_->reader = std::thread([state, &pressed] {
        keepInterruptAway();
        while (!state->done.load()) {
            pollfd entry{STDIN_FILENO, POLLIN, 0};
            if (::poll(&entry, 1, 100) <= 0) {
                continue;
            }
            // A terminal that hung up has no more keys: stop looking instead of spinning.
            if ((entry.revents & POLLIN) == 0) {
                break;
            }
            char keys[64];
            const ssize_t n = ::read(STDIN_FILENO, keys, sizeof keys);
            for (ssize_t i = 0; i < n; ++i) {
                if (keys[i] == kExitKey) {
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
        ::tcsetattr(STDIN_FILENO, TCSANOW, &state_->saved);
    }
}

}  // namespace tervan::cli
