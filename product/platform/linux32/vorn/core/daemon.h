// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Start-up and supervision of the agent's three processes.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

#include <sys/types.h>

namespace vorn {

inline constexpr const char* kPidFile = "/var/run/vorn.pid";

// Once the request server has given up: how long each monitor has to end
// after SIGTERM (and then after SIGKILL), and the step of that wait.
inline constexpr std::chrono::seconds kMonitorEndBound{2};
inline constexpr long kMonitorReapStepNs = 10'000'000;

// Writes pid as bare decimal digits (no newline) to path, created or
// truncated. Returns false when the file cannot be written.
bool writePidFile(const char* path, pid_t pid);

// SIGTERM in the parent: passed on to both monitors; the server goes on.
extern "C" void hlink_sig_handler(int val);

// The agent's start-up, its three processes, and their end once the
// request server has given up (main's whole work). Returns the exit status.
int runAgent();

} // namespace vorn
