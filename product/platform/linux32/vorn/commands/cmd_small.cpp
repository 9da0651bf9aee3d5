// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Small queries ('T' time, 'H' host name, 'v' feature version) and the
// poll-interval settings ('h' heartbeat, 'p' MC poll).
#include "commands/cmd_small.h"

#include <array>
#include <atomic>
#include <cstring>
#include <ctime>
#include <string_view>

#include <unistd.h>

#include "server.h"
#include "shared/atol_parser.h"

namespace vorn {

namespace {

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
