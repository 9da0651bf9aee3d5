// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The process-wide state declared in server.h (the monitors' ids and the two
// poll intervals) and in core/watchdog.h (the service manager's watchdog).
// The poll intervals live in a small anonymous shared mapping, made at the
// first use (before the monitors are forked), so that a setting that the
// request server accepts reaches the running monitor.
#include <new>
#include <optional>

#include <sys/mman.h>

#include "core/watchdog.h"
#include "server.h"

namespace vorn {

namespace {

struct SharedPollRates {
    std::atomic<std::uint32_t> hb{0};
    std::atomic<std::uint32_t> mc{0};
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free, "shared across processes");

SharedPollRates& sharedPollRates()
{
    static SharedPollRates* rates = [] {
        void* p = ::mmap(nullptr, sizeof(SharedPollRates), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            // Without the mapping each process keeps its own settings.
            static SharedPollRates local;
            return &local;
        }
        return new (p) SharedPollRates;
    }();
    return *rates;
}

} // namespace

volatile pid_t mcPid = 0;
volatile pid_t hbPid = 0;
std::optional<ServiceWatchdog> agentWatchdog;
std::atomic<std::uint32_t>& hbPollRate = sharedPollRates().hb;
std::atomic<std::uint32_t>& mcPollRate = sharedPollRates().mc;

} // namespace vorn
