// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Time, host name, feature version and the poll-interval settings, through
// the running daemon; an accepted setting reaches the running monitor.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testbed/board/board.h"

namespace {

using namespace std::chrono_literals;
using testbed::Board;
using testbed::document;

TEST(SmallQueries, TimeHostNameAndFeatures)
{
    Board board;
    board.start();
    const long before = static_cast<long>(std::time(nullptr));
    const std::string reply = board.request("T").bytes;
    const long after = static_cast<long>(std::time(nullptr));
    const std::string head = std::string(testbed::kPrologue) + "<vorn> <time>";
    ASSERT_EQ(reply.compare(0, head.size(), head), 0) << testbed::printable(reply);
    std::size_t digits = 0;
    const long t = std::stol(reply.substr(head.size()), &digits);
    EXPECT_GE(t, before);
    EXPECT_LE(t, after);
    EXPECT_EQ(reply, document("<time>" + std::to_string(t) + "</time><cmdRetVal>0</cmdRetVal>"));

    EXPECT_EQ(board.request("H").bytes,
              document(std::string("<hostname>") + testbed::kHostname + "</hostname><cmdRetVal>0</cmdRetVal>"));
    EXPECT_EQ(board.request("v").bytes, document("<vornVer>Linux version 0.6</vornVer> "));
    // Bytes after the letter do not matter to commands without an argument.
    EXPECT_EQ(board.request("v whatever").bytes, document("<vornVer>Linux version 0.6</vornVer> "));
}

TEST(PollIntervalSettings, RepliesAtTheLimitsAndBeyond)
{
    Board board;
    board.start();
    const std::string bare = document("");
    struct Case {
        std::string request;
        std::string body;
    };
    const Case cases[] = {
        {"h 100", ""},
        {"h 8640000", ""},
        {"h 4294967396", ""},
        {"h 99", "<error>HB Poll rate 99 too small.  Using min value = 100</error>"},
        {"h 8640001", "<error>HB Poll rate too large.  Using max value = 8640000 </error>"},
        {"h -5", "<error>HB Poll rate too large.  Using max value = 8640000 </error>"},
        {"h abc", "<error>HB Poll rate 0 too small.  Using min value = 100</error>"},
        {"h5000", "<error>HB Poll rate 0 too small.  Using min value = 100</error>"},
        {"h", "<error>HB Poll rate 0 too small.  Using min value = 100</error>"},
        {"p 100", ""},
        {"p 8640000", ""},
        {"p 4294967396", ""},
        {"p 99", "<error>MC Poll rate 99 too small.  Using min value = 100</error>"},
        {"p 8640001", "<error>MC Poll rate too large.  Using max value = 8640000 </error>"},
        {"p -5", "<error>MC Poll rate too large.  Using max value = 8640000 </error>"},
        {"p abc", "<error>MC Poll rate 0 too small.  Using min value = 100</error>"},
        {"p5000", "<error>MC Poll rate 0 too small.  Using min value = 100</error>"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(board.request(c.request).bytes, document(c.body)) << c.request;
    }
}

// Gaps between the heartbeats that came after `since`.
std::vector<testbed::Millis> gapsAfter(const std::vector<testbed::Clock::time_point>& beats,
                                       testbed::Clock::time_point since)
{
    std::vector<testbed::Millis> gaps;
    for (std::size_t i = 1; i < beats.size(); ++i) {
        if (beats[i - 1] >= since) {
            gaps.push_back(std::chrono::duration_cast<testbed::Millis>(beats[i] - beats[i - 1]));
        }
    }
    return gaps;
}

TEST(PollIntervalSettings, AcceptedHeartbeatIntervalChangesTheRunningMonitor)
{
    Board board;
    board.sp().setInterval('h', 5000);
    board.start();
    // The monitor beats every 5 s at first.
    const auto deadline = testbed::Clock::now() + 8s;
    while (board.driver().heartbeatCount() < 1 && testbed::Clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_GE(board.driver().heartbeatCount(), 1u);

    EXPECT_EQ(board.request("h 200").bytes, document(""));
    const auto accepted = testbed::Clock::now();
    // Within one slice of its sleep (at most a second) the monitor beats at
    // the new interval.
    std::this_thread::sleep_for(3s);
    const auto gaps = gapsAfter(board.driver().heartbeats(), accepted + 1200ms);
    ASSERT_GE(gaps.size(), 5u);
    for (const auto gap : gaps) {
        EXPECT_GE(gap.count(), 150);
        EXPECT_LE(gap.count(), 600);
    }
}

TEST(PollIntervalSettings, AcceptedMcIntervalChangesTheRunningMonitor)
{
    Board board;
    board.sp().setInterval('p', 5000);
    board.start();
    // The monitor has fetched its interval from the SP once it has polled.
    const auto deadline = testbed::Clock::now() + 8s;
    while (board.driver().mcPolls() < 1 && testbed::Clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_GE(board.driver().mcPolls(), 1u);
    EXPECT_EQ(board.request("p 200").bytes, document(""));
    std::this_thread::sleep_for(1200ms);
    const auto before = board.driver().mcPolls();
    std::this_thread::sleep_for(2s);
    const auto polls = board.driver().mcPolls() - before;
    // About ten polls in two seconds at 200 ms (none at 5 s a poll).
    EXPECT_GE(polls, 6u);
    EXPECT_LE(polls, 14u);
}

} // namespace
