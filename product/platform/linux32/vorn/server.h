// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The agent daemon's module: its entry point (main, in server.cpp) and the
// process-wide state that the code of its three processes shares (defined
// in core/globals.cpp).
#pragma once

#include <atomic>
#include <cstdint>

#include <sys/types.h>

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

} // namespace vorn
