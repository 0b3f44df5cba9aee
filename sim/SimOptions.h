// The command line of tervan-target-sim.
#pragma once

#include <string>
#include <vector>

#include "sim/TargetSimulator.h"

namespace tervan::sim {

struct SimOptions {
    SimConfig config;  // root stays empty unless --root is given
    bool help = false;
};

// Reads the arguments after the program name. False with a reason on an unknown option, a
// missing or malformed value.
bool parseSimOptions(const std::vector<std::string>& args, SimOptions& options, std::string& error);

std::string simUsage();

}  // namespace tervan::sim
