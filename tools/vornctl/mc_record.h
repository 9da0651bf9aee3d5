// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The machine-check error records that the agent forwards to the SP (the
// 156-byte RegIfVals of mc.h, in the host's little-endian byte order),
// decoded as the SP's end reads them: the global status, and each valid
// bank's status register with its architectural error code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vornctl {

inline constexpr std::size_t kMcRecordSize = 156;
// The board's CPUs: family 0Fh, whose bank names the decoder knows.
inline constexpr unsigned kDefaultMcFamily = 0x0F;

using McRecordBytes = std::array<std::uint8_t, kMcRecordSize>;

enum class McErrorClass { Tlb, Memory, Bus, Internal, Other };

// "tlb", "memory", "bus", "internal", "other".
std::string_view mcErrorClassName(McErrorClass c) noexcept;

// One bank whose status register has its valid bit (63) set.
struct McBank {
    unsigned bank = 0; // 0 to 4
    std::string name;  // family 0Fh: "data cache" ...; another family: the number as text
    std::uint64_t ctl = 0;
    std::uint64_t status = 0;
    std::uint64_t addr = 0;
    bool valid = false;          // status bit 63
    bool overflow = false;       // 62
    bool uncorrected = false;    // 61
    bool enabled = false;        // 60
    bool miscValid = false;      // 59
    bool addrValid = false;      // 58
    bool pcc = false;            // 57
    std::uint16_t errorCode = 0; // status bits 15:0
    McErrorClass errorClass = McErrorClass::Other;
    // The error code's fields in words; empty where its class has none.
    std::string transaction;   // TT: tlb, memory
    std::string level;         // LL: tlb, memory, bus
    std::string request;       // RRRR: memory, bus
    std::string participation; // PP: bus
    bool timeout = false;      // T: bus
    std::string space;         // II: bus
};

struct McRecord {
    std::uint32_t cpuId = 0;
    std::uint32_t version = 0;
    std::uint32_t errOccurred = 0;
    std::uint64_t mcgStatus = 0;
    bool ripv = false;         // MCG_STATUS bit 0
    bool eipv = false;         // bit 1
    bool mcip = false;         // bit 2
    std::vector<McBank> banks; // the valid banks, in bank order
};

McRecord decodeMcRecord(const McRecordBytes& bytes, unsigned family = kDefaultMcFamily);

// The records in a file: bare records one after the other, or a capture of
// the wire, where the byte 'x' stands before each record (a file whose first
// byte is 'x' and whose size is a multiple of 157).
struct McRecordFile {
    bool capture = false;
    std::vector<McRecordBytes> records; // the whole records, in order
    std::size_t trailingBytes = 0;      // what follows the last whole record
};
McRecordFile splitMcRecords(std::string_view bytes);

} // namespace vornctl
