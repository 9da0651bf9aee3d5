// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "daemon.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "hlink_shared.h"
#include "ipv4.h"
#include "listener.h"
#include "log.h"
#include "monitors.h"
#include "server.h"
#include "shell.h"
#include "unique_fd.h"

namespace vorn {

std::array<char, 256> hostLinkUpCommand(std::uint64_t platIp)
{
    const Ipv4Text addr = ipv4ToText(static_cast<std::uint32_t>(platIp & 0xFFFFFFFFu));
    std::array<char, 256> command{};
    std::snprintf(command.data(), command.size(), "/sbin/ifconfig hlink0 %s", addr.data());
    return command;
}

void getPlatIp()
{
    UniqueFd fd(::open(HLINK_DRIVER_PATH, O_RDWR | O_CLOEXEC));
    if (!fd) {
        logf(LOG_CRIT, "failed to open the driver %s\n", HLINK_DRIVER_PATH);
        return;
    }
    std::uint64_t platIp = 0;
    if (::ioctl(fd.get(), IOCTL_GET_PLAT_IP, &platIp) < 0) {
        logText(LOG_CRIT, "IOCTL_GET_PLAT_IP failed\n");
        return;
    }
    // Only the success of this request matters at start-up.
    std::uint64_t spIp = 0;
    if (::ioctl(fd.get(), IOCTL_GET_SP_IP, &spIp) < 0) {
        logText(LOG_CRIT, "IOCTL_GET_SP_IP failed\n");
        return;
    }
    fd.reset();

    const std::array<char, 256> command = hostLinkUpCommand(platIp);
    if (runShell(command.data()) != 0) {
        logText(LOG_CRIT, "initialization of hlink0 device failed\n");
    }
}

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
// see a half-stored id.
void forkMonitor(void (*monitor)(), const char* name, volatile pid_t* pid)
{
    std::optional<TermBlocked> blocked(std::in_place);
    const pid_t child = ::fork();
    if (child == 0) {
        ::signal(SIGTERM, SIG_DFL);
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

} // namespace

int runAgent()
{
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

    int numForks = 0;
    forkMonitor(mcHandler, "MC", &mcPid);
    numForks += mcPid > 0 ? 1 : 0;
    forkMonitor(hbHandler, "HB", &hbPid);
    numForks += hbPid > 0 ? 1 : 0;

    vornHandler();

    while (numForks > 0) {
        int status = 0;
        const pid_t deadpid = ::wait(&status);
        if (deadpid < 0) {
            if (errno == EINTR) {
                continue;
            }
            break; // no child left to wait for
        }
        if (deadpid == mcPid || deadpid == hbPid) {
            --numForks;
        }
    }
    logText(LOG_INFO, " exiting\n");
    closeAgentLog();
    return 0;
}

} // namespace vorn
