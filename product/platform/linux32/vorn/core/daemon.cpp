// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "core/daemon.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/host_link.h"
#include "core/watchdog.h"
#include "monitors/monitors.h"
#include "request/listener.h"
#include "server.h"
#include "shared/log.h"
#include "shared/unique_fd.h"

namespace vorn {

bool writePidFile(const char* path, pid_t pid)
{
    UniqueFd fd(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) {
        return false;
    }
    std::array<char, 16> digits{};
    const int n = std::snprintf(digits.data(), digits.size(), "%d", static_cast<int>(pid));
    return n > 0 && ::write(fd.get(), digits.data(), static_cast<std::size_t>(n)) == n;
}

extern "C" void hlink_sig_handler(int /*val*/)
{
    const int savedErrno = errno;
    if (mcPid > 0) {
        ::kill(mcPid, SIGTERM);
    }
    if (hbPid > 0) {
        ::kill(hbPid, SIGTERM);
    }
    errno = savedErrno;
}

namespace {

// Blocks SIGTERM for as long as it lives, restoring the previous mask.
class TermBlocked {
public:
    TermBlocked()
    {
        sigset_t term;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        ::sigprocmask(SIG_BLOCK, &term, &saved_);
    }
    TermBlocked(const TermBlocked&) = delete;
    TermBlocked& operator=(const TermBlocked&) = delete;
    ~TermBlocked() { ::sigprocmask(SIG_SETMASK, &saved_, nullptr); }

private:
    sigset_t saved_{};
};

// Forks one monitor and stores its id in *pid (0 when the fork failed, which
// is logged). Never returns in the child, which runs the monitor and ends
// with status 0. SIGTERM stays blocked across the fork: a SIGTERM that
// arrives before the child has its default action back must end the child,
// not run the parent's handler there, and the parent's handler must never
// see a half-stored id. A monitor ends with the parent too (a SIGTERM when
// the parent dies), so that no heartbeat outlives the request server.
void forkMonitor(void (*monitor)(), const char* name, volatile pid_t* pid)
{
    const pid_t parent = ::getpid();
    std::optional<TermBlocked> blocked(std::in_place);
    const pid_t child = ::fork();
    if (child == 0) {
        ::signal(SIGTERM, SIG_DFL);
        // A parent that died before the request took effect is gone already.
        if (::prctl(PR_SET_PDEATHSIG, SIGTERM) == 0 && ::getppid() != parent) {
            std::exit(0);
        }
        blocked.reset();
        monitor();
        closeAgentLog();
        std::exit(0);
    }
    if (child < 0) {
        logf(LOG_INFO, "can't start the %s monitor\n", name);
        *pid = 0;
        return;
    }
    *pid = child;
}

// Reaps the monitors named in pids, each set to 0 once it has ended, until
// none is left (true) or the deadline has passed (false).
bool reapUntil(std::array<pid_t, 2>& pids, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        bool left = false;
        for (pid_t& pid : pids) {
            if (pid > 0) {
                const pid_t ended = ::waitpid(pid, nullptr, WNOHANG);
                if (ended == pid || (ended < 0 && errno == ECHILD)) {
                    pid = 0;
                } else {
                    left = true;
                }
            }
        }
        if (!left) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        timespec pause{0, kMonitorReapStepNs};
        ::nanosleep(&pause, nullptr);
    }
}

// Ends both monitors once the request server has given up: SIGTERM, then a
// bounded wait, then SIGKILL for a monitor still there. A monitor that has
// ended before is only reaped. Until now no monitor was reaped, so both ids
// still name the agent's own children.
void endMonitors()
{
    const TermBlocked blocked; // the handler must not signal a reaped id
    std::array<pid_t, 2> pids{mcPid, hbPid};
    for (const pid_t pid : pids) {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
        }
    }
    using std::chrono::steady_clock;
    if (!reapUntil(pids, steady_clock::now() + kMonitorEndBound)) {
        for (const pid_t pid : pids) {
            if (pid > 0) {
                ::kill(pid, SIGKILL);
            }
        }
        reapUntil(pids, steady_clock::now() + kMonitorEndBound);
    }
    mcPid = 0;
    hbPid = 0;
}

} // namespace

int runAgent()
{
    // Before daemon(): the service manager's WATCHDOG_PID names the
    // launched process.
    agentWatchdog = takeServiceWatchdog();
    openAgentLog();
    if (::daemon(0, 0) != 0) {
        logText(LOG_INFO, "daemon call failed\n");
    }
    getPlatIp();
    if (!writePidFile(kPidFile, ::getpid())) {
        logf(LOG_INFO, "can't write pid file %s\n", kPidFile);
    }
    if (::signal(SIGTERM, hlink_sig_handler) == SIG_ERR) {
        logText(LOG_INFO, "can't register signal handler\n");
    }

    forkMonitor(mcHandler, "MC", &mcPid);
    forkMonitor(hbHandler, "HB", &hbPid);

    // The request server returns only when it has given up: the agent then
    // ends whole, with a failure, so that its service manager can start it
    // again; monitors left beating would report a healthy agent that serves
    // nothing.
    vornHandler();
    endMonitors();
    logText(LOG_INFO, " exiting\n");
    closeAgentLog();
    return EXIT_FAILURE;
}

} // namespace vorn
