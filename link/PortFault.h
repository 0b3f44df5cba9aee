// Why a port could not be opened, from the system's error code.
#pragma once

namespace tervan {

enum class PortFault { None, Missing, Busy, Denied, Other };

PortFault portFaultOf(int systemError);

}  // namespace tervan
