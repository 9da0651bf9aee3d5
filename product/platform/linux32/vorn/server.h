// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Process-wide state of the agent, shared by its three processes' code.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include <sys/types.h>

#include "core/watchdog.h"

namespace vorn {

// Process ids of the two monitors as the parent learns them from fork; 0
// until the fork (the SIGTERM handler signals only ids above 0).
extern volatile pid_t mcPid;
extern volatile pid_t hbPid;

// Poll intervals of the heartbeat and MC monitors, in milliseconds. They
// live in a small mapping shared by the agent's processes (made before the
// monitors are forked), so a setting accepted by the request server reaches
// the running monitor, which reads its interval anew before every slice of
// its sleep.
extern std::atomic<std::uint32_t>& hbPollRate;
extern std::atomic<std::uint32_t>& mcPollRate;

// The service manager's watchdog, as the launched process found it at start
// (nothing without one). The request server tells the service manager that
// it is alive while its loop turns.
extern std::optional<ServiceWatchdog> agentWatchdog;

// The agent's entry point: start-up, the three processes, and their end
// once the request server has given up. Returns the exit status.
int runAgent();

} // namespace vorn
