// The transport as a test parameter: printed by name (not as its bytes) in the test list and in
// failure messages, and naming the instantiated tests.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "sim/TargetSimulator.h"

namespace tervan::sim {

// Found through the parameter's type, by GoogleTest's printer.
inline void PrintTo(SimConfig::Transport transport, std::ostream* out) {
    *out << (transport == SimConfig::Transport::Usb ? "Usb" : "Serial");
}

}  // namespace tervan::sim

namespace tervan::testing {

inline std::string transportName(const ::testing::TestParamInfo<sim::SimConfig::Transport>& info) {
    return ::testing::PrintToString(info.param);
}

}  // namespace tervan::testing
