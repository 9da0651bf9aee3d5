// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The machine-check records as vornctl decodes and shows them: the fields
// from their offsets and bits, the error code's form, the two outputs, and
// how a file is cut into records.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vornctl/mc_record.h"
#include "vornctl/render.h"

namespace vornctl {
namespace {

constexpr std::uint64_t kValid = 1ULL << 63;
constexpr std::uint64_t kOverflow = 1ULL << 62;
constexpr std::uint64_t kUncorrected = 1ULL << 61;
constexpr std::uint64_t kEnabled = 1ULL << 60;
constexpr std::uint64_t kMiscValid = 1ULL << 59;
constexpr std::uint64_t kAddrValid = 1ULL << 58;
constexpr std::uint64_t kPcc = 1ULL << 57;

// A record written byte by byte, least significant first, as the host stores it.
class RecordBuilder {
public:
    RecordBuilder& header(std::uint32_t cpuId, std::uint32_t version, std::uint32_t errOccurred)
    {
        put(0, cpuId, 4);
        put(4, version, 4);
        put(8, errOccurred, 4);
        return *this;
    }
    RecordBuilder& mcgStatus(std::uint64_t v)
    {
        put(12 + 8 * 1, v, 8);
        return *this;
    }
    RecordBuilder& bank(unsigned n, std::uint64_t ctl, std::uint64_t status, std::uint64_t addr)
    {
        const std::size_t first = 12 + 8 * (3 + 3 * n);
        put(first, ctl, 8);
        put(first + 8, status, 8);
        put(first + 16, addr, 8);
        return *this;
    }
    [[nodiscard]] const McRecordBytes& bytes() const { return bytes_; }
    [[nodiscard]] std::string text() const { return std::string(bytes_.begin(), bytes_.end()); }

private:
    void put(std::size_t at, std::uint64_t v, std::size_t width)
    {
        for (std::size_t i = 0; i < width; ++i) {
            bytes_[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
        }
    }
    McRecordBytes bytes_{};
};

McBank onlyBank(std::uint64_t status, unsigned family = kDefaultMcFamily)
{
    const McRecord r = decodeMcRecord(RecordBuilder().bank(2, 0, status, 0).bytes(), family);
    EXPECT_EQ(r.banks.size(), 1U);
    return r.banks.empty() ? McBank{} : r.banks.front();
}

TEST(VornctlMcDecode, HeaderAndGlobalStatusComeFromTheirBytes)
{
    const McRecord r = decodeMcRecord(RecordBuilder().header(0x04030201, 0x0807'0605, 0x0c0b'0a09).bytes());
    EXPECT_EQ(r.cpuId, 0x04030201U);
    EXPECT_EQ(r.version, 0x08070605U);
    EXPECT_EQ(r.errOccurred, 0x0c0b0a09U);
    EXPECT_FALSE(r.ripv || r.eipv || r.mcip);
    EXPECT_TRUE(r.banks.empty());

    struct Case {
        std::uint64_t v;
        bool ripv, eipv, mcip;
    };
    for (const Case c : {Case{1, true, false, false}, Case{2, false, true, false}, Case{4, false, false, true},
                         Case{~7ULL, false, false, false}, Case{~0ULL, true, true, true}}) {
        const McRecord g = decodeMcRecord(RecordBuilder().mcgStatus(c.v).bytes());
        EXPECT_EQ(g.mcgStatus, c.v);
        EXPECT_EQ(g.ripv, c.ripv) << c.v;
        EXPECT_EQ(g.eipv, c.eipv) << c.v;
        EXPECT_EQ(g.mcip, c.mcip) << c.v;
    }
}

TEST(VornctlMcDecode, OnlyValidBanksAppearInBankOrderWithTheirOwnRegisters)
{
    RecordBuilder b;
    for (unsigned n = 0; n < 5; ++n) {
        const std::uint64_t status = n % 2 == 1 ? kValid | n : ~kValid; // everything but the valid bit
        b.bank(n, 0x1111'0000'0000'0000ULL * (n + 1), status, 0xA000 + n);
    }
    const McRecord r = decodeMcRecord(b.bytes());
    ASSERT_EQ(r.banks.size(), 2U);
    EXPECT_EQ(r.banks[0].bank, 1U);
    EXPECT_EQ(r.banks[0].ctl, 0x2222'0000'0000'0000ULL);
    EXPECT_EQ(r.banks[0].status, kValid | 1);
    EXPECT_EQ(r.banks[0].addr, 0xA001U);
    EXPECT_EQ(r.banks[1].bank, 3U);
    EXPECT_EQ(r.banks[1].ctl, 0x4444'0000'0000'0000ULL);
    EXPECT_EQ(r.banks[1].addr, 0xA003U);
    EXPECT_EQ(r.banks[1].errorCode, 3U);
}

TEST(VornctlMcDecode, EachStatusFlagComesFromItsOwnBit)
{
    const McBank none = onlyBank(kValid);
    EXPECT_TRUE(none.valid);
    EXPECT_FALSE(none.overflow || none.uncorrected || none.enabled || none.miscValid || none.addrValid || none.pcc);

    struct Case {
        std::uint64_t bit;
        bool McBank::*flag;
    };
    const Case cases[] = {{kOverflow, &McBank::overflow},   {kUncorrected, &McBank::uncorrected},
                          {kEnabled, &McBank::enabled},     {kMiscValid, &McBank::miscValid},
                          {kAddrValid, &McBank::addrValid}, {kPcc, &McBank::pcc}};
    for (const Case& c : cases) {
        const McBank b = onlyBank(kValid | c.bit);
        for (const Case& other : cases) {
            EXPECT_EQ(b.*other.flag, other.bit == c.bit) << std::hex << c.bit << " " << other.bit;
        }
    }
    // The bits between the flags and the error code do not reach it.
    EXPECT_EQ(onlyBank(kValid | 0x01FF'FFFF'FFFF'0000ULL | 0x0135).errorCode, 0x0135U);
}

TEST(VornctlMcDecode, ErrorCodeFormsAndTheirFields)
{
    struct Case {
        std::uint16_t code;
        bool timeout;
        McErrorClass cls;
        const char* transaction;
        const char* level;
        const char* request;
        const char* participation;
        const char* space;
    };
    const Case cases[] = {
        // 0000 0000 0001 TTLL
        {0x0010, false, McErrorClass::Tlb, "instruction", "L0", "", "", ""},
        {0x0016, false, McErrorClass::Tlb, "data", "L2", "", "", ""},
        {0x001B, false, McErrorClass::Tlb, "generic", "generic", "", "", ""},
        {0x001D, false, McErrorClass::Tlb, "reserved", "L1", "", "", ""},
        // 0000 0001 RRRR TTLL
        {0x0135, false, McErrorClass::Memory, "data", "L1", "data-read", "", ""},
        {0x0100, false, McErrorClass::Memory, "instruction", "L0", "generic", "", ""},
        {0x0152, false, McErrorClass::Memory, "instruction", "L2", "instruction-fetch", "", ""},
        {0x017A, false, McErrorClass::Memory, "generic", "L2", "evict", "", ""},
        {0x0187, false, McErrorClass::Memory, "data", "generic", "snoop", "", ""},
        // 0000 1PPT RRRR IILL
        {0x0F0F, true, McErrorClass::Bus, "", "generic", "generic", "generic", "generic"},
        {0x0800, false, McErrorClass::Bus, "", "L0", "generic", "source", "memory"},
        {0x0A4B, false, McErrorClass::Bus, "", "generic", "data-write", "responder", "io"},
        {0x0D65, true, McErrorClass::Bus, "", "L1", "prefetch", "observer", "reserved"},
        {0x0E12, false, McErrorClass::Bus, "", "L2", "read", "generic", "memory"},
        {0x08F0, false, McErrorClass::Bus, "", "L0", "reserved", "source", "memory"},
        // 0000 01xx xxxx xxxx
        {0x0400, false, McErrorClass::Internal, "", "", "", "", ""},
        {0x07FF, false, McErrorClass::Internal, "", "", "", "", ""},
        // everything else, no code at all included
        {0x0000, false, McErrorClass::Other, "", "", "", "", ""},
        {0x0001, false, McErrorClass::Other, "", "", "", "", ""},
        {0x000F, false, McErrorClass::Other, "", "", "", "", ""},
        {0x0020, false, McErrorClass::Other, "", "", "", "", ""},
        {0x0200, false, McErrorClass::Other, "", "", "", "", ""},
        {0x1000, false, McErrorClass::Other, "", "", "", "", ""},
        {0x8010, false, McErrorClass::Other, "", "", "", "", ""},
        {0x1135, false, McErrorClass::Other, "", "", "", "", ""},
        {0xFFFF, false, McErrorClass::Other, "", "", "", "", ""},
    };
    for (const Case& c : cases) {
        const McBank b = onlyBank(kValid | c.code);
        const std::string what = "code " + std::to_string(c.code);
        EXPECT_EQ(b.errorCode, c.code) << what;
        EXPECT_EQ(b.errorClass, c.cls) << what;
        EXPECT_EQ(b.transaction, c.transaction) << what;
        EXPECT_EQ(b.level, c.level) << what;
        EXPECT_EQ(b.request, c.request) << what;
        EXPECT_EQ(b.participation, c.participation) << what;
        EXPECT_EQ(b.timeout, c.timeout) << what;
        EXPECT_EQ(b.space, c.space) << what;
    }
    // Every request type by its number.
    const char* requests[] = {"generic",           "read",     "write", "data-read", "data-write",
                              "instruction-fetch", "prefetch", "evict", "snoop"};
    for (unsigned r = 0; r < 16; ++r) {
        EXPECT_EQ(onlyBank(kValid | 0x0100 | (r << 4)).request, r < 9 ? requests[r] : "reserved") << r;
    }
}

TEST(VornctlMcDecode, BankNamesFollowTheFamily)
{
    RecordBuilder b;
    for (unsigned n = 0; n < 5; ++n) {
        b.bank(n, 0, kValid, 0);
    }
    // The valid bit alone makes a bank appear.
    const McRecord board = decodeMcRecord(b.bytes());
    const McRecord other = decodeMcRecord(b.bytes(), 0x10);
    const char* names[] = {"data cache", "instruction cache", "bus unit", "load/store", "northbridge"};
    ASSERT_EQ(board.banks.size(), 5U);
    ASSERT_EQ(other.banks.size(), 5U);
    for (unsigned n = 0; n < 5; ++n) {
        EXPECT_EQ(board.banks[n].name, names[n]);
        EXPECT_EQ(other.banks[n].name, std::to_string(n));
    }
    EXPECT_EQ(decodeMcRecord(b.bytes(), 0x0E).banks[4].name, "4");
}

// A CPU with one bank of each form: a data-cache read error with its
// address, a TLB error whose address register holds a value that is not
// valid, an internal error, and the northbridge's bus timeout.
RecordBuilder exampleRecord()
{
    RecordBuilder b;
    b.header(1, 2, 1).mcgStatus(0x5);
    b.bank(0, 0x7F, kValid | kUncorrected | kEnabled | kAddrValid | 0x0135, 0x00000000'1234'5678ULL);
    b.bank(1, 0x0F, kValid | kOverflow | kMiscValid | 0x0016, 0xDEAD'BEEFULL);
    b.bank(3, 0x00, kValid | kPcc | 0x0400, 0);
    b.bank(4, 0xFFFF'FFFF'FFFF'FFFFULL, kValid | kUncorrected | kEnabled | kAddrValid | kPcc | 0x0007'0F0F,
           0xFD'F800'0040ULL);
    return b;
}

TEST(VornctlMcRender, JsonLineHasExactlyTheKeysOfEachBanksForm)
{
    EXPECT_EQ(renderMcRecordJson(decodeMcRecord(exampleRecord().bytes())),
              R"({"cpuId":1,"version":2,"errOccurred":1,"mcgStatus":{"ripv":true,"eipv":false,"mcip":true},"banks":[)"
              R"({"bank":0,"name":"data cache","status":"0xb400000000000135","ctl":"0x000000000000007f",)"
              R"("addr":"0x0000000012345678","valid":true,"overflow":false,"uncorrected":true,"enabled":true,)"
              R"("miscValid":false,"addrValid":true,"pcc":false,"errorCode":"0x0135","errorClass":"memory",)"
              R"("request":"data-read","transaction":"data","level":"L1"},)"
              R"({"bank":1,"name":"instruction cache","status":"0xc800000000000016","ctl":"0x000000000000000f",)"
              R"("valid":true,"overflow":true,"uncorrected":false,"enabled":false,"miscValid":true,)"
              R"("addrValid":false,"pcc":false,"errorCode":"0x0016","errorClass":"tlb","transaction":"data",)"
              R"("level":"L2"},)"
              R"({"bank":3,"name":"load/store","status":"0x8200000000000400","ctl":"0x0000000000000000",)"
              R"("valid":true,"overflow":false,"uncorrected":false,"enabled":false,"miscValid":false,)"
              R"("addrValid":false,"pcc":true,"errorCode":"0x0400","errorClass":"internal"},)"
              R"({"bank":4,"name":"northbridge","status":"0xb600000000070f0f","ctl":"0xffffffffffffffff",)"
              R"("addr":"0x000000fdf8000040","valid":true,"overflow":false,"uncorrected":true,"enabled":true,)"
              R"("miscValid":false,"addrValid":true,"pcc":true,"errorCode":"0x0f0f","errorClass":"bus",)"
              R"("participation":"generic","timeout":true,"request":"generic","space":"generic","level":"generic"}]})"
              "\n");

    EXPECT_EQ(renderMcRecordJson(decodeMcRecord(RecordBuilder().header(4294967295U, 0, 0).bytes())),
              R"({"cpuId":4294967295,"version":0,"errOccurred":0,)"
              R"("mcgStatus":{"ripv":false,"eipv":false,"mcip":false},"banks":[]})"
              "\n");
    // Another family: the number stands for the name; a bank of the other form has no fields.
    EXPECT_EQ(renderMcRecordJson(decodeMcRecord(RecordBuilder().bank(2, 0, kValid, 0).bytes(), 0x10)),
              R"({"cpuId":0,"version":0,"errOccurred":0,"mcgStatus":{"ripv":false,"eipv":false,"mcip":false},)"
              R"("banks":[{"bank":2,"name":"2","status":"0x8000000000000000","ctl":"0x0000000000000000",)"
              R"("valid":true,"overflow":false,"uncorrected":false,"enabled":false,"miscValid":false,)"
              R"("addrValid":false,"pcc":false,"errorCode":"0x0000","errorClass":"other"}]})"
              "\n");
}

TEST(VornctlMcRender, PlainTextIsOneAlignedParagraph)
{
    EXPECT_EQ(renderMcRecordText(decodeMcRecord(exampleRecord().bytes())),
              "cpu          1  (version 2, errOccurred 1)\n"
              "mcgStatus    0x0000000000000005  ripv mcip\n"
              "bank 0       data cache\n"
              "  status     0xb400000000000135  valid uncorrected enabled addrValid\n"
              "  ctl        0x000000000000007f\n"
              "  addr       0x0000000012345678\n"
              "  error      0x0135 memory: request data-read, transaction data, level L1\n"
              "bank 1       instruction cache\n"
              "  status     0xc800000000000016  valid overflow miscValid\n"
              "  ctl        0x000000000000000f\n"
              "  error      0x0016 tlb: transaction data, level L2\n"
              "bank 3       load/store\n"
              "  status     0x8200000000000400  valid pcc\n"
              "  ctl        0x0000000000000000\n"
              "  error      0x0400 internal\n"
              "bank 4       northbridge\n"
              "  status     0xb600000000070f0f  valid uncorrected enabled addrValid pcc\n"
              "  ctl        0xffffffffffffffff\n"
              "  addr       0x000000fdf8000040\n"
              "  error      0x0f0f bus: participation generic, timeout, request generic, space generic, level generic\n"
              "\n");

    EXPECT_EQ(renderMcRecordText(decodeMcRecord(RecordBuilder().header(3, 1, 0).mcgStatus(0x2).bytes())),
              "cpu          3  (version 1, errOccurred 0)\n"
              "mcgStatus    0x0000000000000002  eipv\n"
              "banks        none valid\n"
              "\n");
    EXPECT_EQ(renderMcRecordText(decodeMcRecord(RecordBuilder().bank(2, 0, kValid | 0x0A4B, 0).bytes(), 0x10)),
              "cpu          0  (version 0, errOccurred 0)\n"
              "mcgStatus    0x0000000000000000\n"
              "bank 2\n"
              "  status     0x8000000000000a4b  valid\n"
              "  ctl        0x0000000000000000\n"
              "  error      0x0a4b bus: participation responder, no timeout, request data-write, space io, level "
              "generic\n"
              "\n");
}

std::string capture(const std::vector<std::string>& records)
{
    std::string out;
    for (const std::string& r : records) {
        out += 'x';
        out += r;
    }
    return out;
}

TEST(VornctlMcSplit, BareRecordsAndTrailingBytes)
{
    const std::string a = RecordBuilder().header(0, 1, 1).text();
    const std::string b = RecordBuilder().header(1, 1, 1).text();

    EXPECT_TRUE(splitMcRecords("").records.empty());
    EXPECT_FALSE(splitMcRecords("").capture);
    EXPECT_EQ(splitMcRecords("").trailingBytes, 0U);

    const McRecordFile two = splitMcRecords(a + b);
    EXPECT_FALSE(two.capture);
    ASSERT_EQ(two.records.size(), 2U);
    EXPECT_EQ(two.records[0], RecordBuilder().header(0, 1, 1).bytes());
    EXPECT_EQ(two.records[1], RecordBuilder().header(1, 1, 1).bytes());
    EXPECT_EQ(two.trailingBytes, 0U);

    const McRecordFile cut = splitMcRecords(a + b + std::string(155, '\x7f'));
    EXPECT_EQ(cut.records.size(), 2U);
    EXPECT_EQ(cut.trailingBytes, 155U);

    const McRecordFile shortFile = splitMcRecords(a.substr(0, 100));
    EXPECT_TRUE(shortFile.records.empty());
    EXPECT_EQ(shortFile.trailingBytes, 100U);
}

TEST(VornctlMcSplit, CapturesAreRecognisedOnlyWhenEveryRecordIsFramed)
{
    RecordBuilder first;
    first.header(0x78, 7, 1).bank(4, 1, kValid, 2);
    const std::string a = first.text();
    const std::string b = RecordBuilder().header(2, 7, 0).text();

    const McRecordFile framed = splitMcRecords(capture({a, b}));
    EXPECT_TRUE(framed.capture);
    ASSERT_EQ(framed.records.size(), 2U);
    EXPECT_EQ(framed.records[0], first.bytes());
    EXPECT_EQ(framed.records[1], RecordBuilder().header(2, 7, 0).bytes());
    EXPECT_EQ(framed.trailingBytes, 0U);

    // The second 157-byte chunk does not start with 'x': bare records,
    // 314 bytes being two records and two bytes more.
    std::string broken = capture({a, b});
    broken[157] = 'y';
    const McRecordFile bare = splitMcRecords(broken);
    EXPECT_FALSE(bare.capture);
    ASSERT_EQ(bare.records.size(), 2U);
    EXPECT_EQ(bare.records[0][0], 'x');
    EXPECT_EQ(bare.records[0][1], 0x78);
    EXPECT_EQ(bare.trailingBytes, 2U);

    // An 'x' first but a size that is no multiple of 157: bare records too.
    const McRecordFile longer = splitMcRecords(capture({a, b}) + "x");
    EXPECT_FALSE(longer.capture);
    EXPECT_EQ(longer.records.size(), 2U);
    EXPECT_EQ(longer.trailingBytes, 3U);

    // A bare record whose cpuId begins with 'x', and one byte more: the
    // size decides, 157 bytes that start with 'x' are a capture.
    const McRecordFile lookalike = splitMcRecords(a + "x");
    EXPECT_TRUE(lookalike.capture);
    ASSERT_EQ(lookalike.records.size(), 1U);
    EXPECT_EQ(lookalike.records[0][155], 'x');
    EXPECT_EQ(lookalike.trailingBytes, 0U);
}

} // namespace
} // namespace vornctl
