// tervan-cli: the downloader for scripts and build pipelines. Run with --help for the options.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/CliRun.h"
#include "cli/Terminal.h"

int main(int argc, char** argv) {
    tervan::cli::prepareProcess();
    std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    return tervan::cli::runCommandLine(arguments, stdout, stderr);
}
