// tervan-target-sim: runs the virtual target until SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "link/SystemPaths.h"
#include "sim/SimOptions.h"
#include "sim/TargetSimulator.h"

int main(int argc, char** argv) {
    using namespace tervan::sim;
    SimOptions options;
    std::string error;
    if (!parseSimOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::fprintf(stderr, "tervan-target-sim: %s\n%s", error.c_str(), simUsage().c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(simUsage().c_str(), stdout);
        return 0;
    }
    if (options.config.root.empty()) {
        // The tool's own folder; an installed copy's is made by its first write, and the target
        // may come first.
        options.config.root = tervan::settingsFolder();
        std::error_code ignored;
        if (std::filesystem::create_directories(options.config.root, ignored)) {
            ::chmod(options.config.root.c_str(), 0700);
        }
    }

    // The signals are taken by sigwait below; blocking them first keeps them away from the
    // loader's thread.
    sigset_t signals;
    sigemptyset(&signals);
    for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) {
        sigaddset(&signals, s);
    }
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    TargetSimulator target(options.config);
    if (!target.start(&error)) {
        std::fprintf(stderr, "tervan-target-sim: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", target.description().c_str());
    std::fflush(stdout);

    for (;;) {
        int received = 0;
        if (sigwait(&signals, &received) != 0) {
            continue;
        }
        if (received == SIGUSR1) {
            target.reset();
        } else if (received == SIGUSR2) {
            if (!target.writeOutputs(&error)) {
                std::fprintf(stderr, "tervan-target-sim: %s\n", error.c_str());
            }
        } else {
            break;
        }
    }
    target.stop();
    return 0;
}
