// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "shared/atol_parser.h"

#include <limits>

namespace vorn {

namespace {

constexpr bool isAtolSpace(char c) noexcept
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr bool isDigit(char c) noexcept
{
    return c >= '0' && c <= '9';
}

// One more than the largest positive value: the magnitude of the smallest.
constexpr std::uint64_t kMagnitudeCap = std::uint64_t{1} << 63;

} // namespace

bool AtolParser::feed(char c) noexcept
{
    switch (phase_) {
    case Phase::Lead:
        if (isAtolSpace(c)) {
            return true;
        }
        phase_ = Phase::Digits;
        if (c == '+' || c == '-') {
            negative_ = c == '-';
            return true;
        }
        [[fallthrough]];
    case Phase::Digits:
        if (isDigit(c)) {
            const auto d = static_cast<std::uint64_t>(c - '0');
            magnitude_ = magnitude_ > (kMagnitudeCap - d) / 10 ? kMagnitudeCap : magnitude_ * 10 + d;
            return true;
        }
        phase_ = Phase::Ended;
        return false;
    case Phase::Ended:
        break;
    }
    return false;
}

std::int64_t AtolParser::result() const noexcept
{
    if (negative_) {
        return magnitude_ >= kMagnitudeCap ? std::numeric_limits<std::int64_t>::min()
                                           : -static_cast<std::int64_t>(magnitude_);
    }
    return magnitude_ >= kMagnitudeCap ? std::numeric_limits<std::int64_t>::max()
                                       : static_cast<std::int64_t>(magnitude_);
}

std::int64_t parseAtol(std::string_view text) noexcept
{
    AtolParser parser;
    for (const char c : text) {
        if (!parser.feed(c)) {
            break;
        }
    }
    return parser.result();
}

} // namespace vorn
