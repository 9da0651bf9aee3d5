// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Whether this process runs inside the test sandbox, and how to get there.
#pragma once

#include <string>
#include <vector>

namespace testbed {

// True when this process runs inside a sandbox of vorn-sandbox: the marker
// names this process's own pid, mount and network namespaces, PID 1 is
// vorn-sandbox, and CAP_SYS_BOOT is not in the bounding set.
bool insideSandbox();
// Why insideSandbox() or the fake check failed, for the message.
std::string sandboxProblem();
// True when "/sbin/shutdown", "/sbin/reboot", "/sbin/init" and "/sbin/ifconfig"
// are the sandbox's fakes.
bool powerProgramsAreFakes(std::string* problem = nullptr);
// Aborts the process with a loud message unless both hold.
void requireSandbox();
// The vorn-sandbox program of this build.
const char* sandboxProgram();
// Starts this program again inside vorn-sandbox with the same arguments.
// Returns only when that failed (after saying so on standard error, naming
// the program `name`): the caller's exit status is then 1.
int execInSandbox(int argc, char** argv, const char* name);
// The environment that puts the simulated drivers into a program, as shell
// assignments ("LD_PRELOAD=... "), to run a program of one's own on them.
std::string driverPreload();

namespace detail {
// The environment variables that put the simulated drivers into a program.
std::vector<std::string> preloadVariables();
} // namespace detail

} // namespace testbed
