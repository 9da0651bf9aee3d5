// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Small queries (time, host name, feature version) and the poll-interval settings.
#pragma once

#include <cstdint>

#include "request/document.h"

namespace vorn {

void get_time(OutBuf& outBuf);
void get_hostname(OutBuf& outBuf);
void get_features(OutBuf& outBuf);
void hb_poll_interval(OutBuf& outBuf, const ReqBuf& buf);
void mc_poll_interval(OutBuf& outBuf, const ReqBuf& buf);

// Poll-interval limits in milliseconds.
inline constexpr std::uint32_t kMinPollInterval = 100;
inline constexpr std::uint32_t kMaxPollInterval = 8640000;

// The interval a request asks for: the text from offset 2 read as atol
// reads it, its low 32 bits taken as unsigned.
std::uint32_t requestedPollInterval(const ReqBuf& buf) noexcept;

// The interval after clamping to the limits, and which limit applied.
struct PollIntervalSetting {
    std::uint32_t value;
    bool tooSmall;
    bool tooLarge;
};
PollIntervalSetting clampPollInterval(std::uint32_t pollInterval) noexcept;

} // namespace vorn
