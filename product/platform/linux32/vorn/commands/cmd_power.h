// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Power commands: orderly and forced shutdown, reboot and forced reboot.
#pragma once

#include <array>
#include <cstdio>
#include <string_view>

#include "request/document.h"

namespace vorn {

void orderly_shutdown(OutBuf& outBuf);
void forced_shutdown(OutBuf& outBuf);
void reboot(OutBuf& outBuf);
void forced_reboot(OutBuf& outBuf);

// The command line each member runs; the error output joins the standard
// output on the pipe.
inline constexpr const char* kOrderlyShutdownCommand = "/sbin/shutdown -h now 2>&1";
inline constexpr const char* kForcedShutdownCommand = "/sbin/init 0 2>&1";
inline constexpr const char* kRebootCommand = "/sbin/reboot 2>&1";
inline constexpr const char* kForcedRebootCommand = "/sbin/reboot -f 2>&1";

// Reported (and logged) when the command cannot be started.
inline constexpr std::string_view kPowerPipeError = "<error>Unable to open pipe to shutdown command</error>";
// The status reported when the pipe cannot be opened.
inline constexpr int kPowerPipeFailed = -32;

// The first line of a command's output, as fgets reads it with 256 bytes:
// at most 255 characters, the newline included when it comes within them.
using OutputLine = std::array<char, 256>;

// Reads the first output line from out; the empty text when there is none.
OutputLine readFirstLine(std::FILE* out) noexcept;

// Builds the whole reply of a power command. pipeOpened false: the pipe
// error and the status kPowerPipeFailed. Otherwise, val is the raw wait
// status; a nonzero status brings the first output line as an error element.
void buildPowerReply(OutBuf& outBuf, bool pipeOpened, const OutputLine& firstLine, int val) noexcept;

} // namespace vorn
