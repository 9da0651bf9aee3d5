// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "cpuid_record.h"

namespace vornctl {

namespace {

constexpr std::uint8_t kIdentifierTag = 0x82;
constexpr std::uint8_t kVpdReadOnlyTag = 0x90;
constexpr std::uint8_t kEndTag = 0x78;

std::uint8_t at(std::string_view b, std::size_t i)
{
    return static_cast<std::uint8_t>(b[i]);
}

std::size_t length16(std::string_view b, std::size_t i)
{
    return at(b, i) | (static_cast<std::size_t>(at(b, i + 1)) << 8);
}

CpuidDecode failed(std::string problem)
{
    CpuidDecode d;
    d.problem = std::move(problem);
    return d;
}

} // namespace

CpuidDecode decodeCpuidRecord(std::string_view b)
{
    if (b.size() != kCpuidRecordSize) {
        return failed("a CPU identity record is 128 bytes, not " + std::to_string(b.size()));
    }
    if (at(b, 0) != kIdentifierTag) {
        return failed("byte 0 is not the Identifier String tag 0x82");
    }
    if (at(b, kCpuidRecordSize - 1) != kEndTag) {
        return failed("byte 127 is not the End Tag 0x78");
    }
    CpuidDecode d;
    const std::size_t idLength = length16(b, 1);
    const std::size_t vpdTag = 3 + idLength;
    if (vpdTag + 3 > kCpuidRecordSize - 1) {
        return failed("the Identifier String runs past the record");
    }
    d.record.model = std::string(b.substr(3, idLength));
    if (at(b, vpdTag) != kVpdReadOnlyTag) {
        return failed("no VPD-R tag 0x90 after the Identifier String");
    }
    const std::size_t dataStart = vpdTag + 3;
    const std::size_t dataEnd = dataStart + length16(b, vpdTag + 1);
    if (dataEnd > kCpuidRecordSize - 1) {
        return failed("the VPD-R resource runs into the End Tag");
    }

    bool haveMn = false;
    bool haveEc = false;
    bool haveVs = false;
    bool haveRv = false;
    std::size_t q = dataStart;
    while (q + 3 <= dataEnd) {
        const std::string_view keyword = b.substr(q, 2);
        const std::size_t len = at(b, q + 2);
        const std::size_t value = q + 3;
        if (keyword == "RV") {
            // The RV item's stated length reaches the last byte of the
            // record; only its first byte, the checksum, matters.
            if (value >= kCpuidRecordSize - 1 || len == 0) {
                return failed("the RV item has no checksum byte");
            }
            d.record.checksum = at(b, value);
            unsigned sum = 0;
            for (std::size_t i = 0; i <= value; ++i) {
                sum += at(b, i);
            }
            d.record.checksumOk = (sum & 0xFF) == 0;
            haveRv = true;
            break;
        }
        if (value + len > dataEnd) {
            return failed("the " + std::string(keyword) + " item runs past the VPD-R resource");
        }
        const std::string_view text = b.substr(value, len);
        if (keyword == "MN") {
            d.record.vendor = text;
            haveMn = true;
        } else if (keyword == "EC") {
            d.record.ec = text;
            haveEc = true;
        } else if (keyword == "VS") {
            if (len != 4) {
                return failed("the VS item is " + std::to_string(len) + " bytes, not 4");
            }
            d.record.mhz = (static_cast<std::uint32_t>(at(b, value)) << 24) |
                           (static_cast<std::uint32_t>(at(b, value + 1)) << 16) |
                           (static_cast<std::uint32_t>(at(b, value + 2)) << 8) | at(b, value + 3);
            haveVs = true;
        }
        q = value + len;
    }
    if (!haveMn || !haveEc || !haveVs || !haveRv) {
        return failed(std::string("the VPD-R resource lacks the") + (haveMn ? "" : " MN") + (haveEc ? "" : " EC") +
                      (haveVs ? "" : " VS") + (haveRv ? "" : " RV") + " item");
    }
    d.ok = true;
    return d;
}

} // namespace vornctl
