// The processes that have a file or device open, found through their descriptors in /proc
// below systemRoot(): those this user may look at (their own, or all of them for root). Tests
// give a /proc of their own. Implemented in link/posix; only POSIX code includes it.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

namespace tervan::os::posix {

// The ids of the processes /proc lists below systemRoot(), in its order.
std::vector<long> processIds();

// A process's folder in that /proc.
std::string processFolder(long pid);

// Whether `candidate` is the same file as `target`: the same device number for two device
// nodes (two names of one port), otherwise the same file system and inode.
bool sameFile(const struct stat& candidate, const struct stat& target);

// Asked of each descriptor found for the file: the process's /proc folder and the descriptor's
// number, as /proc/PID/fd names it.
using DescriptorFilter = std::function<bool(const std::string& process, const std::string& fd)>;

// The ids of the processes other than this one with a descriptor of `target`, each once, in
// the order /proc lists them. With `accept`, only a process with a descriptor it accepts
// counts (one opened for writing, say).
std::vector<long> processesWithOpen(const struct stat& target, const DescriptorFilter& accept = {});

// A process's command name, from /proc/PID/comm; empty once it has ended.
std::string processCommand(long pid);

}  // namespace tervan::os::posix
