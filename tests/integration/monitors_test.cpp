// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The SP client and the two monitors on the simulated board: the intervals
// the monitors fetch from the SP, the heartbeat, the forwarding of flagged
// MC error records, driver failures and the end of the monitors.
#include "testbed/board/board.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <syslog.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace testbed;

namespace {

using std::chrono::duration_cast;

long long msBetween(Clock::time_point a, Clock::time_point b)
{
    return duration_cast<Millis>(b - a).count();
}

std::vector<SpExchange> exchangesOf(const SimSp& sp, char command)
{
    std::vector<SpExchange> out;
    for (const SpExchange& e : sp.exchanges())
        if (e.command == command)
            out.push_back(e);
    return out;
}

// A flagged (or not) record that names itself through cpuId and a register.
RegIfVals record(std::uint32_t cpu, std::uint32_t errOccurred = 1)
{
    RegIfVals r{};
    r.cpuId = cpu;
    r.version = 2;
    r.errOccurred = errOccurred;
    for (int k = 0; k < eREG_IF_FIELDS_COUNT; ++k)
        r.val[k] = (std::uint64_t{cpu} << 32) | static_cast<std::uint64_t>(k + 1);
    return r;
}

McRecords poll(RegIfVals a, RegIfVals b, RegIfVals c, RegIfVals d)
{
    return {a, b, c, d};
}

RegIfVals none()
{
    return record(0, 0);
}

bool sameBytes(const RegIfVals& a, const RegIfVals& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

std::vector<std::uint32_t> reportedCpus(const SimSp& sp)
{
    std::vector<std::uint32_t> cpus;
    for (const SpReport& r : sp.reports())
        cpus.push_back(r.record.cpuId);
    return cpus;
}

// Milliseconds between consecutive heartbeats.
std::vector<long long> beatGaps(const Driver& driver)
{
    const std::vector<Clock::time_point> beats = driver.heartbeats();
    std::vector<long long> gaps;
    for (std::size_t i = 1; i < beats.size(); ++i)
        gaps.push_back(msBetween(beats[i - 1], beats[i]));
    return gaps;
}

// Milliseconds between consecutive MC polls.
std::vector<long long> pollGaps(const Driver& driver)
{
    std::vector<Clock::time_point> polls;
    for (const DriverCall& c : driver.calls())
        if (c.request == simdrv::kMcRegIf)
            polls.push_back(c.time);
    std::vector<long long> gaps;
    for (std::size_t i = 1; i < polls.size(); ++i)
        gaps.push_back(msBetween(polls[i - 1], polls[i]));
    return gaps;
}

bool isRunning(const ProcessInfo& p)
{
    return p.state != 'Z';
}

std::size_t runningMonitors(const Board& board)
{
    const auto m = board.monitors();
    return static_cast<std::size_t>(std::count_if(m.begin(), m.end(), isRunning));
}

} // namespace

// --- the intervals the monitors fetch ---------------------------------------

TEST(PollIntervals, TakenFromTheSpsBigEndianReply)
{
    Board board;
    board.sp().setInterval('h', 4000); // 00 00 0F A0
    board.sp().setInterval('p', 3000);
    board.start();
    ASSERT_TRUE(waitUntil([&] { return board.driver().heartbeatCount() >= 2; }, Millis{7000}));
    ASSERT_TRUE(waitUntil([&] { return board.driver().mcPolls() >= 2; }, Millis{5000}));
    const auto hb = beatGaps(board.driver());
    const auto mc = pollGaps(board.driver());
    EXPECT_NEAR(static_cast<double>(hb.at(0)), 4000.0, 100.0);
    EXPECT_NEAR(static_cast<double>(mc.at(0)), 3000.0, 100.0);
    ASSERT_EQ(exchangesOf(board.sp(), 'h').size(), 1u); // fetched once
    ASSERT_EQ(exchangesOf(board.sp(), 'p').size(), 1u);
    const SpExchange h = exchangesOf(board.sp(), 'h').front();
    EXPECT_EQ(h.bytesReceived, 1u); // the command byte and nothing else
    EXPECT_EQ(h.bytesSent, 4u);
    EXPECT_EQ(board.logCount("HB failed to get poll rate from SP\n"), 0u);
    EXPECT_EQ(board.logCount("MC failed to get poll rate from SP\n"), 0u);
}

TEST(PollIntervals, WithoutAnSpTheDefaultsAfterTheMessages)
{
    Board board;
    board.sp().setListening(false);
    board.start();
    EXPECT_TRUE(board.waitForLog("HB failed to get poll rate from SP\n", LOG_INFO));
    EXPECT_TRUE(board.waitForLog("MC failed to get poll rate from SP\n", LOG_INFO));
    EXPECT_TRUE(board.waitForLog("cannot connect ", LOG_INFO));
    ASSERT_TRUE(waitUntil([&] { return board.driver().mcPolls() >= 2; }, Millis{7000}));
    ASSERT_GE(board.driver().heartbeatCount(), 2u);
    EXPECT_NEAR(static_cast<double>(beatGaps(board.driver()).at(0)), 4000.0, 100.0);
    EXPECT_NEAR(static_cast<double>(pollGaps(board.driver()).at(0)), 5000.0, 100.0);
}

// Each way the SP can fail to give an interval: the monitors log their
// message and go on with the default (its length is checked above).
TEST(PollIntervals, FailedExchangesGiveTheDefault)
{
    struct Case {
        const char* what;
        std::function<void(Board&)> arrange;
        std::vector<std::string> alsoLogged;
    };
    const std::vector<Case> cases = {
        {"interval 0",
         [](Board& b) {
             b.sp().setInterval('h', 0);
             b.sp().setInterval('p', 0);
         },
         {}},
        {"short reply",
         [](Board& b) {
             b.sp().setMode('h', SpMode::Short, 3);
             b.sp().setMode('p', SpMode::Short, 2);
         },
         {}},
        {"closed without reply",
         [](Board& b) {
             b.sp().setMode('h', SpMode::CloseWithoutReply);
             b.sp().setMode('p', SpMode::CloseWithoutReply);
         },
         {}},
        {"reset",
         [](Board& b) {
             b.sp().setMode('h', SpMode::Reset);
             b.sp().setMode('p', SpMode::Reset);
         },
         {}},
        {"empty address file",
         [](Board& b) { b.driver().setSpIpFile(""); },
         {"/etc/hlink/hlink.conf file format wrong\n", "sp unknown host\n"}},
        {"blank address file",
         [](Board& b) { b.driver().setSpIpFile(" \n"); },
         {"/etc/hlink/hlink.conf file format wrong\n", "sp unknown host\n"}},
        {"no address file", [](Board& b) { b.driver().removeSpIpFile(); }, {"sp unknown host\n"}},
        // Blanks go to the resolver with the name: no address, no connection.
        {"address and a second word",
         [](Board& b) { b.driver().setSpIpFile("169.254.101.2 sp\n"); },
         {"sp unknown host\n"}},
    };
    for (const Case& c : cases) {
        Board board;
        c.arrange(board);
        board.start();
        EXPECT_TRUE(board.waitForLog("HB failed to get poll rate from SP\n", LOG_INFO)) << c.what;
        EXPECT_TRUE(board.waitForLog("MC failed to get poll rate from SP\n", LOG_INFO)) << c.what;
        for (const std::string& line : c.alsoLogged) {
            EXPECT_TRUE(board.waitForLog(line, LOG_INFO)) << c.what << ": " << line;
        }
        // The first heartbeat follows the failed fetch at once.
        EXPECT_TRUE(waitUntil([&] { return board.driver().heartbeatCount() >= 1; })) << c.what;
        if (c.alsoLogged.empty()) {
            EXPECT_EQ(board.logCount("sp unknown host\n"), 0u) << c.what;
        }
        if (std::string(c.what) == "no address file") {
            EXPECT_EQ(board.logCount("/etc/hlink/hlink.conf file format wrong\n"), 0u);
        }
        EXPECT_EQ(board.logCount("alarm previously set\n"), 0u) << c.what;
    }
}

TEST(PollIntervals, AddressTextIsCutAtItsFirstControlCharacter)
{
    Board board;
    board.driver().setSpIpFile("169.254.101.2\tanything after a tab\n");
    board.sp().setInterval('h', 100);
    board.start();
    ASSERT_TRUE(board.sp().waitForExchanges(2));
    EXPECT_TRUE(waitUntil([&] { return board.driver().heartbeatCount() >= 5; }, Millis{2000}));
    EXPECT_EQ(board.logCount("HB failed to get poll rate from SP\n"), 0u);
    EXPECT_EQ(board.logCount("/etc/hlink/hlink.conf file format wrong\n"), 0u);
}

// An SP that accepts and never answers costs each monitor the 20-second
// bound, not its life; the heartbeat then starts with the default.
TEST(PollIntervals, AnSpThatNeverAnswersCostsAtMostTheBound)
{
    Board board;
    board.sp().setMode('h', SpMode::Silent);
    board.sp().setMode('p', SpMode::Silent);
    board.start();
    // An exchange is listed from its accept; its command byte may come later.
    ASSERT_TRUE(waitUntil([&] { return !exchangesOf(board.sp(), 'h').empty(); }));
    const SpExchange h = exchangesOf(board.sp(), 'h').at(0);
    EXPECT_EQ(board.driver().heartbeatCount(), 0u);
    ASSERT_TRUE(waitUntil([&] { return board.driver().heartbeatCount() >= 1; }, Millis{25000}));
    const long long waited = msBetween(h.accepted, board.driver().heartbeats().at(0));
    // 20 s, measured from the SP's accept, which a loaded machine may delay
    // past the agent's connect (the bound starts at the connect) as it may
    // delay the beat's wake-up; a beat that waited for a default interval
    // as well would come at 24 s.
    EXPECT_GE(waited, 18500);
    EXPECT_LE(waited, 23000);
    EXPECT_TRUE(board.waitForLog("HB failed to get poll rate from SP\n", LOG_INFO));
    EXPECT_TRUE(board.waitForLog("MC failed to get poll rate from SP\n", LOG_INFO, Millis{2000}));
    EXPECT_TRUE(waitUntil([&] { return board.driver().mcPolls() >= 1; }, Millis{2000}));
    // The agent closed both connections (the SP notes each close as it sees it).
    EXPECT_TRUE(waitUntil([&] {
        const std::vector<SpExchange> all = board.sp().exchanges();
        return std::all_of(all.begin(), all.end(),
                           [](const SpExchange& e) { return e.outcome == simsp::Outcome::PeerClosed; });
    }));
}

// --- the heartbeat -----------------------------------------------------------

TEST(Heartbeat, OneBeatPerInterval)
{
    Board board;
    board.sp().setInterval('h', 100);
    board.start();
    ASSERT_TRUE(waitUntil([&] { return board.driver().heartbeatCount() >= 1; }));
    const auto first = board.driver().heartbeats().at(0);
    std::this_thread::sleep_for(Millis{3000});
    const auto beats = board.driver().heartbeats();
    const auto inWindow = std::count_if(beats.begin(), beats.end(),
                                        [&](Clock::time_point t) { return t > first && t <= first + Millis{3000}; });
    EXPECT_GE(inWindow, 27);
    EXPECT_LE(inWindow, 30);
    for (const DriverCall& c : board.driver().calls()) {
        if (c.request == simdrv::kHbBeat) {
            EXPECT_EQ(c.arg, 0u);
            EXPECT_EQ(c.result, 0);
        }
    }
    // The monitor keeps one descriptor for its life (the MC monitor its own).
    EXPECT_EQ(board.driver().opens(simdrv::kMc), 2u);
}

TEST(Heartbeat, AnIntervalAboveOneSecondIsSleptInSlices)
{
    Board board;
    board.sp().setInterval('h', 1300);
    board.start();
    ASSERT_TRUE(waitUntil([&] { return board.driver().heartbeatCount() >= 3; }, Millis{5000}));
    for (long long gap : beatGaps(board.driver())) {
        EXPECT_NEAR(static_cast<double>(gap), 1300.0, 60.0);
    }
}

// --- the MC error records ----------------------------------------------------

TEST(McRecords, FlaggedRecordsEachOnTheirOwnConnectionInRecordOrder)
{
    Board board;
    board.sp().setInterval('p', 100);
    const RegIfVals one = record(1);
    const RegIfVals three = record(3);
    board.driver().queueMcRecords(poll(none(), one, none(), three));
    board.start();
    ASSERT_TRUE(board.sp().waitForReports(2));
    std::this_thread::sleep_for(Millis{300});
    const auto reports = board.sp().reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_TRUE(sameBytes(reports[0].record, one));
    EXPECT_TRUE(sameBytes(reports[1].record, three));
    const auto xs = exchangesOf(board.sp(), 'x');
    ASSERT_EQ(xs.size(), 2u);
    EXPECT_NE(reports[0].exchange, reports[1].exchange);
    for (const SpExchange& x : xs) {
        EXPECT_EQ(x.bytesReceived, 157u); // 'x' and the 156-byte record
        EXPECT_EQ(x.bytesSent, 0u);
        EXPECT_EQ(x.outcome, simsp::Outcome::PeerClosed);
    }
    EXPECT_LT(xs[0].accepted, xs[1].accepted);
}

TEST(McRecords, OnlyErrOccurredOneIsSent)
{
    Board board;
    board.sp().setInterval('p', 100);
    board.driver().queueMcRecords(poll(record(0, 2), record(1, 255), record(2, 0), record(3, 0x101)));
    board.driver().queueMcRecords(poll(none(), none(), none(), none()));
    board.start();
    ASSERT_TRUE(waitUntil([&] { return board.driver().mcPolls() >= 5; }));
    EXPECT_TRUE(exchangesOf(board.sp(), 'x').empty());
    EXPECT_EQ(board.sp().exchanges().size(), 2u); // the two interval fetches
}

TEST(McRecords, AnUnreachableSpGetsEveryRecordOnceInOrderWhenBack)
{
    Board board;
    board.sp().setInterval('p', 200);
    board.start();
    ASSERT_TRUE(board.sp().waitForExchanges(2));
    board.sp().setListening(false);
    const std::uint64_t pollsBefore = board.driver().mcPolls();
    board.driver().queueMcRecords(poll(record(10), none(), record(11), none()));
    board.driver().queueMcRecords(poll(none(), record(20), none(), none()));
    board.driver().queueMcRecords(poll(record(30), record(31), record(32), record(33)));
    // Three polls with records and the SP away, then one more.
    ASSERT_TRUE(waitUntil([&] { return board.driver().mcPolls() >= pollsBefore + 4; }));
    EXPECT_TRUE(board.sp().reports().empty());
    const std::size_t refusedAttempts = board.logCount("cannot connect ", LOG_INFO);
    // One attempt per poll, not one per record (the poll in flight may add one).
    EXPECT_GE(refusedAttempts, 3u);
    EXPECT_LE(refusedAttempts, static_cast<std::size_t>(board.driver().mcPolls() - pollsBefore) + 1);

    board.sp().setListening(true);
    ASSERT_TRUE(board.sp().waitForReports(7));
    board.driver().queueMcRecords(poll(none(), none(), record(40), none()));
    ASSERT_TRUE(board.sp().waitForReports(8));
    std::this_thread::sleep_for(Millis{600});
    EXPECT_EQ(reportedCpus(board.sp()), (std::vector<std::uint32_t>{10, 11, 20, 30, 31, 32, 33, 40}));
    for (const SpReport& r : board.sp().reports()) {
        EXPECT_TRUE(sameBytes(r.record, record(r.record.cpuId)));
    }
}

// 64 records wait at most; the 65th pushes out the oldest, and one line
// says how many a poll dropped.
TEST(McRecords, AFullBacklogDropsTheOldestWithOneLine)
{
    Board board;
    board.sp().setInterval('p', 100);
    board.start();
    ASSERT_TRUE(board.sp().waitForExchanges(2));
    board.sp().setListening(false);
    for (std::uint32_t set = 0; set < 17; ++set)
        board.driver().queueMcRecords(
            poll(record(4 * set), record(4 * set + 1), record(4 * set + 2), record(4 * set + 3)));
    const std::string dropped = "MC error records undelivered: backlog of 64 full, 4 dropped, 0 of them uncorrected\n";
    ASSERT_TRUE(board.waitForLog(dropped, LOG_INFO));
    ASSERT_TRUE(waitUntil([&] { return board.driver().mcSets().back().handedOut.has_value(); }));
    std::this_thread::sleep_for(Millis{300});
    EXPECT_EQ(board.logCount(dropped), 1u);
    board.sp().setListening(true);
    ASSERT_TRUE(board.sp().waitForReports(64));
    std::this_thread::sleep_for(Millis{300});
    const auto cpus = reportedCpus(board.sp());
    ASSERT_EQ(cpus.size(), 64u);
    for (std::uint32_t i = 0; i < 64; ++i)
        EXPECT_EQ(cpus[i], i + 4);
}

// The SP address file is read for every exchange: records follow the SP to
// its new address.
TEST(McRecords, TheSpAddressIsReadForEveryExchange)
{
    Board board;
    board.sp().setInterval('p', 100);
    board.addSpSideAddress("169.254.101.9");
    board.start();
    ASSERT_TRUE(board.sp().waitForExchanges(2));
    board.sp().setAddress("169.254.101.9");
    board.driver().setSpIpFile("169.254.101.9\n");
    board.driver().queueMcRecords(poll(record(7), none(), none(), none()));
    ASSERT_TRUE(board.sp().waitForReports(1));
    EXPECT_EQ(reportedCpus(board.sp()), std::vector<std::uint32_t>{7});
}

// --- the ends of the monitors ------------------------------------------------

TEST(MonitorEnds, AFailingHeartbeatEndsOnlyTheHeartbeatMonitor)
{
    Board board;
    board.sp().setInterval('p', 100);
    board.driver().failRequest(simdrv::kHbBeat);
    board.start();
    ASSERT_TRUE(board.waitForLog("IOCTL_HB_BEAT failed \n", LOG_CRIT));
    ASSERT_TRUE(waitUntil([&] { return runningMonitors(board) == 1; }));
    const std::uint64_t polls = board.driver().mcPolls();
    std::this_thread::sleep_for(Millis{500});
    EXPECT_GT(board.driver().mcPolls(), polls); // the MC monitor goes on
    EXPECT_EQ(board.driver().requestCount(simdrv::kHbBeat), 1u);
    EXPECT_EQ(board.logCount("IOCTL_HB_BEAT failed \n"), 1u);
    EXPECT_TRUE(board.request("v").closed); // and so does the server
}

TEST(MonitorEnds, AFailingPollEndsOnlyTheMcMonitor)
{
    Board board;
    board.sp().setInterval('h', 100);
    board.driver().failRequest(simdrv::kMcRegIf);
    board.start();
    ASSERT_TRUE(board.waitForLog("IOCTL_MC_REG_IF failed\n", LOG_CRIT));
    ASSERT_TRUE(waitUntil([&] { return runningMonitors(board) == 1; }));
    const std::uint64_t beats = board.driver().heartbeatCount();
    std::this_thread::sleep_for(Millis{500});
    EXPECT_GT(board.driver().heartbeatCount(), beats);
    EXPECT_EQ(board.driver().requestCount(simdrv::kMcRegIf), 1u);
    EXPECT_EQ(board.logCount("IOCTL_MC_REG_IF failed\n"), 1u);
    EXPECT_TRUE(board.request("v").closed);
}

TEST(MonitorEnds, WithoutTheDeviceTheSpIsNeverContacted)
{
    Board board;
    board.driver().setPresent(simdrv::kMc, false);
    board.start();
    ASSERT_TRUE(waitUntil([&] { return board.logCount("failed to open the driver /dev/oxa_mc\n", LOG_CRIT) == 2; }));
    EXPECT_TRUE(board.waitMonitorsEnded());
    std::this_thread::sleep_for(Millis{300});
    EXPECT_TRUE(board.sp().exchanges().empty());
    EXPECT_TRUE(board.request("v").closed);
}

TEST(MonitorEnds, SigtermToThePidFilesProcessEndsBothMonitors)
{
    Board board;
    board.sp().setInterval('h', 100);
    board.sp().setInterval('p', 100);
    board.start();
    ASSERT_TRUE(waitUntil([&] { return board.driver().heartbeatCount() >= 2 && board.driver().mcPolls() >= 2; }));
    ASSERT_EQ(runningMonitors(board), 2u);
    ASSERT_EQ(::kill(board.daemonPid(), SIGTERM), 0);
    EXPECT_TRUE(board.waitMonitorsEnded());
    const std::uint64_t beats = board.driver().heartbeatCount();
    std::this_thread::sleep_for(Millis{300});
    EXPECT_EQ(board.driver().heartbeatCount(), beats);
    EXPECT_TRUE(listensOn(board.daemonPid(), kServerPort));
    EXPECT_TRUE(board.request("v").closed);
}

// --- measurements (run on request: --gtest_also_run_disabled_tests) ---------

namespace {

void measureHeartbeat(std::uint32_t intervalMs)
{
    Board board;
    board.sp().setInterval('h', intervalMs);
    board.start();
    ASSERT_TRUE(waitUntil([&] { return board.driver().heartbeatCount() >= 1; }));
    std::this_thread::sleep_for(std::chrono::seconds(30));
    const auto gaps = [&] {
        const auto beats = board.driver().heartbeats();
        std::vector<double> us;
        for (std::size_t i = 1; i < beats.size(); ++i)
            us.push_back(
                static_cast<double>(duration_cast<std::chrono::microseconds>(beats[i] - beats[i - 1]).count()));
        return us;
    }();
    ASSERT_FALSE(gaps.empty());
    double sum = 0;
    double worst = 0;
    for (double g : gaps) {
        sum += g;
        worst = std::max(worst, std::fabs(g - intervalMs * 1000.0));
    }
    const double mean = sum / static_cast<double>(gaps.size());
    std::printf("heartbeat %u ms: %zu periods, mean %.3f ms (deviation %+.3f ms), worst deviation %.3f ms\n",
                intervalMs, gaps.size(), mean / 1000.0, mean / 1000.0 - intervalMs, worst / 1000.0);
}

} // namespace

TEST(Measure, DISABLED_HeartbeatPeriodAt100ms)
{
    measureHeartbeat(100);
}
TEST(Measure, DISABLED_HeartbeatPeriodAt1000ms)
{
    measureHeartbeat(1000);
}

TEST(Measure, DISABLED_FlaggedRecordToSp)
{
    Board board;
    board.sp().setInterval('p', 100);
    board.start();
    ASSERT_TRUE(board.sp().waitForExchanges(2));
    constexpr std::uint32_t kRecords = 50;
    for (std::uint32_t i = 0; i < kRecords; ++i) {
        board.driver().queueMcRecords(poll(record(i), none(), none(), none()));
        ASSERT_TRUE(board.sp().waitForReports(i + 1));
    }
    const auto sets = board.driver().mcSets();
    const auto reports = board.sp().reports();
    ASSERT_EQ(reports.size(), kRecords);
    std::vector<double> us;
    for (std::uint32_t i = 0; i < kRecords; ++i) {
        ASSERT_TRUE(sets.at(i).handedOut);
        us.push_back(static_cast<double>(
            duration_cast<std::chrono::microseconds>(reports[i].complete - *sets[i].handedOut).count()));
    }
    std::sort(us.begin(), us.end());
    double sum = 0;
    for (double u : us)
        sum += u;
    std::printf("flagged record to SP (157 bytes held): %u records, mean %.3f ms, median %.3f ms, worst %.3f ms\n",
                kRecords, sum / kRecords / 1000.0, us[kRecords / 2] / 1000.0, us.back() / 1000.0);
}
