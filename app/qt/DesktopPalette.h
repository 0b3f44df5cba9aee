// The desktop's light or dark colour scheme. Qt takes its palette from the platform theme, and
// where that theme does not pass a dark scheme on (GNOME and others tell it through the desktop
// portal), the window would stay light on a dark desktop.
#pragma once

#include <QPalette>

namespace tervan::qt {

// Whether the desktop asks for dark colours (the portal's org.freedesktop.appearance
// color-scheme is 1, "prefer dark"). False where no portal answers.
bool desktopPrefersDark();

// A dark palette for the Fusion style, keeping the given palette's highlight colour.
QPalette darkPalette(const QPalette& from);

// Makes the application's palette dark when the desktop prefers dark colours and the palette
// Qt chose is a light one.
void followDesktopColourScheme();

}  // namespace tervan::qt
