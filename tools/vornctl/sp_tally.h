// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// What the SP's end counts for its metrics: the machine-check errors of the
// records received, by CPU, bank and severity, and the counts that a
// capture of records already holds when the SP's end starts again.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "mc_record.h"

namespace vornctl {

// A bank's error as its status register tells it: corrected (UC clear),
// uncorrected (UC set), or uncorrected with the processor's context
// corrupt (PCC set: the processor cannot go on where it was).
enum class McSeverity { Corrected, Uncorrected, Pcc };

McSeverity mcSeverity(const McBank& bank) noexcept;
// "corrected", "uncorrected", "pcc".
std::string_view mcSeverityName(McSeverity severity) noexcept;

struct McErrorKey {
    std::uint32_t cpu = 0;
    unsigned bank = 0;
    McSeverity severity = McSeverity::Corrected;
    auto operator<=>(const McErrorKey&) const = default;
};

struct McTally {
    std::uint64_t records = 0;
    std::map<McErrorKey, std::uint64_t> errors; // one per valid bank
};

// Adds one record: one to the records, one to each of its valid banks.
void tallyRecord(McTally& tally, const McRecord& record);

// A capture file as the SP's end writes it: 'x' and a record, again and
// again. `wholeBytes` covers the whole frames; a frame that does not begin
// with 'x' makes the file foreign (what follows it is not counted).
struct CaptureTally {
    McTally tally;
    std::size_t wholeBytes = 0;
    bool foreign = false;
};
CaptureTally tallyCapture(std::string_view bytes);

} // namespace vornctl
