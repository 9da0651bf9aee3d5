// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Inspection of the sandbox's processes through /proc.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace testbed {

struct ProcessInfo {
    pid_t pid;
    pid_t ppid;
    char state; // as in /proc/PID/stat: R, S, Z, ...
    std::string comm;
};

// Whether process pid holds a TCP socket listening on port.
bool listensOn(pid_t pid, std::uint16_t port);
// The inode of the TCP socket that process pid listens with on port; 0 when
// it has none. A new listening socket has a new inode.
unsigned long listeningInode(pid_t pid, std::uint16_t port);

namespace detail {
std::optional<ProcessInfo> processInfo(pid_t pid);
std::vector<ProcessInfo> allProcesses();
// pid and every process below it.
std::vector<ProcessInfo> treeOf(pid_t root, const std::vector<ProcessInfo>& all);
bool alive(pid_t pid); // exists and is no zombie
pid_t readPid(const std::string& text);
// In a child before exec: no signal blocked, every one at its default.
void resetSignalsForExec();
} // namespace detail

} // namespace testbed
