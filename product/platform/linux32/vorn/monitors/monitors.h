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

// Records dropped for want of room, and how many of them were uncorrected.
struct Drops {
    unsigned total = 0;
    unsigned uncorrected = 0;

    Drops& operator+=(const Drops& other) noexcept
    {
        total += other.total;
        uncorrected += other.uncorrected;
        return *this;
    }
};

// Flagged MC error records that could not be delivered yet, oldest first.
// When full, severity comes before age: a new uncorrected record takes the
// place of the oldest corrected one, a new corrected record pushes out the
// oldest corrected one; an uncorrected record makes way only for a newer
// uncorrected one, when no corrected one is left.
class UndeliveredRecords {
public:
    static constexpr std::size_t kCapacity = 64;

    [[nodiscard]] bool empty() const noexcept { return count_ == 0; }
    [[nodiscard]] std::size_t size() const noexcept { return count_; }
    [[nodiscard]] const RegIfVals& front() const noexcept { return at(0); }

    void pop() noexcept
    {
        if (count_ > 0) {
            head_ = (head_ + 1) % kCapacity;
            --count_;
        }
    }

    // Keeps record as the newest, making room when full; says what was
    // dropped (the record itself when it is corrected and every kept record
    // is uncorrected).
    Drops push(const RegIfVals& record) noexcept
    {
        Drops dropped;
        if (count_ == kCapacity) {
            const bool uncorrected = mc_record_uncorrected(&record) != 0;
            std::size_t victim = 0;
            while (victim < count_ && mc_record_uncorrected(&at(victim)) != 0) {
                ++victim;
            }
            dropped.total = 1;
            if (victim == count_) { // every kept record is uncorrected
                if (!uncorrected) {
                    return dropped;
                }
                victim = 0;
                dropped.uncorrected = 1;
            }
            erase(victim);
        }
        records_[(head_ + count_) % kCapacity] = record;
        ++count_;
        return dropped;
    }

private:
    [[nodiscard]] const RegIfVals& at(std::size_t i) const noexcept { return records_[(head_ + i) % kCapacity]; }

    // Removes the i-th oldest record; the newer ones move up by one.
    void erase(std::size_t i) noexcept
    {
        for (; i + 1 < count_; ++i) {
            records_[(head_ + i) % kCapacity] = records_[(head_ + i + 1) % kCapacity];
        }
        --count_;
    }

    std::array<RegIfVals, kCapacity> records_{};
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

using McPoll = std::array<RegIfVals, MC_RECORDS_PER_POLL>;

// What one poll's records came to.
struct Forwarded {
    bool delivering = true; // the SP took every record offered
    Drops dropped;          // records the full backlog dropped
};

// Forwards one poll's flagged records (errOccurred exactly 1), in record
// order, after the backlog, oldest first. deliver(record) sends one record
// and returns whether it went out. After the first failure nothing more is
// tried in this poll: the backlog keeps that record and every flagged record
// not yet delivered.
template <class Deliver>
Forwarded forwardErrors(UndeliveredRecords& backlog, const McPoll& poll, Deliver&& deliver)
{
    Forwarded out;
    while (out.delivering && !backlog.empty()) {
        out.delivering = deliver(backlog.front());
        if (out.delivering) {
            backlog.pop();
        }
    }
    for (const RegIfVals& record : poll) {
        if (record.errOccurred != 1) {
            continue;
        }
        if (out.delivering) {
            out.delivering = deliver(record);
        }
        if (!out.delivering) {
            out.dropped += backlog.push(record);
        }
    }
    return out;
}

// Polls of the driver one interval may take at most: a flood cannot keep
// the monitor from sleeping.
inline constexpr unsigned kMaxPollsPerInterval = 64;

// One interval's polls: the driver is asked again at once while a poll
// comes back full (every record flagged) and the SP takes every record, at
// most kMaxPollsPerInterval times. poll(records) fills the zeroed records
// and returns false when the request failed. Returns false on a failed
// request; *dropped counts what the backlog dropped meanwhile.
template <class Poll, class Deliver>
bool drainDriver(UndeliveredRecords& backlog, Poll&& poll, Deliver&& deliver, Drops* dropped)
{
    McPoll records{};
    for (unsigned polls = 0; polls < kMaxPollsPerInterval; ++polls) {
        records.fill(RegIfVals{});
        if (!poll(records)) {
            return false;
        }
        const Forwarded out = forwardErrors(backlog, records, deliver);
        *dropped += out.dropped;
        const bool full =
            std::all_of(records.begin(), records.end(), [](const RegIfVals& r) { return r.errOccurred == 1; });
        if (!out.delivering || !full) {
            break;
        }
    }
    return true;
}

// Beats the management controller's heartbeat; returns when the driver
// cannot be opened or a heartbeat fails.
void hbHandler();

// Polls the machine-check error registers and forwards flagged records to
// the SP; returns when the driver cannot be opened or a poll fails.
void mcHandler();

} // namespace vorn
