// What the Win32 window's procedure and its services share: the messages it posts to itself
// and the file chooser's figures. Private to the Win32 window.
#pragma once

#include <windows.h>

namespace tervan::win32 {

// Posted by WM_ACTIVATE, so that the image re-check runs after the default activation
// handling (focus restore). A handler's modal loop (a message box, the file chooser) may take
// it from the queue: the controller's HandlerGate then holds it until the outermost handler
// has returned.
inline constexpr UINT kActivatedMessage = WM_APP + 1;
// Posted for an activation the HandlerGate held (queueHeldActivation).
inline constexpr UINT kHeldActivationMessage = WM_APP + 2;
// Posted at start-up when the program was given an image file: taken once the dialog runs.
inline constexpr UINT kGivenImageFileMessage = WM_APP + 3;
// Posted for commands the HandlerGate held while a handler ran (queueHeldCommands).
inline constexpr UINT kHeldCommandsMessage = WM_APP + 4;

// "BIN *.bin" shows files matching "*.bin"; the literal's own zero ends the list.
inline constexpr char kImageFilter[] = "BIN *.bin\0*.bin\0";

// Windows paths may exceed MAX_PATH; the chooser gets room for long ones.
inline constexpr DWORD kChosenPathSize = 32768;

}  // namespace tervan::win32
