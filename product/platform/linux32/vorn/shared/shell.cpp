// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "shared/shell.h"

#include <cstdio>
#include <cstdlib>

namespace vorn {

int runShell(const char* commandLine)
{
    return std::system(commandLine);
}

UniquePipe openShellPipe(const char* commandLine)
{
    // "e": the pipe's own descriptor is not inherited by later commands.
    return UniquePipe(::popen(commandLine, "re"));
}

} // namespace vorn
