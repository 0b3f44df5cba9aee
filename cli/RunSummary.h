// The end of a download run: the summary of every board and the run's exit status.
#pragma once

#include <memory>
#include <vector>

#include "cli/BoardLine.h"

namespace tervan::cli {

// Says how the run went (a fault in the trace, a stop, the summary table or the result event)
// and returns its exit status. `seconds` is the run's length, `traceError` how writing the
// trace ended.
int summarise(Shared& shared, std::vector<std::unique_ptr<PortLine>>& lines, double seconds,
              int traceError);

}  // namespace tervan::cli
