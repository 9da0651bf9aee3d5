// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// What the kernel says about a process: its memory (smaps_rollup) and the
// CPU it used and how often it ran (schedstat, status).
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <sys/types.h>

namespace bench {

struct Memory {
    std::uint64_t rssKb = 0;
    std::uint64_t pssKb = 0;
    std::uint64_t pssAnonKb = 0;
    std::uint64_t pssFileKb = 0;
    std::uint64_t privateKb = 0;     // Private_Clean + Private_Dirty (USS)
    std::uint64_t pssExcludedKb = 0; // PSS of the mappings memoryOf was told to leave out
};

// From smaps_rollup; and, per mapping from smaps, the PSS of the mappings
// whose path contains one of the texts in `excluded`.
std::optional<Memory> memoryOf(pid_t pid, const std::vector<std::string>& excluded = {});

// The page frames that a process has resident (from pagemap; needs root),
// leaving out the mappings whose path contains one of the texts in `excluded`.
std::set<std::uint64_t> residentFrames(pid_t pid, const std::vector<std::string>& excluded = {});

struct CpuUse {
    std::uint64_t onCpuNs = 0;    // schedstat: time spent running
    std::uint64_t timeslices = 0; // schedstat: times it was put on a CPU
    std::uint64_t voluntarySwitches = 0;
    std::uint64_t involuntarySwitches = 0;
};

std::optional<CpuUse> cpuOf(pid_t pid);

std::optional<std::string> readText(const std::string& path);

} // namespace bench
