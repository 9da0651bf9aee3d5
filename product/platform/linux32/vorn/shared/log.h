// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The agent's system log: ident "VORN", every message also on standard error,
// facility daemon. Messages are passed as the message text itself.
#pragma once

#include <syslog.h>

namespace vorn {

void openAgentLog();
void closeAgentLog();

// Logs a formatted message. Format strings are checked at compile time.
void logf(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Logs a text that was already formatted (it may hold '%' characters).
void logText(int priority, const char* text);

} // namespace vorn
