// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "monitors/monitors.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>

#include <fcntl.h>
#include <sys/ioctl.h>

#include "core/sp_client.h"
#include "server.h"
#include "shared/log.h"
#include "shared/unique_fd.h"

namespace vorn {

namespace {

void sleepMs(std::uint64_t ms)
{
    timespec left{static_cast<std::time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
    while (::nanosleep(&left, &left) < 0 && errno == EINTR) {
    }
}

// Sleeps one interval of the setting rate, read anew before every slice.
void sleepInterval(const std::atomic<std::uint32_t>& rate)
{
    sleepSliced([&rate] { return rate.load(); }, sleepMs);
}

// SIGTERM back to its default action: from now on it ends this process.
void restoreDefaultSigterm()
{
    if (::signal(SIGTERM, SIG_DFL) == SIG_ERR) {
        logText(LOG_INFO, "can't un-register signal handler\n");
    }
}

// The management-controller device, open for the monitor's whole life.
UniqueFd openMcDriver()
{
    UniqueFd fd(::open(MC_DRIVER_PATH, O_RDWR | O_CLOEXEC));
    if (!fd) {
        logf(LOG_CRIT, "failed to open the driver %s\n", MC_DRIVER_PATH);
    }
    return fd;
}

} // namespace

void hbHandler()
{
    restoreDefaultSigterm();
    const UniqueFd hbfd = openMcDriver();
    if (!hbfd) {
        return;
    }
    std::uint32_t rate = getPollRate(kHbPollRateRequest);
    if (rate == 0) {
        logText(LOG_INFO, "HB failed to get poll rate from SP\n");
        rate = kHbDefaultPollRate;
    }
    hbPollRate.store(rate);

    for (;;) {
        if (::ioctl(hbfd.get(), IOCTL_HB_BEAT, 0UL) < 0) {
            logText(LOG_CRIT, "IOCTL_HB_BEAT failed \n");
            return;
        }
        sleepInterval(hbPollRate);
    }
}

void mcHandler()
{
    restoreDefaultSigterm();
    const UniqueFd mcfd = openMcDriver();
    if (!mcfd) {
        return;
    }
    std::uint32_t rate = getPollRate(kMcPollRateRequest);
    if (rate == 0) {
        logText(LOG_INFO, "MC failed to get poll rate from SP\n");
        rate = kMcDefaultPollRate;
    }
    mcPollRate.store(rate);

    UndeliveredRecords backlog;
    const auto request = [&mcfd](McPoll& regIfVals) {
        static_assert(sizeof regIfVals == 624, "four 156-byte records");
        return ::ioctl(mcfd.get(), IOCTL_MC_REG_IF, regIfVals.data()) >= 0;
    };
    for (;;) {
        Drops dropped;
        if (!drainDriver(backlog, request, reportErr, &dropped)) {
            logText(LOG_CRIT, "IOCTL_MC_REG_IF failed\n");
            return;
        }
        // One line an interval at most, whatever the flood.
        if (dropped.total > 0) {
            logf(LOG_INFO, "MC error records undelivered: backlog of %zu full, %u dropped, %u of them uncorrected\n",
                 UndeliveredRecords::kCapacity, dropped.total, dropped.uncorrected);
        }
        sleepInterval(mcPollRate);
    }
}

} // namespace vorn
