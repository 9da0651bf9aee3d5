// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The shell unit of the fuzz targets of pure functions: none of them may run
// a program, so a call ends the run.
#include "fuzz_support.h"
#include "shared/shell.h"
#include "shared/unique_fd.h"

namespace vorn {

int runShell(const char* commandLine)
{
    fuzz::fail("a pure function ran a shell command", commandLine);
}

UniquePipe openShellPipe(const char* commandLine)
{
    fuzz::fail("a pure function opened a shell pipe", commandLine);
}

} // namespace vorn
