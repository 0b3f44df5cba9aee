// tervan-cli: the downloader for scripts and build pipelines. Run with --help for the options.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/CliRun.h"

int main(int argc, char** argv) {
    // A reader that goes away (`tervan-cli --json | head -1`) must not end the program half-way
    // through writing the flash: output to it fails quietly and the download goes on.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    return tervan::cli::runCommandLine(arguments, stdout, stderr);
}
