// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The 128-byte CPU identity record: PCI VPD resources (Identifier String,
// VPD-R with MN, EC, VS, RV) and the End Tag.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vornctl {

inline constexpr std::size_t kCpuidRecordSize = 128;

struct CpuidRecord {
    std::string model;         // Identifier String
    std::string vendor;        // MN
    std::string ec;            // EC: "x86 Family F Model M Stepping S"
    std::uint32_t mhz = 0;     // VS: four bytes, most significant first
    std::uint8_t checksum = 0; // RV's first byte
    bool checksumOk = false;   // bytes 0 through the checksum add up to 0 modulo 256
};

struct CpuidDecode {
    bool ok = false;     // the layout was understood (the checksum may still be wrong)
    std::string problem; // what is wrong with the layout
    CpuidRecord record;
};

// Decodes one record of exactly 128 bytes.
CpuidDecode decodeCpuidRecord(std::string_view bytes);

} // namespace vornctl
