// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The monitors' schedule and the MC monitor's forwarding, without sleeping
// and without an SP: slices are recorded, deliveries are faked.
#include <cstdint>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "monitors/monitors.h"

namespace vorn {
namespace {

// The slices of one interval whose setting does not change.
std::vector<std::uint64_t> slicesOf(std::uint32_t rate)
{
    std::vector<std::uint64_t> slices;
    sleepSliced([rate] { return rate; }, [&](std::uint64_t ms) { slices.push_back(ms); });
    return slices;
}

using Slices = std::vector<std::uint64_t>;

TEST(SlicedSleep, NoSliceLongerThanOneSecond)
{
    EXPECT_EQ(slicesOf(4000), Slices({1000, 1000, 1000, 1000}));
    EXPECT_EQ(slicesOf(4500), Slices({1000, 1000, 1000, 1000, 500}));
    EXPECT_EQ(slicesOf(5000), Slices({1000, 1000, 1000, 1000, 1000}));
    EXPECT_EQ(slicesOf(2500), Slices({1000, 1000, 500}));
    EXPECT_EQ(slicesOf(1001), Slices({1000, 1}));
    EXPECT_EQ(slicesOf(1000), Slices({1000}));
    EXPECT_EQ(slicesOf(999), Slices({999}));
    EXPECT_EQ(slicesOf(250), Slices({250}));
    EXPECT_EQ(slicesOf(1), Slices({1}));
    EXPECT_EQ(slicesOf(0), Slices({}));
}

TEST(SlicedSleep, LargestIntervalWithoutOverflow)
{
    std::uint64_t count = 0;
    std::uint64_t last = 0;
    const std::uint64_t slept = sleepSliced([] { return std::uint32_t{4294967295u}; },
                                            [&](std::uint64_t ms) {
                                                ++count;
                                                last = ms;
                                                EXPECT_LE(ms, 1000u);
                                            });
    EXPECT_EQ(slept, 4294967295ull);
    EXPECT_EQ(count, 4294968u);
    EXPECT_EQ(last, 295u);

    EXPECT_EQ(nextSlice(4294967295u, 4294967000ull), 295u);
    EXPECT_EQ(nextSlice(4294967295u, 4294967295ull), 0u);
    EXPECT_EQ(nextSlice(100, 5000), 0u); // a setting lowered below what was slept
}

// A setting that changes after a given number of slices, as the request
// server may change it while a monitor sleeps.
Slices slicesWithChange(std::uint32_t before, std::size_t afterSlices, std::uint32_t after,
                        std::size_t* reads = nullptr)
{
    Slices slices;
    std::size_t n = 0;
    sleepSliced(
        [&] {
            ++n;
            return slices.size() < afterSlices ? before : after;
        },
        [&](std::uint64_t ms) { slices.push_back(ms); });
    if (reads != nullptr) {
        *reads = n;
    }
    return slices;
}

TEST(SlicedSleep, TheSettingIsReadAnewBeforeEverySlice)
{
    std::size_t reads = 0;
    EXPECT_EQ(slicesWithChange(4000, 1, 1500, &reads), Slices({1000, 500}));
    EXPECT_EQ(reads, 3u); // before each slice and once to see the interval over

    // Lowered below what was already slept: the interval ends at once.
    EXPECT_EQ(slicesWithChange(8640000, 2, 1200), Slices({1000, 1000}));
    EXPECT_EQ(slicesWithChange(8640000, 1, 100), Slices({1000}));
    // Raised: the sleep goes on to the new length.
    EXPECT_EQ(slicesWithChange(1000, 1, 2300), Slices({1000, 1000, 300}));
    EXPECT_EQ(slicesWithChange(100, 1, 4000), Slices({100, 1000, 1000, 1000, 900}));
}

RegIfVals record(std::uint32_t cpu, std::uint32_t errOccurred = 1, std::uint64_t status = 0)
{
    RegIfVals r{};
    r.cpuId = cpu;
    r.errOccurred = errOccurred;
    r.val[eMC0_STATUS_REG] = status;
    return r;
}

TEST(UndeliveredRecords, OldestFirstAndTheOldestMakesRoom)
{
    UndeliveredRecords q;
    EXPECT_TRUE(q.empty());
    for (std::uint32_t i = 0; i < UndeliveredRecords::kCapacity; ++i) {
        EXPECT_EQ(q.push(record(i)).total, 0u);
    }
    EXPECT_EQ(q.size(), 64u);
    EXPECT_EQ(q.front().cpuId, 0u);
    EXPECT_EQ(q.push(record(64)).total, 1u);
    EXPECT_EQ(q.push(record(65)).total, 1u);
    EXPECT_EQ(q.size(), 64u);
    for (std::uint32_t i = 2; i <= 65; ++i) {
        ASSERT_FALSE(q.empty());
        EXPECT_EQ(q.front().cpuId, i);
        q.pop();
    }
    EXPECT_TRUE(q.empty());
    q.pop(); // harmless when empty
    EXPECT_EQ(q.size(), 0u);
    EXPECT_EQ(q.push(record(7)).total, 0u);
    EXPECT_EQ(q.front().cpuId, 7u);
}

constexpr std::uint64_t kUncorrected = MC_STATUS_VAL | MC_STATUS_UC | 0x0135;

// A full backlog keeps uncorrected records before corrected ones, never the
// reverse; among equals the oldest goes.
TEST(UndeliveredRecords, SeverityBeforeAge)
{
    UndeliveredRecords q;
    q.push(record(100, 1, kUncorrected));
    for (std::uint32_t i = 1; i < UndeliveredRecords::kCapacity; ++i) {
        q.push(record(i, 1, MC_STATUS_VAL | 0x0135));
    }
    // An uncorrected newcomer takes the oldest corrected record's place.
    Drops d = q.push(record(200, 1, kUncorrected));
    EXPECT_EQ(d.total, 1u);
    EXPECT_EQ(d.uncorrected, 0u);
    EXPECT_EQ(q.front().cpuId, 100u);
    // UC without VAL is no error.
    q.push(record(300, 1, MC_STATUS_UC));
    std::vector<std::uint32_t> kept;
    for (; !q.empty(); q.pop()) {
        kept.push_back(q.front().cpuId);
    }
    ASSERT_EQ(kept.size(), 64u);
    EXPECT_EQ(kept[1], 3u); // 1 and 2 made way
    EXPECT_EQ(kept[62], 200u);
    EXPECT_EQ(kept[63], 300u);

    // All uncorrected: a corrected newcomer is the one dropped, an
    // uncorrected one pushes out the oldest.
    for (std::uint32_t i = 0; i < UndeliveredRecords::kCapacity; ++i) {
        q.push(record(i, 1, kUncorrected));
    }
    d = q.push(record(500));
    EXPECT_EQ(d.total, 1u);
    EXPECT_EQ(d.uncorrected, 0u);
    d = q.push(record(600, 1, kUncorrected | MC_STATUS_PCC));
    EXPECT_EQ(d.uncorrected, 1u);
    EXPECT_EQ(q.front().cpuId, 1u);
    EXPECT_EQ(q.size(), 64u);
}

// A fake SP: records what reaches it while it answers.
struct FakeSp {
    bool answering = true;
    int attempts = 0;
    std::vector<std::uint32_t> received; // cpuId of each delivered record

    std::function<bool(const RegIfVals&)> deliver()
    {
        return [this](const RegIfVals& r) {
            ++attempts;
            if (answering) {
                received.push_back(r.cpuId);
            }
            return answering;
        };
    }
};

McPoll poll(RegIfVals a, RegIfVals b, RegIfVals c, RegIfVals d)
{
    return {a, b, c, d};
}

TEST(ForwardErrors, OnlyErrOccurredOneInRecordOrder)
{
    FakeSp sp;
    UndeliveredRecords backlog;
    EXPECT_EQ(
        forwardErrors(backlog, poll(record(0, 0), record(1), record(2, 0), record(3)), sp.deliver()).dropped.total, 0u);
    EXPECT_EQ(sp.received, std::vector<std::uint32_t>({1, 3}));

    sp.received.clear();
    forwardErrors(backlog, poll(record(0, 2), record(1, 255), record(2, 0x101), record(3, 0)), sp.deliver());
    EXPECT_TRUE(sp.received.empty());
    EXPECT_EQ(sp.attempts, 2);
    EXPECT_TRUE(backlog.empty());

    // Nothing flagged, nothing kept: the SP is not contacted.
    forwardErrors(backlog, McPoll{}, sp.deliver());
    EXPECT_EQ(sp.attempts, 2);
}

TEST(ForwardErrors, UnreachableSpCostsOneAttemptPerPollAndLosesNothing)
{
    FakeSp sp;
    UndeliveredRecords backlog;
    sp.answering = false;
    // Three polls with the SP away: one attempt each, every record kept.
    forwardErrors(backlog, poll(record(10), record(0, 0), record(11), record(0, 0)), sp.deliver());
    forwardErrors(backlog, poll(record(0, 0), record(20), record(0, 0), record(0, 0)), sp.deliver());
    forwardErrors(backlog, poll(record(0, 0), record(0, 0), record(0, 0), record(0, 0)), sp.deliver());
    // One attempt per poll: a poll without new records still offers the
    // oldest kept one.
    EXPECT_EQ(sp.attempts, 3);
    EXPECT_EQ(backlog.size(), 3u);

    sp.answering = true;
    forwardErrors(backlog, poll(record(30), record(0, 0), record(0, 0), record(31)), sp.deliver());
    EXPECT_EQ(sp.received, std::vector<std::uint32_t>({10, 11, 20, 30, 31}));
    EXPECT_TRUE(backlog.empty());
}

TEST(ForwardErrors, AFailureMidwayKeepsTheRestInOrder)
{
    UndeliveredRecords backlog;
    backlog.push(record(1));
    backlog.push(record(2));
    backlog.push(record(3));
    std::vector<std::uint32_t> received;
    int budget = 1; // the SP takes one record, then goes away
    auto deliver = [&](const RegIfVals& r) {
        if (budget == 0) {
            return false;
        }
        --budget;
        received.push_back(r.cpuId);
        return true;
    };
    forwardErrors(backlog, poll(record(4), record(5), record(0, 0), record(0, 0)), deliver);
    EXPECT_EQ(received, std::vector<std::uint32_t>({1}));
    budget = 100;
    forwardErrors(backlog, poll(record(0, 0), record(0, 0), record(6), record(0, 0)), deliver);
    EXPECT_EQ(received, std::vector<std::uint32_t>({1, 2, 3, 4, 5, 6}));

    // A new record that fails after the backlog went out is kept.
    budget = 1;
    forwardErrors(backlog, poll(record(7), record(8), record(0, 0), record(0, 0)), deliver);
    EXPECT_EQ(backlog.size(), 1u);
    EXPECT_EQ(backlog.front().cpuId, 8u);
}

TEST(ForwardErrors, AFullBacklogDropsTheOldestAndCountsThem)
{
    FakeSp sp;
    sp.answering = false;
    UndeliveredRecords backlog;
    for (std::uint32_t i = 0; i < 16; ++i) {
        EXPECT_EQ(forwardErrors(backlog, poll(record(4 * i), record(4 * i + 1), record(4 * i + 2), record(4 * i + 3)),
                                sp.deliver())
                      .dropped.total,
                  0u);
    }
    EXPECT_EQ(backlog.size(), 64u);
    EXPECT_EQ(
        forwardErrors(backlog, poll(record(64), record(0, 0), record(65), record(0, 0)), sp.deliver()).dropped.total,
        2u);
    EXPECT_EQ(backlog.front().cpuId, 2u);

    sp.answering = true;
    forwardErrors(backlog, poll(record(0, 0), record(0, 0), record(0, 0), record(0, 0)), sp.deliver());
    ASSERT_EQ(sp.received.size(), 64u);
    EXPECT_EQ(sp.received.front(), 2u);
    EXPECT_EQ(sp.received.back(), 65u);
}

TEST(ForwardErrors, TheRecordIsForwardedWhole)
{
    UndeliveredRecords backlog;
    RegIfVals seen{};
    forwardErrors(backlog, poll(record(0, 0), record(9, 1, 0xB200000000070005ull), record(0, 0), record(0, 0)),
                  [&](const RegIfVals& r) {
                      seen = r;
                      return true;
                  });
    EXPECT_EQ(seen.cpuId, 9u);
    EXPECT_EQ(seen.val[eMC0_STATUS_REG], 0xB200000000070005ull);
}

} // namespace

// The driver is asked again at once while it hands out full polls and the
// SP takes them, up to the bound; a failed request is reported.
TEST(DrainDriver, FullPollsAreTakenAtOnceUpToTheBound)
{
    FakeSp sp;
    UndeliveredRecords backlog;
    Drops dropped;
    unsigned polls = 0;
    auto flood = [&](McPoll& r) {
        ++polls;
        for (RegIfVals& one : r) {
            one = record(polls);
        }
        return true;
    };
    EXPECT_TRUE(drainDriver(backlog, flood, sp.deliver(), &dropped));
    EXPECT_EQ(polls, kMaxPollsPerInterval);
    EXPECT_EQ(sp.received.size(), 4u * kMaxPollsPerInterval);

    polls = 0;
    auto three = [&](McPoll& r) {
        ++polls;
        const bool more = polls < 3;
        r = poll(record(polls), record(polls), record(polls), more ? record(polls) : record(0, 0));
        return true;
    };
    EXPECT_TRUE(drainDriver(backlog, three, sp.deliver(), &dropped));
    EXPECT_EQ(polls, 3u);

    // The SP away: one poll, its records kept.
    polls = 0;
    sp.answering = false;
    EXPECT_TRUE(drainDriver(backlog, flood, sp.deliver(), &dropped));
    EXPECT_EQ(polls, 1u);
    EXPECT_EQ(backlog.size(), 4u);
    EXPECT_EQ(dropped.total, 0u);

    EXPECT_FALSE(drainDriver(
        backlog, [](McPoll&) { return false; }, sp.deliver(), &dropped));
}

} // namespace vorn
