// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "shared/log.h"

#include <cstdarg>

#include <signal.h>

namespace vorn {

namespace {

// The SP client's connection alarm logs from its signal handler. Run while
// the process was inside a log call, the handler would wait for the log
// lock that the interrupted call holds, for ever: and a log call can block
// for as long as a stalled log daemon with a full queue makes it, long
// enough for the 20-second alarm to fire. Every log call therefore holds
// the alarm back; a pending alarm runs its handler as soon as the call is
// done. (In the handler itself the alarm is already held back.)
class AlarmHeldBack {
public:
    AlarmHeldBack() noexcept
    {
        sigset_t alarmOnly;
        ::sigemptyset(&alarmOnly);
        ::sigaddset(&alarmOnly, SIGALRM);
        ::sigprocmask(SIG_BLOCK, &alarmOnly, &saved_);
    }
    ~AlarmHeldBack() { ::sigprocmask(SIG_SETMASK, &saved_, nullptr); }
    AlarmHeldBack(const AlarmHeldBack&) = delete;
    AlarmHeldBack& operator=(const AlarmHeldBack&) = delete;

private:
    sigset_t saved_{};
};

} // namespace

void openAgentLog()
{
    ::openlog("VORN", LOG_PERROR, LOG_DAEMON);
}

void closeAgentLog()
{
    ::closelog();
}

void logf(int priority, const char* format, ...)
{
    const AlarmHeldBack held;
    va_list ap;
    va_start(ap, format);
    ::vsyslog(priority, format, ap);
    va_end(ap);
}

void logText(int priority, const char* text)
{
    const AlarmHeldBack held;
    ::syslog(priority, "%s", text);
}

} // namespace vorn
