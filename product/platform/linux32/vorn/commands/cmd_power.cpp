// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The power commands: each runs one system program through the shell, waits
// for it and reports its raw wait status, and its first output line when it
// failed.
#include "commands/cmd_power.h"

#include <cstdio>

#include "shared/log.h"
#include "shared/shell.h"
#include "shared/unique_fd.h"

namespace vorn {

OutputLine readFirstLine(std::FILE* out) noexcept
{
    OutputLine line{};
    if (std::fgets(line.data(), static_cast<int>(line.size()), out) == nullptr) {
        line[0] = '\0';
    }
    return line;
}

void buildPowerReply(OutBuf& outBuf, bool pipeOpened, const OutputLine& firstLine, int val) noexcept
{
    printStart(outBuf);
    if (!pipeOpened) {
        printAppend(outBuf, kPowerPipeError);
    } else if (val != 0) {
        printAppendf(outBuf, "<error>%s</error>", firstLine.data());
    }
    printAppendf(outBuf, "<cmdRetVal>%d</cmdRetVal>", val);
    printEnd(outBuf);
}

namespace {

// Runs the command line, reads its first output line, waits for it and
// reports. The rest of the output is dropped when the pipe is closed.
void runPowerCommand(OutBuf& outBuf, const char* commandLine)
{
    UniquePipe fpin = openShellPipe(commandLine);
    if (!fpin) {
        logText(LOG_CRIT, kPowerPipeError.data());
        buildPowerReply(outBuf, false, OutputLine{}, kPowerPipeFailed);
        return;
    }
    const OutputLine line = readFirstLine(fpin.get());
    const int val = fpin.close();
    buildPowerReply(outBuf, true, line, val);
}

} // namespace

void orderly_shutdown(OutBuf& outBuf)
{
    runPowerCommand(outBuf, kOrderlyShutdownCommand);
}

void forced_shutdown(OutBuf& outBuf)
{
    runPowerCommand(outBuf, kForcedShutdownCommand);
}

void reboot(OutBuf& outBuf)
{
    runPowerCommand(outBuf, kRebootCommand);
}

void forced_reboot(OutBuf& outBuf)
{
    runPowerCommand(outBuf, kForcedRebootCommand);
}

} // namespace vorn
