// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Running the host's system programs through the shell. Kept in a unit of
// its own: it is the one place where the agent hands a command line to the
// shell, and a fuzzing or test harness links its own in its place.
#pragma once

#include "shared/unique_fd.h"

namespace vorn {

// Runs commandLine with system(); returns the raw wait status, or -1 when no
// child process could be created.
int runShell(const char* commandLine);

// Starts commandLine with popen() for reading; the pipe's close() waits for
// it and returns its raw wait status. Empty when the pipe cannot be opened.
UniquePipe openShellPipe(const char* commandLine);

} // namespace vorn
