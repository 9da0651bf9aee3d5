// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "mc_record.h"

#include <utility>

#include "mc.h"

namespace vornctl {

static_assert(kMcRecordSize == sizeof(RegIfVals), "the record is the driver's RegIfVals");

namespace {

constexpr unsigned kBanks = 5;
// The registers of one bank follow each other in the record: CTL, STATUS, ADDR.
constexpr std::size_t kRegistersPerBank = eMC1_CTL_REG - eMC0_CTL_REG;
static_assert(kRegistersPerBank == 3 && eMC0_CTL_REG + kBanks * kRegistersPerBank == eREG_IF_FIELDS_COUNT,
              "five banks of CTL, STATUS and ADDR");
constexpr std::size_t kStatusOffset = eMC0_STATUS_REG - eMC0_CTL_REG;
constexpr std::size_t kAddrOffset = eMC0_ADDR_REG - eMC0_CTL_REG;

// MCi_STATUS bits, from the machine-check architecture as the AMD64
// Architecture Programmer's Manual (volume 2) and the Intel 64 and IA-32
// Architectures Software Developer's Manual (volume 3) define it alike.
constexpr unsigned kValidBit = 63;
constexpr unsigned kOverflowBit = 62;
constexpr unsigned kUncorrectedBit = 61;
constexpr unsigned kEnabledBit = 60;
constexpr unsigned kMiscValidBit = 59;
constexpr unsigned kAddrValidBit = 58;
constexpr unsigned kPccBit = 57;

// MCG_STATUS bits, same source.
constexpr unsigned kRipvBit = 0;
constexpr unsigned kEipvBit = 1;
constexpr unsigned kMcipBit = 2;

// The bank names of the family 0Fh processors, from that family's BIOS and
// kernel developer's guide (its machine-check banks MC0 to MC4).
constexpr std::string_view kFamily0FhBankNames[kBanks] = {"data cache", "instruction cache", "bus unit", "load/store",
                                                          "northbridge"};

// The forms of the error code (bits 15:0) and the encodings of their
// fields, from the same manuals' tables of machine-check error codes.
// TT: transaction type.
constexpr std::string_view kTransactions[4] = {"instruction", "data", "generic", "reserved"};
// LL: memory hierarchy level.
constexpr std::string_view kLevels[4] = {"L0", "L1", "L2", "generic"};
// RRRR: memory transaction type; the codes above 8 are reserved.
constexpr std::string_view kRequests[9] = {"generic",           "read",     "write", "data-read", "data-write",
                                           "instruction-fetch", "prefetch", "evict", "snoop"};
// PP: participation of the processor in the bus transaction.
constexpr std::string_view kParticipations[4] = {"source", "responder", "observer", "generic"};
// II: memory or I/O.
constexpr std::string_view kSpaces[4] = {"memory", "reserved", "io", "generic"};

std::uint64_t le(const McRecordBytes& b, std::size_t offset, std::size_t width)
{
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i) {
        v |= static_cast<std::uint64_t>(b[offset + i]) << (8 * i);
    }
    return v;
}

std::uint64_t reg(const McRecordBytes& b, std::size_t index)
{
    return le(b, offsetof(RegIfVals, val) + 8 * index, 8);
}

bool bit(std::uint64_t v, unsigned n)
{
    return ((v >> n) & 1U) != 0;
}

std::string_view requestName(unsigned rrrr)
{
    return rrrr < 9 ? kRequests[rrrr] : std::string_view("reserved");
}

// The compound error code's form, by the fixed bits of bits 15:0.
void classify(McBank& bank)
{
    const unsigned code = bank.errorCode;
    const unsigned tt = (code >> 2) & 3U;
    const unsigned ll = code & 3U;
    const unsigned rrrr = (code >> 4) & 0xFU;
    if ((code & 0xFFF0U) == 0x0010U) { // 0000 0000 0001 TTLL
        bank.errorClass = McErrorClass::Tlb;
        bank.transaction = kTransactions[tt];
        bank.level = kLevels[ll];
    } else if ((code & 0xFF00U) == 0x0100U) { // 0000 0001 RRRR TTLL
        bank.errorClass = McErrorClass::Memory;
        bank.request = requestName(rrrr);
        bank.transaction = kTransactions[tt];
        bank.level = kLevels[ll];
    } else if ((code & 0xF800U) == 0x0800U) { // 0000 1PPT RRRR IILL
        bank.errorClass = McErrorClass::Bus;
        bank.participation = kParticipations[(code >> 9) & 3U];
        bank.timeout = bit(code, 8);
        bank.request = requestName(rrrr);
        bank.space = kSpaces[(code >> 2) & 3U];
        bank.level = kLevels[ll];
    } else if ((code & 0xFC00U) == 0x0400U) { // 0000 01xx xxxx xxxx
        bank.errorClass = McErrorClass::Internal;
    } else {
        bank.errorClass = McErrorClass::Other;
    }
}

} // namespace

std::string_view mcErrorClassName(McErrorClass c) noexcept
{
    switch (c) {
    case McErrorClass::Tlb:
        return "tlb";
    case McErrorClass::Memory:
        return "memory";
    case McErrorClass::Bus:
        return "bus";
    case McErrorClass::Internal:
        return "internal";
    case McErrorClass::Other:
        break;
    }
    return "other";
}

McRecord decodeMcRecord(const McRecordBytes& bytes, unsigned family)
{
    McRecord r;
    r.cpuId = static_cast<std::uint32_t>(le(bytes, offsetof(RegIfVals, cpuId), 4));
    r.version = static_cast<std::uint32_t>(le(bytes, offsetof(RegIfVals, version), 4));
    r.errOccurred = static_cast<std::uint32_t>(le(bytes, offsetof(RegIfVals, errOccurred), 4));
    r.mcgStatus = reg(bytes, eMCG_STATUS_REG);
    r.ripv = bit(r.mcgStatus, kRipvBit);
    r.eipv = bit(r.mcgStatus, kEipvBit);
    r.mcip = bit(r.mcgStatus, kMcipBit);
    for (unsigned n = 0; n < kBanks; ++n) {
        const std::size_t first = eMC0_CTL_REG + n * kRegistersPerBank;
        const std::uint64_t status = reg(bytes, first + kStatusOffset);
        if (!bit(status, kValidBit)) {
            continue;
        }
        McBank b;
        b.bank = n;
        b.name = family == kDefaultMcFamily ? std::string(kFamily0FhBankNames[n]) : std::to_string(n);
        b.ctl = reg(bytes, first);
        b.status = status;
        b.addr = reg(bytes, first + kAddrOffset);
        b.valid = true;
        b.overflow = bit(status, kOverflowBit);
        b.uncorrected = bit(status, kUncorrectedBit);
        b.enabled = bit(status, kEnabledBit);
        b.miscValid = bit(status, kMiscValidBit);
        b.addrValid = bit(status, kAddrValidBit);
        b.pcc = bit(status, kPccBit);
        b.errorCode = static_cast<std::uint16_t>(status & 0xFFFFU);
        classify(b);
        r.banks.push_back(std::move(b));
    }
    return r;
}

McRecordFile splitMcRecords(std::string_view bytes)
{
    constexpr std::size_t kFramed = kMcRecordSize + 1;
    McRecordFile file;
    bool capture = !bytes.empty() && bytes.size() % kFramed == 0;
    for (std::size_t at = 0; capture && at < bytes.size(); at += kFramed) {
        capture = bytes[at] == 'x';
    }
    file.capture = capture;
    const std::size_t stride = capture ? kFramed : kMcRecordSize;
    const std::size_t skip = capture ? 1 : 0;
    const std::size_t count = bytes.size() / stride;
    file.records.reserve(count);
    for (std::size_t n = 0; n < count; ++n) {
        McRecordBytes r{};
        const std::size_t from = n * stride + skip;
        for (std::size_t i = 0; i < kMcRecordSize; ++i) {
            r[i] = static_cast<std::uint8_t>(bytes[from + i]);
        }
        file.records.push_back(r);
    }
    file.trailingBytes = bytes.size() - count * stride;
    return file;
}

} // namespace vornctl
