// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Reading callgrind's profile files: the instructions of a dump, in total and
// per object file (so that the simulated drivers, which stand in for the
// kernel, can be told apart from the daemon's own work).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace bench {

struct CallgrindCost {
    bool ok = false;
    std::uint64_t total = 0;    // the dump's total instructions (Ir)
    std::uint64_t excluded = 0; // self cost inside objects whose path contains the excluded text
};

// Sums the self cost of a callgrind profile (event Ir first) per object.
CallgrindCost parseCallgrind(std::string_view profile, std::string_view excludedObject);

} // namespace bench
