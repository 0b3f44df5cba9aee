// The command line of tervan-cli, parsed into what the run needs. Choices left out stay
// empty: they come from the stored settings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/ImageFormats.h"
#include "link/UsbTarget.h"

namespace tervan::cli {

enum class CliAction { Download, ListPorts, Link, UdevRule, Help, Version };
enum class FollowUp { None, Reset, Run };
enum class OutputStyle { Auto, Json };

// One --port as given, and what it stands for.
struct PortChoice {
    std::string given;  // as typed: "COM3", "/dev/ttyUSB0"
    std::string path;   // "\\.\COM3", or the device path as it is
    std::optional<std::int32_t> comIndex;
};

struct CliOptions {
    CliAction action = CliAction::Download;
    std::optional<std::int32_t> interfaceKind;  // 0 USB, 1 serial
    std::optional<std::string> comPortPath;     // "\\.\COMn" or a device path
    std::optional<std::int32_t> comIndex;       // port number - 1, for a COM name
    std::optional<std::int32_t> targetModel;    // 0 SAM7S256/128, 1 SAM7S64/32
    std::optional<std::int32_t> targetMemory;   // 0 flash, 1 RAM
    FollowUp then = FollowUp::None;
    std::string imagePath;
    // --format, or else what the image's name says; --base: the address of the image's first
    // byte, for a file that carries addresses.
    ImageFormat imageFormat = ImageFormat::Bin;
    std::optional<ImageFormat> givenFormat;
    std::optional<std::uint32_t> imageBase;
    std::string deviceRoot;  // empty: the program's folder
    OutputStyle output = OutputStyle::Auto;
    bool quiet = false;
    // --link COMn DEVICE: the port number (1 ... 10) and the device it is to lead to.
    std::int32_t linkNumber = 0;
    std::string linkDevice;
    bool force = false;  // --link may replace a link that leads elsewhere

    // Every --port in order; comPortPath and comIndex hold the first. Each is a board of its
    // own, written at the same time as the others.
    std::vector<PortChoice> ports;
    std::vector<std::string> usbDevices;  // every --device NAME, in order
    bool allUsbDevices = false;           // --all: every device of the target's class
    int repeat = 1;                       // boards one after another per port; 0 until Ctrl-C
    std::optional<int> waitSeconds;       // the wait for each board after the first
    // --usb-id VID:PID, --usb-serial S: the target on the USB bus itself (Linux); when left
    // out, the stored setting, and without one the target's pipe folders.
    std::optional<UsbId> usbId;
    std::string usbSerial;
    std::optional<UsbId> udevRuleId;  // --udev-rule VID:PID
    std::string receiptPath;          // empty: no receipts
    std::string tracePath;            // empty: no trace
    // --monitor [BAUD]: after the follow-up the port stays open and what the board sends is
    // shown, at this speed; --monitor-seconds ends it, --timestamps and --log go with it.
    std::optional<std::uint32_t> monitorBaud;
    std::optional<int> monitorSeconds;  // empty: until Ctrl-C or Ctrl-]
    bool timestamps = false;
    std::string logPath;  // empty: no copy
};

// The monitor's speed when --monitor names none: the loader's own; and the highest it takes.
inline constexpr std::uint32_t kMonitorDefaultBaud = 115200;
inline constexpr int kMonitorHighestBaud = 4000000;

struct ParsedCommandLine {
    CliOptions options;
    std::string error;  // empty when the command line is usable
};

// Parses the arguments after the program name. Options take their value as the next
// argument or after '='; "--" ends the options.
ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments);

// The highest port number the command line accepts; the window lists ten, a link in ports/
// or Windows itself may name more.
inline constexpr std::int32_t kHighestComNumber = 256;

// "COM3" (any case) or "\\.\COM3" as the controller's port path and list index; nothing for
// a text that names no COM port.
struct ComName {
    std::string path;
    std::int32_t index = 0;
};
std::optional<ComName> parseComName(const std::string& text);

// --help, with every option's lines from the option table.
std::string usageText(const std::string& program);

// Every option the command line takes, in --help's order; `shownWith` names the option whose
// lines also describe this one.
struct OptionName {
    std::string name;
    std::string shortName;
    std::string shownWith;
};
std::vector<OptionName> optionNames();

}  // namespace tervan::cli
