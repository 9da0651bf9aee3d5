// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// vornctl's reply decoding: the response document, the CPU identity record
// and the memory-module map.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "test_fixtures.h"

#include "envelope.h"
#include "vornctl/cpuid_record.h"
#include "vornctl/dimm_map_reply.h"
#include "vornctl/document_reply.h"
#include "vornctl/render.h"

namespace vornctl {
namespace {

using vorn::testsupport::cpuIdentityRecord;

// A document exactly as the agent frames it.
std::string document(const std::string& body)
{
    return vorn::testsupport::enveloped(body);
}

TEST(VornctlDocument, BareDocumentHasNoElements)
{
    const DocumentReply d = decodeDocument(document(""));
    ASSERT_TRUE(d.decoded) << d.problem;
    EXPECT_TRUE(d.complete);
    EXPECT_TRUE(d.elements.empty());
}

TEST(VornctlDocument, RepeatedElementsKeepTheirOrder)
{
    const DocumentReply d =
        decodeDocument(document("<interface>eth1</interface><mac>52:54:00:12:34:56</mac><interface>lo</interface>"
                                "<addr>127.0.0.1</addr><cmdRetVal>0</cmdRetVal>\n"));
    ASSERT_TRUE(d.decoded) << d.problem;
    ASSERT_EQ(d.elements.size(), 5u);
    EXPECT_EQ(d.elements[0].name, "interface");
    EXPECT_EQ(d.elements[0].text, "eth1");
    EXPECT_EQ(d.elements[2].name, "interface");
    EXPECT_EQ(d.elements[2].text, "lo");
    EXPECT_EQ(commandStatus(d.elements), 0);
}

TEST(VornctlDocument, ErrorTextsAreFoundAndTrimmed)
{
    // The interface command's error element: words each followed by a blank.
    const DocumentReply d =
        decodeDocument(document("<cmdRetVal>256</cmdRetVal>\n<error>SIOCSIFADDR: No such device </error> "));
    ASSERT_TRUE(d.decoded) << d.problem;
    EXPECT_EQ(errorTexts(d.elements), std::vector<std::string>{"SIOCSIFADDR: No such device"});
    EXPECT_EQ(commandStatus(d.elements), 256);
}

TEST(VornctlDocument, UnescapedAmpersandInAHostNameIsRead)
{
    const DocumentReply d = decodeDocument(document("<hostname>R&D-01</hostname><cmdRetVal>0</cmdRetVal>"));
    ASSERT_TRUE(d.decoded) << d.problem;
    EXPECT_TRUE(d.repaired);
    EXPECT_EQ(d.elements[0].text, "R&D-01");
}

TEST(VornctlDocument, AmpersandBeforeAnEntityLikeWordIsRepaired)
{
    // References stay references; every other '&' is a literal one.
    const DocumentReply d = decodeDocument(document("<SWInfo>a &amp; b & c&#65;</SWInfo>"));
    ASSERT_TRUE(d.decoded) << d.problem;
    EXPECT_EQ(d.elements[0].text, "a & b & cA");
}

TEST(VornctlDocument, NestedInventoryElementsBecomeChildren)
{
    const DocumentReply d = decodeDocument(
        document("<Inventory> <Software> <SWName>Platform</SWName> <Software> <SWName>vorn</SWName> </Software> "
                 "</Software> </Inventory> "));
    ASSERT_TRUE(d.decoded) << d.problem;
    ASSERT_EQ(d.elements.size(), 1u);
    const Element& platform = d.elements[0].children.at(0);
    EXPECT_EQ(platform.name, "Software");
    EXPECT_EQ(platform.children.at(0).text, "Platform");
    EXPECT_EQ(platform.children.at(1).children.at(0).text, "vorn");
}

TEST(VornctlDocument, ADocumentCutAtTheAgentsBoundIsNotDecoded)
{
    std::string cut = document(std::string(3000, 'x'));
    cut.resize(200);
    const DocumentReply d = decodeDocument(cut);
    EXPECT_FALSE(d.decoded);
    EXPECT_FALSE(d.complete);
    EXPECT_NE(d.problem.find("cut short"), std::string::npos);
    EXPECT_EQ(d.text, cut);
}

TEST(VornctlDocument, MarkupInAnElementTextIsNotDecoded)
{
    const DocumentReply d = decodeDocument(document("<hostname>a<b</hostname>"));
    EXPECT_FALSE(d.decoded);
    EXPECT_TRUE(d.complete);
    EXPECT_FALSE(d.problem.empty());
    // The byte 3 is not part of the text shown.
    EXPECT_EQ(d.text.back(), ' ');
}

TEST(VornctlDocument, AnotherRootIsNotAResponseDocument)
{
    const DocumentReply d = decodeDocument("<?xml version=\"1.0\"?> <other/> \x03");
    EXPECT_FALSE(d.decoded);
    EXPECT_NE(d.problem.find("<vorn>"), std::string::npos);
}

TEST(VornctlCpuid, WorkedLayoutDecodes)
{
    const std::string model = "AMD Opteron(tm) Processor 248";  // 29
    const std::string vendor = "AuthenticAMD";                  // 12
    const std::string ec = "x86 Family 15 Model 5 Stepping 10"; // 33
    const std::string r = cpuIdentityRecord(model, vendor, ec, 2193);
    ASSERT_EQ(r.size(), 128u);
    // The layout of the worked example: RV's length byte at 95 holds 32.
    EXPECT_EQ(static_cast<unsigned char>(r[95]), 32);
    EXPECT_EQ(r.substr(89, 4), std::string("\x00\x00\x08\x91", 4));

    const CpuidDecode d = decodeCpuidRecord(r);
    ASSERT_TRUE(d.ok) << d.problem;
    EXPECT_EQ(d.record.model, model);
    EXPECT_EQ(d.record.vendor, vendor);
    EXPECT_EQ(d.record.ec, ec);
    EXPECT_EQ(d.record.mhz, 2193u);
    EXPECT_TRUE(d.record.checksumOk);
    EXPECT_EQ(d.record.checksum, static_cast<unsigned char>(r[96]));
}

TEST(VornctlCpuid, EmptyFieldsAndTheLargestTextsDecode)
{
    const CpuidDecode empty = decodeCpuidRecord(cpuIdentityRecord("", "", "x86 Family  Model  Stepping ", 0));
    ASSERT_TRUE(empty.ok) << empty.problem;
    EXPECT_EQ(empty.record.model, "");
    EXPECT_EQ(empty.record.vendor, "");
    EXPECT_TRUE(empty.record.checksumOk);

    // X = 104: the RV item's checksum is the last byte before the End Tag.
    const std::string ec = "x86 Family 6 Model 85 Stepping 7"; // 32
    const CpuidDecode full = decodeCpuidRecord(cpuIdentityRecord(std::string(60, 'M'), "GenuineIntel", ec, 3000));
    ASSERT_TRUE(full.ok) << full.problem;
    EXPECT_EQ(full.record.model.size(), 60u);
    EXPECT_EQ(full.record.mhz, 3000u);
    EXPECT_TRUE(full.record.checksumOk);
}

TEST(VornctlCpuid, AChangedByteBreaksTheChecksum)
{
    std::string r = cpuIdentityRecord("Model", "Vendor", "x86 Family 1 Model 2 Stepping 3", 1000);
    r[4] ^= 0x20;
    const CpuidDecode d = decodeCpuidRecord(r);
    ASSERT_TRUE(d.ok) << d.problem;
    EXPECT_FALSE(d.record.checksumOk);
}

TEST(VornctlCpuid, BrokenLayoutsAreReported)
{
    const std::string good = cpuIdentityRecord("Model", "Vendor", "x86 Family 1 Model 2 Stepping 3", 1000);
    EXPECT_NE(decodeCpuidRecord(good.substr(0, 127)).problem.find("128 bytes"), std::string::npos);
    EXPECT_NE(decodeCpuidRecord(std::string(1, '\0')).problem.find("128 bytes"), std::string::npos);

    std::string noEnd = good;
    noEnd[127] = 0;
    EXPECT_NE(decodeCpuidRecord(noEnd).problem.find("End Tag"), std::string::npos);

    std::string longId = good;
    longId[1] = static_cast<char>(200);
    EXPECT_FALSE(decodeCpuidRecord(longId).ok);

    std::string noVs = good;
    const auto vs = noVs.find("VS");
    noVs[vs] = 'Q';
    EXPECT_NE(decodeCpuidRecord(noVs).problem.find("VS"), std::string::npos);
}

TEST(VornctlDimmMap, FieldsComeFromTheirOffsets)
{
    std::string bytes(576, '\0');
    auto put = [&bytes](std::size_t offset, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            bytes[offset + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
        }
    };
    put(0, 0x11111111);               // dram_base_reg[0]
    put(32 + 4 * 7, 0x22222222);      // dram_limit_reg[7]
    put(64 + 32 * 2 + 4 * 5, 0x3344); // dram_cs_base_reg[2][5]
    put(320 + 32 * 7 + 4 * 7, 0xFEDCBA98);
    const auto map = decodeDimmMap(bytes);
    ASSERT_TRUE(map.has_value());
    EXPECT_EQ(map->dram_base_reg[0], 0x11111111u);
    EXPECT_EQ(map->dram_limit_reg[7], 0x22222222u);
    EXPECT_EQ(map->dram_cs_base_reg[2][5], 0x3344u);
    EXPECT_EQ(map->dram_cs_mask_reg[7][7], 0xFEDCBA98u);

    const std::string tables = dimmMapTables(*map);
    EXPECT_NE(tables.find("0     0x11111111  0x00000000\n"), std::string::npos) << tables;
    EXPECT_NE(tables.find("7     0x00000000  0x22222222\n"), std::string::npos) << tables;
    EXPECT_NE(tables.find("2     0x00000000  0x00000000  0x00000000  0x00000000  0x00000000  0x00003344"),
              std::string::npos)
        << tables;
    EXPECT_NE(tables.find("0xfedcba98\n"), std::string::npos);
}

TEST(VornctlDimmMap, OnlyExactly576BytesAreAMap)
{
    EXPECT_FALSE(decodeDimmMap(std::string(575, '\0')).has_value());
    EXPECT_FALSE(decodeDimmMap(std::string(577, '\0')).has_value());
    EXPECT_FALSE(decodeDimmMap("").has_value());
}

} // namespace
} // namespace vornctl
