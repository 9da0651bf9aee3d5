// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Small queries (time, host name, feature version) and the poll-interval settings.
#pragma once

#include <cstdint>
#include <string_view>

#include "request/document.h"
#include "shared/unique_fd.h"

namespace vorn {

void get_time(OutBuf& outBuf);
void get_hostname(OutBuf& outBuf);
void get_features(OutBuf& outBuf);
void hb_poll_interval(OutBuf& outBuf, const ReqBuf& buf);
void mc_poll_interval(OutBuf& outBuf, const ReqBuf& buf);

// Converts text by the rules of atol, one character at a time: leading white
// space skipped, an optional sign, decimal digits up to the first other
// character; saturated at the limits of a signed 64-bit number.
class AtolParser {
public:
    // Takes the next character; false once the number has ended (the
    // character is not part of it, and neither is anything after it).
    bool feed(char c) noexcept;

    // The number read so far (0 when no digit was read).
    [[nodiscard]] std::int64_t result() const noexcept;

private:
    enum class Phase { Lead, Digits, Ended };
    Phase phase_ = Phase::Lead;
    bool negative_ = false;
    std::uint64_t magnitude_ = 0; // capped just above the largest magnitude
};

// atol over a text (which need not be terminated).
std::int64_t parseAtol(std::string_view text) noexcept;

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
