// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The two hardware monitors, each run in a process of its own, and the pure
// pieces they are built from: the sliced sleep's schedule and the MC
// monitor's backlog of undelivered error records.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "mc.h"

namespace vorn {

// Intervals used when the SP gives none, in milliseconds.
inline constexpr std::uint32_t kHbDefaultPollRate = 4000;
inline constexpr std::uint32_t kMcDefaultPollRate = 5000;

// No single sleep of a monitor lasts longer than this (ms).
inline constexpr std::uint64_t kMaxSliceMs = 1000;

// The next slice of an interval of rate ms of which timeSlept ms have been
// slept: at most one second, 0 when the interval is over.
constexpr std::uint64_t nextSlice(std::uint32_t rate, std::uint64_t timeSlept)
{
    if (timeSlept >= rate) {
        return 0;
    }
    return std::min<std::uint64_t>(kMaxSliceMs, rate - timeSlept);
}

// Sleeps one interval in slices. readRate() gives the interval in ms and is
// read anew before every slice, so a new setting takes effect within one
// slice; sleepMs(ms) sleeps one slice. Returns the time slept (ms).
template <class ReadRate, class SleepMs>
std::uint64_t sleepSliced(ReadRate&& readRate, SleepMs&& sleepMs)
{
    std::uint64_t timeSlept = 0;
    for (;;) {
        const std::uint64_t slice = nextSlice(readRate(), timeSlept);
        if (slice == 0) {
            return timeSlept;
        }
        sleepMs(slice);
        timeSlept += slice;
    }
}

// Flagged MC error records that could not be delivered yet, oldest first.
// When full, a new record pushes out the oldest.
class UndeliveredRecords {
public:
    static constexpr std::size_t kCapacity = 64;

    [[nodiscard]] bool empty() const noexcept { return count_ == 0; }
    [[nodiscard]] std::size_t size() const noexcept { return count_; }
    [[nodiscard]] const RegIfVals& front() const noexcept { return records_[head_]; }

    void pop() noexcept
    {
        if (count_ > 0) {
            head_ = (head_ + 1) % kCapacity;
            --count_;
        }
    }

    // Keeps record as the newest; returns true when the oldest was dropped
    // to make room.
    bool push(const RegIfVals& record) noexcept
    {
        const bool full = count_ == kCapacity;
        if (full) {
            pop();
        }
        records_[(head_ + count_) % kCapacity] = record;
        ++count_;
        return full;
    }

private:
    std::array<RegIfVals, kCapacity> records_{};
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

using McPoll = std::array<RegIfVals, MC_RECORDS_PER_POLL>;

// Forwards one poll's flagged records (errOccurred exactly 1), in record
// order, after the backlog, oldest first. deliver(record) sends one record
// and returns whether it went out. After the first failure nothing more is
// tried in this poll: the backlog keeps that record and every flagged record
// not yet delivered. Returns how many old records were dropped because the
// backlog was full.
template <class Deliver>
unsigned forwardErrors(UndeliveredRecords& backlog, const McPoll& poll, Deliver&& deliver)
{
    bool delivering = true;
    while (delivering && !backlog.empty()) {
        delivering = deliver(backlog.front());
        if (delivering) {
            backlog.pop();
        }
    }
    unsigned dropped = 0;
    for (const RegIfVals& record : poll) {
        if (record.errOccurred != 1) {
            continue;
        }
        if (delivering) {
            delivering = deliver(record);
        }
        if (!delivering && backlog.push(record)) {
            ++dropped;
        }
    }
    return dropped;
}

// Beats the management controller's heartbeat; returns when the driver
// cannot be opened or a heartbeat fails.
void hbHandler();

// Polls the machine-check error registers and forwards flagged records to
// the SP; returns when the driver cannot be opened or a poll fails.
void mcHandler();

} // namespace vorn
