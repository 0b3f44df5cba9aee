// Where the program finds the things that live beside it: the settings file, the COM port
// links (ports/COMn) and the USB device interface folders (usb/{class}/<device>/).
#pragma once

#include <string>

namespace tervan {

// The name of the settings file, in the folder settingsFolder() gives.
inline constexpr const char* kSettingsFileName = "tervan.ini";

// The full path of the running executable; empty when the system does not tell.
std::string executablePath();

// The last part of `path`: what follows its last separator (on Windows a backslash or a
// slash, never the second byte of a double-byte character), or all of it without one.
std::string fileNameOf(const std::string& path);

// The folder of the running executable, without a trailing separator.
std::string executableDirectory();

// A file of that folder: the folder, the platform's separator, the name.
std::string besideProgram(const std::string& name);

// The folder of the user's files: the settings file and, below it, ports/ and usb/. On Windows
// the executable's folder. On Linux the executable's folder when it holds a settings file or
// the user may write it, so a copy unpacked anywhere keeps everything beside itself; otherwise
// (a program installed for the whole system) the user's configuration folder,
// $XDG_CONFIG_HOME/tervan or ~/.config/tervan, which the first write makes.
std::string settingsFolder();

// A file of that folder: the folder, the platform's separator, the name.
std::string inSettingsFolder(const std::string& name);

// The choice settingsFolder() makes on Linux for a program in `programFolder`, given the
// values of XDG_CONFIG_HOME and HOME (null when unset; a relative value counts as unset).
// Folders below /usr belong to the system's packages and count as not the user's even for
// root, who could write them. Only the POSIX builds have it: Windows keeps the settings beside
// the program.
std::string settingsFolderFor(const std::string& programFolder, const char* configHome,
                              const char* home);

// The folder below which ports/ and usb/ are looked up: settingsFolder() unless a caller (a
// test, or the command line's --root) has named another one.
std::string deviceRoot();
void setDeviceRoot(const std::string& folder);  // an empty text restores the default

// The folder below which the system's own files are read when the tool looks into why a port
// misbehaves or how its adapter is tuned (/proc, /sys, /etc, /usr, /dev listings): empty for
// the machine itself; a test names a tree of its own.
std::string systemRoot();
void setSystemRoot(const std::string& folder);

}  // namespace tervan
