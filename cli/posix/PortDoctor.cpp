#include "cli/posix/PortDoctor.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "cli/SystemPorts.h"
#include "link/Processes.h"
#include "link/SystemPaths.h"
#include "link/Terminals.h"

namespace tervan::cli {
namespace {

namespace fs = std::filesystem;

struct GroupEntry {
    std::string name;
    std::vector<std::string> members;
};

struct UserEntry {
    std::string name;
    unsigned primaryGroup = 0;
};

// The fields of one line of a colon-separated database (/etc/group, /etc/passwd).
std::vector<std::string> fieldsOf(const std::string& line) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    std::string field;
    while (std::getline(in, field, ':')) {
        fields.push_back(field);
    }
    if (!line.empty() && line.back() == ':') {
        fields.emplace_back();
    }
    return fields;
}

// The line of a database file whose third field is `id`.
std::optional<std::vector<std::string>> databaseLine(const std::string& file, unsigned id) {
    std::ifstream in(systemRoot() + file);
    std::string line;
    while (std::getline(in, line)) {
        const auto fields = fieldsOf(line);
        if (fields.size() >= 4 && fields[2] == std::to_string(id)) {
            return fields;
        }
    }
    return std::nullopt;
}

// The machine's own databases go through the system's name services (files, LDAP, ...); a
// tree of a test's own is read as files.
std::optional<GroupEntry> groupById(unsigned gid) {
    if (!systemRoot().empty()) {
        const auto fields = databaseLine("/etc/group", gid);
        if (!fields) {
            return std::nullopt;
        }
        GroupEntry entry{(*fields)[0], {}};
        std::stringstream members((*fields)[3]);
        for (std::string member; std::getline(members, member, ',');) {
            entry.members.push_back(member);
        }
        return entry;
    }
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    GroupEntry result{found->gr_name, {}};
    for (char** member = found->gr_mem; member != nullptr && *member != nullptr; ++member) {
        result.members.emplace_back(*member);
    }
    return result;
}

std::optional<UserEntry> userById(unsigned uid) {
    if (!systemRoot().empty()) {
        const auto fields = databaseLine("/etc/passwd", uid);
        if (!fields) {
            return std::nullopt;
        }
        return UserEntry{(*fields)[0],
                         static_cast<unsigned>(std::strtoul((*fields)[3].c_str(), nullptr, 10))};
    }
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    return UserEntry{found->pw_name, found->pw_gid};
}

// The numbers after "Name:" on a line of /proc/self/status.
std::vector<unsigned> statusNumbers(const std::string& name) {
    std::ifstream in(systemRoot() + "/proc/self/status");
    std::string line;
    std::vector<unsigned> numbers;
    while (std::getline(in, line)) {
        if (line.rfind(name + ":", 0) == 0) {
            std::stringstream values(line.substr(name.size() + 1));
            for (unsigned value = 0; values >> value;) {
                numbers.push_back(value);
            }
        }
    }
    return numbers;
}

// The user this process runs as, and the groups this login has: the ones the process was
// started with, which a change of the group database does not reach until the next login.
unsigned processUser() {
    const auto uids = statusNumbers("Uid");
    return uids.size() >= 2 ? uids[1] : ::geteuid();
}

bool loginHasGroup(unsigned gid) {
    auto groups = statusNumbers("Groups");
    const auto gids = statusNumbers("Gid");
    groups.insert(groups.end(), gids.begin(), gids.end());
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

// "0600" for the permission bits of a mode.
std::string octalMode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// The tty name behind a device path: /dev/serial/by-id/usb-... leads to ttyUSB0.
std::string ttyNameOf(const std::string& device) {
    char resolved[PATH_MAX];
    return fileNameOf(::realpath(device.c_str(), resolved) != nullptr ? resolved : device);
}

bool processRuns(const std::string& command) {
    std::error_code error;
    for (fs::directory_iterator process(systemRoot() + "/proc", error), end;
         !error && process != end; process.increment(error)) {
        std::ifstream in(process->path() / "comm");
        std::string name;
        if (std::getline(in, name) && name == command) {
            return true;
        }
    }
    return false;
}

bool programInstalled(const std::string& name) {
    std::error_code error;
    for (const char* folder : {"/usr/bin/", "/bin/", "/usr/sbin/", "/sbin/"}) {
        if (fs::exists(systemRoot() + folder + name, error)) {
            return true;
        }
    }
    return false;
}

// USB-serial adapters that brltty's rules claim as braille displays.
struct ClaimedAdapter {
    const char* vendor;
    const char* product;
    const char* kind;
};
constexpr ClaimedAdapter kClaimedAdapters[] = {
    {"1a86", "7523", "CH340"},
    {"1a86", "5523", "CH341"},
    {"10c4", "ea60", "CP210x"},
    {"0403", "6001", "FTDI"},
};

// Whether a USB device's folder holds a tty: the adapter kept its port.
bool hasTty(const fs::path& usbDevice) {
    std::error_code error;
    for (fs::recursive_directory_iterator entry(usbDevice, error), end; !error && entry != end;
         entry.increment(error)) {
        if (entry.depth() > 3) {
            entry.disable_recursion_pending();
        } else if (entry->path().filename().string().rfind("tty", 0) == 0) {
            return true;
        }
    }
    return false;
}

// The first attached USB device of a kind brltty claims that has no port: "1a86:7523 (CH340)".
std::string claimedAdapterPresent() {
    std::error_code error;
    for (fs::directory_iterator usb(systemRoot() + "/sys/bus/usb/devices", error), end;
         !error && usb != end; usb.increment(error)) {
        std::ifstream vendorFile(usb->path() / "idVendor");
        std::ifstream productFile(usb->path() / "idProduct");
        std::string vendor;
        std::string product;
        std::getline(vendorFile, vendor);
        std::getline(productFile, product);
        for (const auto& adapter : kClaimedAdapters) {
            if (vendor == adapter.vendor && product == adapter.product && !hasTty(usb->path())) {
                return vendor + ":" + product + " (" + adapter.kind + ")";
            }
        }
    }
    return {};
}

// The processes holding an flock on the file `target`, from /proc/locks: lines such as
// "1: FLOCK  ADVISORY  WRITE 1234 00:05:3 0 EOF", the file as major:minor (hex) of its file
// system and its inode; "1: -> FLOCK ..." are waiters, not holders.
std::vector<long> flockHolders(const struct stat& target) {
    std::vector<long> holders;
    std::ifstream in(systemRoot() + "/proc/locks");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string number;
        std::string kind;
        std::string mode;
        std::string access;
        long pid = 0;
        std::string file;
        if (!(fields >> number >> kind >> mode >> access >> pid >> file) || kind != "FLOCK") {
            continue;
        }
        unsigned fsMajor = 0;
        unsigned fsMinor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(file.c_str(), "%x:%x:%llu", &fsMajor, &fsMinor, &inode) == 3 &&
            fsMajor == major(target.st_dev) && fsMinor == minor(target.st_dev) &&
            inode == static_cast<unsigned long long>(target.st_ino) && pid > 0) {
            holders.push_back(pid);
        }
    }
    return holders;
}

}  // namespace

std::vector<PortHolder> portHolders(const std::string& device) {
    struct stat target {};
    if (device.empty() || ::stat(device.c_str(), &target) != 0) {
        return {};
    }
    const long self = static_cast<long>(::getpid());
    std::vector<PortHolder> holders;
    for (const long pid : os::posix::processesWithOpen(target)) {
        holders.push_back({pid, {}, false});
    }
    std::sort(holders.begin(), holders.end(),
              [](const PortHolder& a, const PortHolder& b) { return a.pid < b.pid; });
    // The lock's holder goes first: it is the program that took the port.
    const auto locking = flockHolders(target);
    for (auto lockPid = locking.rbegin(); lockPid != locking.rend(); ++lockPid) {
        if (*lockPid == self) {
            continue;
        }
        auto found = std::find_if(holders.begin(), holders.end(),
                                  [&](const PortHolder& h) { return h.pid == *lockPid; });
        PortHolder holder{*lockPid, {}, true};
        if (found != holders.end()) {
            holders.erase(found);
        }
        holders.insert(holders.begin(), holder);
    }
    for (PortHolder& holder : holders) {
        holder.command = os::posix::processCommand(holder.pid);
    }
    return holders;
}

std::string holderText(const std::string& device) {
    const auto holders = portHolders(device);
    if (holders.empty()) {
        return "another program holds it";
    }
    const std::size_t named = std::min(holders.size(), kNamedHolders);
    std::vector<std::string> names;
    for (std::size_t i = 0; i < named; ++i) {
        const PortHolder& holder = holders[i];
        names.push_back("process " + std::to_string(holder.pid) + " (" + holder.command + ")" +
                        (holder.locked && holders.size() > 1 ? " with its lock" : ""));
    }
    if (holders.size() > named) {
        names.push_back(std::to_string(holders.size() - named) + " more");
    }
    std::string text = "held by " + names.front();
    for (std::size_t i = 1; i < names.size(); ++i) {
        text += (i + 1 == names.size() ? " and " : ", ") + names[i];
    }
    return text;
}

std::string permissionAdvice(const std::string& device) {
    constexpr const char* kNobody = "run as a user who may open it";
    struct stat info {};
    if (::stat(device.c_str(), &info) != 0) {
        return kNobody;
    }
    const auto group = groupById(info.st_gid);
    if (!group || group->name == "root") {
        return kNobody;
    }
    const std::string quoted = "\"" + group->name + "\"";
    if (loginHasGroup(info.st_gid)) {
        if ((info.st_mode & 060) != 060) {
            return "the device belongs to group " + quoted +
                   ", which this login has, but its mode " + octalMode(info.st_mode) +
                   " keeps the group out; a udev rule with MODE=\"0660\" lets the group in";
        }
        return "this login has the device's group " + quoted +
               ", yet the system refused; a security policy (AppArmor, SELinux) or a container "
               "may keep the device out";
    }
    const auto user = userById(processUser());
    const bool member = user && (user->primaryGroup == info.st_gid ||
                                 std::find(group->members.begin(), group->members.end(),
                                           user->name) != group->members.end());
    if (member) {
        return "you are a member of group " + quoted +
               ", but this login does not have it yet: log out and in again, or run `newgrp " +
               group->name + "`";
    }
    return "the device belongs to group " + quoted + ": `sudo usermod -aG " + group->name +
           " $USER`, then log out and in again";
}

std::vector<std::string> adapterHints(const std::string& device, PortFault fault) {
    std::vector<std::string> hints;
    const std::string name = ttyNameOf(device);
    const bool modemKind = name.rfind("ttyACM", 0) == 0 || name.rfind("ttyUSB", 0) == 0;
    if (modemKind && fault != PortFault::Missing && fault != PortFault::Denied &&
        processRuns("ModemManager")) {
        const SerialDevice described = describeSerialDevice(name, systemRoot() + "/sys");
        const std::string match = described.vendorId.empty()
                                      ? "KERNEL==\"" + name + "\""
                                      : "ATTRS{idVendor}==\"" + described.vendorId +
                                            "\", ATTRS{idProduct}==\"" + described.productId + "\"";
        hints.push_back("ModemManager is running and probes " + name +
                        " when it appears; keep it off the adapter with the udev rule `" + match +
                        ", ENV{ID_MM_DEVICE_IGNORE}=\"1\"` in /etc/udev/rules.d/, then replug");
    }
    if (fault == PortFault::Missing && programInstalled("brltty")) {
        if (const std::string adapter = claimedAdapterPresent(); !adapter.empty()) {
            hints.push_back("brltty is installed and takes USB-serial adapters such as " + adapter +
                            " for braille displays, so their port vanishes; unless a braille "
                            "display is used here, `sudo apt remove brltty` and replug");
        }
    }
    return hints;
}

}  // namespace tervan::cli
