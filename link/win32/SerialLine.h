// The line settings as the Win32 DCB holds them. Internal to link/win32; the tests use it to
// check which bits of the port's record change.
#pragma once

#include <windows.h>

#include "link/SerialPort.h"

namespace tervan::os::win32 {

// The flow-control fields of the DCB flag word: fOutxCtsFlow (bit 2), fOutxDsrFlow (3),
// fDtrControl (4-5), fOutX (8), fInX (9) and fRtsControl (12-13). Clearing all of them is an
// AND of the flag word with ~kFlowControlBits, 0xFFFFCCC3.
inline constexpr DWORD kFlowControlBits = 0x0000333C;

// What the port reported, in the portable form.
SerialLineSettings lineSettingsOf(const DCB& dcb);

// Writes the portable settings into a DCB read from the port. Everything the portable form
// does not name (fBinary, fParity, fDsrSensitivity, fTXContinueOnXoff, fErrorChar, fNull,
// fAbortOnError, the XON/XOFF limits and characters) keeps the value the port reported.
void applyLineSettings(DCB& dcb, const SerialLineSettings& settings);

// The DCB flag word (the bit fields after BaudRate) as one number.
DWORD dcbFlagWord(const DCB& dcb);
void setDcbFlagWord(DCB& dcb, DWORD flags);

}  // namespace tervan::os::win32
