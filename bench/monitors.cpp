// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Section 5: the heartbeat's period and a machine-check record's way to the
// SP, to the simulated SP and to vornctl sp.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench.h"

namespace bench {
namespace {

// Milliseconds from each of the last `records` records' queueing in the
// driver, and from a poll's taking it, to its arrival at the SP's end.
struct RecordDelays {
    Summary fromQueue;
    Summary fromPoll;
};

RecordDelays recordDelays(const std::vector<testbed::McHandout>& sets, const std::vector<Clock::time_point>& queued,
                          const std::vector<Clock::time_point>& arrived)
{
    std::vector<double> fromQueue;
    std::vector<double> fromPoll;
    const std::size_t records = queued.size();
    const std::size_t first = sets.size() - records;
    for (std::size_t i = 0; i < records && i < arrived.size(); ++i) {
        fromQueue.push_back(std::chrono::duration<double, std::milli>(arrived[i] - queued[i]).count());
        if (const auto& set = sets.at(first + i); set.handedOut)
            fromPoll.push_back(std::chrono::duration<double, std::milli>(arrived[i] - *set.handedOut).count());
    }
    return {summarize(fromQueue), summarize(fromPoll)};
}

} // namespace

void Bench::monitors(Board& board)
{
    gSection = 5;
    say("5. monitors\n");
    Json section = Json::object();
    row("5. Monitors (simulated driver time stamps)");
    const int seconds = opt_.quick ? 3 : 10;
    if (!waitUntil([&] { return board.driver().heartbeatCount() >= 1; }, Millis{5000}))
        throw std::runtime_error("no heartbeat");
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const auto beats = board.driver().heartbeats();
    std::vector<double> gaps;
    for (std::size_t i = 1; i < beats.size(); ++i)
        gaps.push_back(std::chrono::duration<double, std::milli>(beats[i] - beats[i - 1]).count());
    const Summary s = summarize(gaps);
    double worst = 0;
    for (double g : gaps)
        worst = std::max(worst, std::fabs(g - 100.0));
    row("heartbeat at 100 ms: %zu periods, mean %.3f ms (%+.3f), worst deviation %.3f ms, p99 %.3f ms", gaps.size(),
        s.mean, s.mean - 100.0, worst, quantile(gaps, 0.99));
    Json hb = Json::object();
    hb["interval_ms"] = 100;
    hb["periods"] = static_cast<unsigned long>(gaps.size());
    hb["mean_ms"] = s.mean;
    hb["worst_deviation_ms"] = worst;
    hb["p99_ms"] = quantile(gaps, 0.99);
    // Every period's deviation from the interval, for the plot (bench/plot).
    Json deviations = Json::array();
    for (double g : gaps)
        deviations.push_back(g - 100.0);
    hb["deviations_ms"] = deviations;
    section["heartbeat_100ms"] = hb;

    // A flagged record queued in the driver, taken by the next poll (every
    // 100 ms) and sent to the SP on a connection of its own.
    const std::uint32_t records = opt_.quick ? 10 : 50;
    std::vector<Clock::time_point> queued;
    for (std::uint32_t i = 0; i < records; ++i) {
        RegIfVals flagged{};
        flagged.cpuId = i;
        flagged.version = 2;
        flagged.errOccurred = 1;
        RegIfVals none{};
        queued.push_back(Clock::now());
        board.driver().queueMcRecords({flagged, none, none, none});
        if (!board.sp().waitForReports(i + 1, Millis{5000}))
            throw std::runtime_error("a flagged record did not reach the SP");
        // A random phase against the poll.
        std::this_thread::sleep_for(Millis{static_cast<long>(7 * i % 100)});
    }
    std::vector<Clock::time_point> arrived;
    for (const auto& report : board.sp().reports())
        arrived.push_back(report.complete);
    const RecordDelays delays = recordDelays(board.driver().mcSets(), queued, arrived);
    const Summary& q = delays.fromQueue;
    const Summary& p = delays.fromPoll;
    row("flagged MC record, in the driver -> held by the SP (poll every 100 ms): %u records, mean %.3f ms, median "
        "%.3f ms, worst %.3f ms",
        records, q.mean, q.median, q.max);
    row("  of which poll -> SP (the forwarding itself):                       mean %.3f ms, median %.3f ms, worst "
        "%.3f ms",
        p.mean, p.median, p.max);
    Json mc = Json::object();
    mc["poll_interval_ms"] = 100;
    mc["records"] = records;
    mc["driver_to_sp_ms"] = summaryJson(q);
    mc["poll_to_sp_ms"] = summaryJson(p);
    section["mc_record"] = mc;
    json_["monitors"] = section;
}

// The SP's end as a user runs it: `vornctl sp --json` as the board's SP. A
// flagged record, from the driver's hand-out to its decoded line on vornctl's
// standard output (read here through a pipe, each line stamped as it
// arrives).
void Bench::monitorsWithVornctlSp(Board& board)
{
    gSection = 5;
    say("5. monitors: vornctl sp\n");
    VornctlSp sp(100, 100);
    writeFixtures(board);
    board.start();

    const std::uint32_t records = opt_.quick ? 10 : 50;
    std::vector<Clock::time_point> queued;
    for (std::uint32_t i = 0; i < records; ++i) {
        RegIfVals flagged{};
        flagged.cpuId = i % 4;
        flagged.version = 2;
        flagged.errOccurred = 1;
        flagged.val[eMC4_STATUS_REG] = 0x9c00400000000813ull;
        flagged.val[eMC4_ADDR_REG] = 0x3f7e1a40ull + i;
        RegIfVals none{};
        queued.push_back(Clock::now());
        board.driver().queueMcRecords({flagged, none, none, none});
        if (!waitUntil([&] { return sp.lines() >= i + 1; }, Millis{5000}))
            throw std::runtime_error("a flagged record did not reach vornctl sp");
        std::this_thread::sleep_for(Millis{static_cast<long>(7 * i % 100)});
    }
    sp.stop();
    const RecordDelays delays = recordDelays(board.driver().mcSets(), queued, sp.stamps());
    const Summary& q = delays.fromQueue;
    const Summary& p = delays.fromPoll;
    row("flagged MC record, in the driver -> decoded line of vornctl sp --json (poll every 100 ms): %u records, mean "
        "%.3f ms, median %.3f ms, worst %.3f ms",
        records, q.mean, q.median, q.max);
    row("  of which poll -> decoded line (forwarding, decoding, printing): mean %.3f ms, median %.3f ms, "
        "worst %.3f ms",
        p.mean, p.median, p.max);
    Json mc = Json::object();
    mc["poll_interval_ms"] = 100;
    mc["records"] = records;
    mc["driver_to_decoded_line_ms"] = summaryJson(q);
    mc["poll_to_decoded_line_ms"] = summaryJson(p);
    json_["monitors_vornctl_sp"] = mc;
}

} // namespace bench
