// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Linked into the daemon of the coverage build only (scripts/coverage), with
// -Wl,--wrap=signal. The daemon's processes end by a signal: the monitors by
// SIGTERM, the request server by SIGKILL after its SIGTERM; and a process
// that a signal ends writes no counts. So every SIGTERM disposition that the
// daemon sets comes through here: the handler writes the counts so far, then
// does what the daemon asked for.
#include <signal.h>
#include <stddef.h>
#include <unistd.h>

typedef void (*Handler)(int);

void __gcov_dump(void);
void __gcov_reset(void);
Handler __real_signal(int sig, Handler handler);
Handler __wrap_signal(int sig, Handler handler);

static volatile Handler termDisposition = SIG_DFL;

static void writeCountsOnTerm(int sig)
{
    // Writing the counts is not safe in a signal handler: should the signal
    // have come inside malloc or stdio, it could wait for ever. SIGALRM then
    // ends the process after 5 s, its counts lost, instead of hanging a test.
    struct sigaction alarmDefault = {.sa_handler = SIG_DFL};
    struct sigaction savedAlarm;
    sigaction(SIGALRM, &alarmDefault, &savedAlarm);
    const unsigned alarmLeft = alarm(5);
    __gcov_dump();
    __gcov_reset(); // the counts after this one go out at the next dump or at exit
    alarm(0);
    sigaction(SIGALRM, &savedAlarm, NULL);
    if (alarmLeft > 0)
        alarm(alarmLeft);
    const Handler disposition = termDisposition;
    if (disposition == SIG_DFL) {
        // Ends the process by this signal once the handler returns.
        __real_signal(sig, SIG_DFL);
        raise(sig);
    } else if (disposition != SIG_IGN) {
        disposition(sig);
    }
}

Handler __wrap_signal(int sig, Handler handler)
{
    if (sig != SIGTERM || handler == SIG_ERR)
        return __real_signal(sig, handler);
    const Handler previous = termDisposition;
    termDisposition = handler;
    return __real_signal(sig, writeCountsOnTerm) == SIG_ERR ? SIG_ERR : previous;
}
