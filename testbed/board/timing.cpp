// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "testbed/board/timing.h"

#include <thread>

namespace testbed {

namespace {

constexpr Millis kPollSlice{2};

} // namespace

Clock::time_point fromNs(std::int64_t monotonicNs)
{
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(monotonicNs)));
}

bool waitUntil(const std::function<bool()>& done, Millis timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (done())
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(kPollSlice);
    }
}

} // namespace testbed
