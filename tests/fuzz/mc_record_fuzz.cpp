// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// vornctl's machine-check records over any bytes: the file's cut into
// records accounts for every byte, and each decoded record agrees with its
// raw bits, read here once more in a way of its own (the error code's form
// from its leading bits, the flags bit by bit), in both outputs too.
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "vornctl/mc_record.h"
#include "vornctl/render.h"

using namespace vornctl;

namespace {

constexpr std::size_t kFramed = kMcRecordSize + 1;
constexpr std::size_t kMaxRecordsChecked = 16;

std::uint64_t value(const McRecordBytes& r, std::size_t at, std::size_t width)
{
    std::uint64_t v = 0;
    for (std::size_t i = width; i-- > 0;) {
        v = (v << 8) | r[at + i];
    }
    return v;
}

// Register n of the record's eighteen, after the three 32-bit fields.
std::uint64_t registerValue(const McRecordBytes& r, std::size_t n)
{
    return value(r, 12 + 8 * n, 8);
}

bool bitOf(std::uint64_t v, unsigned n)
{
    return (v & (std::uint64_t{1} << n)) != 0;
}

// The form by the code's leading bits: 15:12 zero for every form, then the
// highest set bit of 11:4 tells which one.
McErrorClass formOf(unsigned code)
{
    if (code >= 0x1000) {
        return McErrorClass::Other;
    }
    if (code >= 0x0800) {
        return McErrorClass::Bus;
    }
    if (code >= 0x0400) {
        return McErrorClass::Internal;
    }
    if (code >= 0x0200) {
        return McErrorClass::Other;
    }
    if (code >= 0x0100) {
        return McErrorClass::Memory;
    }
    return code >= 0x0010 && code < 0x0020 ? McErrorClass::Tlb : McErrorClass::Other;
}

std::string_view pick(unsigned index, std::initializer_list<std::string_view> words)
{
    return index < words.size() ? *(words.begin() + index) : std::string_view("reserved");
}

std::string_view transactionOf(unsigned code)
{
    return pick((code / 4) % 4, {"instruction", "data", "generic", "reserved"});
}
std::string_view levelOf(unsigned code)
{
    return pick(code % 4, {"L0", "L1", "L2", "generic"});
}
std::string_view requestOf(unsigned code)
{
    return pick((code / 16) % 16, {"generic", "read", "write", "data-read", "data-write", "instruction-fetch",
                                   "prefetch", "evict", "snoop"});
}

std::size_t count(std::string_view text, std::string_view what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

void checkBank(const McRecordBytes& raw, const McBank& b, unsigned family)
{
    const std::string_view bytes(reinterpret_cast<const char*>(raw.data()), raw.size());
    const std::uint64_t status = registerValue(raw, 4 + 3 * b.bank);
    fuzz::check(b.status == status, "status is not the bank's register", bytes);
    fuzz::check(b.ctl == registerValue(raw, 3 + 3 * b.bank), "ctl is not the bank's register", bytes);
    fuzz::check(b.addr == registerValue(raw, 5 + 3 * b.bank), "addr is not the bank's register", bytes);
    fuzz::check(b.valid && bitOf(status, 63), "a bank without its valid bit", bytes);
    fuzz::check(b.overflow == bitOf(status, 62) && b.uncorrected == bitOf(status, 61) &&
                    b.enabled == bitOf(status, 60) && b.miscValid == bitOf(status, 59) &&
                    b.addrValid == bitOf(status, 58) && b.pcc == bitOf(status, 57),
                "a status flag differs from its bit", bytes);
    const unsigned code = static_cast<unsigned>(status % 0x10000);
    fuzz::check(b.errorCode == code, "errorCode is not bits 15:0", bytes);
    fuzz::check(b.errorClass == formOf(code), "wrong error form", bytes);

    static constexpr std::string_view kNames[] = {"data cache", "instruction cache", "bus unit", "load/store",
                                                  "northbridge"};
    const std::string expectedName = family == 0x0F ? std::string(kNames[b.bank]) : std::to_string(b.bank);
    fuzz::check(b.name == expectedName, "wrong bank name", bytes);

    const bool tlb = b.errorClass == McErrorClass::Tlb;
    const bool memory = b.errorClass == McErrorClass::Memory;
    const bool bus = b.errorClass == McErrorClass::Bus;
    fuzz::check(b.transaction == (tlb || memory ? transactionOf(code) : ""), "wrong transaction", bytes);
    fuzz::check(b.level == (tlb || memory || bus ? levelOf(code) : ""), "wrong level", bytes);
    fuzz::check(b.request == (memory || bus ? requestOf(code) : ""), "wrong request", bytes);
    fuzz::check(b.participation == (bus ? pick((code / 512) % 4, {"source", "responder", "observer", "generic"}) : ""),
                "wrong participation", bytes);
    fuzz::check(b.timeout == (bus && bitOf(code, 8)), "wrong timeout", bytes);
    fuzz::check(b.space == (bus ? pick((code / 4) % 4, {"memory", "reserved", "io", "generic"}) : ""), "wrong space",
                bytes);
}

void checkRecord(const McRecordBytes& raw, unsigned family)
{
    const std::string_view bytes(reinterpret_cast<const char*>(raw.data()), raw.size());
    const McRecord r = decodeMcRecord(raw, family);
    fuzz::check(r.cpuId == value(raw, 0, 4) && r.version == value(raw, 4, 4) && r.errOccurred == value(raw, 8, 4),
                "a header field is not its bytes", bytes);
    const std::uint64_t global = registerValue(raw, 1);
    fuzz::check(r.mcgStatus == global && r.ripv == bitOf(global, 0) && r.eipv == bitOf(global, 1) &&
                    r.mcip == bitOf(global, 2),
                "mcgStatus differs from its register", bytes);

    std::size_t expected = 0;
    std::size_t withAddr = 0;
    for (unsigned n = 0; n < 5; ++n) {
        expected += bitOf(registerValue(raw, 4 + 3 * n), 63) ? 1 : 0;
    }
    fuzz::check(r.banks.size() == expected, "not one entry per valid bank", bytes);
    for (std::size_t i = 0; i < r.banks.size(); ++i) {
        fuzz::check(r.banks[i].bank < 5, "a bank number beyond 4", bytes);
        fuzz::check(i == 0 || r.banks[i - 1].bank < r.banks[i].bank, "banks out of order", bytes);
        checkBank(raw, r.banks[i], family);
        withAddr += r.banks[i].addrValid ? 1 : 0;
    }

    const std::string json = renderMcRecordJson(r);
    fuzz::check(json.size() >= 2 && json.front() == '{' && json.substr(json.size() - 2) == "}\n",
                "the JSON line is not one object ending in a newline", json);
    fuzz::check(count(json, "\n") == 1, "the JSON takes more than one line", json);
    fuzz::check(count(json, "\"bank\":") == r.banks.size() && count(json, "\"addr\":") == withAddr,
                "the JSON's banks or addresses do not match the record", json);

    const std::string text = renderMcRecordText(r);
    fuzz::check(text.size() >= 2 && text.substr(text.size() - 2) == "\n\n" && count(text, "\n\n") == 1,
                "the paragraph does not end in its one blank line", text);
    fuzz::check(count(text, "\nbank ") == r.banks.size() && count(text, "\n  addr ") == withAddr,
                "the paragraph's banks or addresses do not match the record", text);
    fuzz::check(r.banks.empty() == (text.find("\nbanks        none valid\n") != std::string::npos),
                "'none valid' said wrongly", text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const McRecordFile file = splitMcRecords(input);

    bool framed = size > 0 && size % kFramed == 0;
    for (std::size_t at = 0; framed && at < size; at += kFramed) {
        framed = data[at] == 'x';
    }
    fuzz::check(file.capture == framed, "capture recognised wrongly", input);
    const std::size_t stride = framed ? kFramed : kMcRecordSize;
    fuzz::check(file.records.size() * stride + file.trailingBytes == size && file.trailingBytes < stride,
                "the records and the trailing bytes do not add up to the file", input);
    for (std::size_t n = 0; n < file.records.size(); ++n) {
        const std::size_t from = n * stride + (framed ? 1 : 0);
        fuzz::check(std::equal(file.records[n].begin(), file.records[n].end(), data + from),
                    "a record is not its bytes of the file", input);
    }

    // The board's family and another one, chosen by the input.
    const unsigned otherFamily = size > 0 && data[size - 1] != 0x0F ? data[size - 1] : 0x10;
    for (std::size_t n = 0; n < std::min(file.records.size(), kMaxRecordsChecked); ++n) {
        checkRecord(file.records[n], kDefaultMcFamily);
        checkRecord(file.records[n], otherFamily);
    }
    // The input's first bytes as one record, so that short inputs reach the decoder too.
    McRecordBytes first{};
    std::copy_n(data, std::min(size, kMcRecordSize), first.begin());
    checkRecord(first, kDefaultMcFamily);
    return 0;
}
