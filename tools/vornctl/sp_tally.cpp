// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "sp_tally.h"

namespace vornctl {

McSeverity mcSeverity(const McBank& bank) noexcept
{
    if (bank.pcc) {
        return McSeverity::Pcc;
    }
    return bank.uncorrected ? McSeverity::Uncorrected : McSeverity::Corrected;
}

std::string_view mcSeverityName(McSeverity severity) noexcept
{
    switch (severity) {
    case McSeverity::Corrected:
        return "corrected";
    case McSeverity::Uncorrected:
        return "uncorrected";
    case McSeverity::Pcc:
        break;
    }
    return "pcc";
}

void tallyRecord(McTally& tally, const McRecord& record)
{
    ++tally.records;
    for (const McBank& bank : record.banks) {
        ++tally.errors[McErrorKey{record.cpuId, bank.bank, mcSeverity(bank)}];
    }
}

CaptureTally tallyCapture(std::string_view bytes)
{
    constexpr std::size_t kFrame = kMcRecordSize + 1;
    CaptureTally result;
    std::size_t at = 0;
    for (; at < bytes.size(); at += kFrame) {
        if (bytes[at] != 'x') {
            result.foreign = true;
            break;
        }
        if (bytes.size() - at < kFrame) {
            break;
        }
        McRecordBytes record{};
        for (std::size_t i = 0; i < kMcRecordSize; ++i) {
            record[i] = static_cast<std::uint8_t>(bytes[at + 1 + i]);
        }
        tallyRecord(result.tally, decodeMcRecord(record));
    }
    result.wholeBytes = at;
    return result;
}

} // namespace vornctl
