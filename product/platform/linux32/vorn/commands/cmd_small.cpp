// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Small queries ('T' time, 'H' host name, 'v' feature version) and the
// poll-interval settings ('h' heartbeat, 'p' MC poll).
#include "commands/cmd_small.h"

#include <array>
#include <atomic>
#include <cstring>
#include <ctime>
#include <limits>

#include <unistd.h>

#include "server.h"

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

enum class PollMonitor { Heartbeat, Mc };

void setPollInterval(OutBuf& outBuf, const ReqBuf& buf, PollMonitor which)
{
    const std::uint32_t pollInterval = requestedPollInterval(buf);
    const PollIntervalSetting setting = clampPollInterval(pollInterval);
    const bool hb = which == PollMonitor::Heartbeat;

    printStart(outBuf);
    if (setting.tooSmall) {
        if (hb) {
            printAppendf(outBuf, "<error>HB Poll rate %d too small.  Using min value = %d</error>",
                         static_cast<int>(pollInterval), static_cast<int>(kMinPollInterval));
        } else {
            printAppendf(outBuf, "<error>MC Poll rate %d too small.  Using min value = %d</error>",
                         static_cast<int>(pollInterval), static_cast<int>(kMinPollInterval));
        }
    } else if (setting.tooLarge) {
        if (hb) {
            printAppendf(outBuf, "<error>HB Poll rate too large.  Using max value = %d </error>",
                         static_cast<int>(kMaxPollInterval));
        } else {
            printAppendf(outBuf, "<error>MC Poll rate too large.  Using max value = %d </error>",
                         static_cast<int>(kMaxPollInterval));
        }
    }
    // The settings live in a mapping shared with the monitors, which read
    // them anew before every slice of their sleep: an accepted setting takes
    // effect within one slice.
    (hb ? hbPollRate : mcPollRate).store(setting.value);
    printEnd(outBuf);
}

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

std::uint32_t requestedPollInterval(const ReqBuf& buf) noexcept
{
    // The argument starts after the letter and one separator byte, whatever
    // that byte is, and ends at the request's first zero byte.
    const char* arg = buf.data() + 2;
    const std::string_view text(arg, ::strnlen(arg, buf.size() - 2));
    return static_cast<std::uint32_t>(parseAtol(text));
}

PollIntervalSetting clampPollInterval(std::uint32_t pollInterval) noexcept
{
    if (pollInterval < kMinPollInterval) {
        return {kMinPollInterval, true, false};
    }
    if (pollInterval > kMaxPollInterval) {
        return {kMaxPollInterval, false, true};
    }
    return {pollInterval, false, false};
}

void get_time(OutBuf& outBuf)
{
    const std::time_t tnow = std::time(nullptr);
    printStart(outBuf);
    printAppendf(outBuf, "<time>%ld</time>", static_cast<long>(tnow));
    printAppend(outBuf, "<cmdRetVal>0</cmdRetVal>");
    printEnd(outBuf);
}

void get_hostname(OutBuf& outBuf)
{
    std::array<char, 256> name{};
    const int rc = ::gethostname(name.data(), name.size() - 1);
    printStart(outBuf);
    if (rc == 0) {
        // The name goes out as it is, without XML escaping.
        printAppendf(outBuf, "<hostname>%s</hostname>", name.data());
        printAppend(outBuf, "<cmdRetVal>0</cmdRetVal>");
    } else {
        printAppend(outBuf, "<error>Unable to get HostName</error>");
        printAppendf(outBuf, "<cmdRetVal>%d</cmdRetVal>", rc);
    }
    printEnd(outBuf);
}

void get_features(OutBuf& outBuf)
{
    printStart(outBuf);
    printAppend(outBuf, "<vornVer>Linux version 0.6</vornVer> ");
    printEnd(outBuf);
}

void hb_poll_interval(OutBuf& outBuf, const ReqBuf& buf)
{
    setPollInterval(outBuf, buf, PollMonitor::Heartbeat);
}

void mc_poll_interval(OutBuf& outBuf, const ReqBuf& buf)
{
    setPollInterval(outBuf, buf, PollMonitor::Mc);
}

} // namespace vorn
