// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The testbed's clock and its bounded waits.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace testbed {

using Clock = std::chrono::steady_clock; // CLOCK_MONOTONIC, the clock of every record
using Millis = std::chrono::milliseconds;
inline constexpr Millis kDefaultTimeout{5000};

// Polls done() every few milliseconds until it holds (true) or timeout
// passes (false).
bool waitUntil(const std::function<bool()>& done, Millis timeout = kDefaultTimeout);

Clock::time_point fromNs(std::int64_t monotonicNs);

} // namespace testbed
