// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The management-controller driver's conversion of one machine-check report
// to the 156-byte record that the agent forwards to the SP.
#include <cstdint>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "mc_record_conv.h"

namespace {

std::string hexOf(const RegIfVals& rec)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(&rec);
    std::string hex;
    char two[3];
    for (std::size_t i = 0; i < sizeof rec; ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        hex += two;
    }
    return hex;
}

mc_report bank3Report()
{
    mc_report rep{};
    rep.cpu = 2;
    rep.bank = 3;
    rep.mcgcap = 0x1000d14;
    rep.mcgstatus = 0x5;
    rep.mcgctl = 0xff;
    rep.ctl = 0x1f;
    rep.status = 0xbc00000000010134; // VAL, UC, EN, MISCV, ADDRV
    rep.addr = 0x12345678;
    return rep;
}

TEST(McRecordConv, BankThreeErrorGivesTheExactRecordBytes)
{
    RegIfVals rec;
    const mc_report rep = bank3Report();
    ASSERT_TRUE(mc_report_to_record(&rep, &rec));
    // cpuId 2, version 1, errOccurred 1, MCG_CAP, MCG_STATUS, MCG_CTL, then
    // bank 3's CTL, STATUS and ADDR at offsets 108, 116 and 124.
    EXPECT_EQ(hexOf(rec), "020000000100000001000000140d00010000000005000000"
                          "00000000ff00000000000000000000000000000000000000"
                          "000000000000000000000000000000000000000000000000"
                          "000000000000000000000000000000000000000000000000"
                          "0000000000000000000000001f0000000000000034010100"
                          "000000bc7856341200000000000000000000000000000000"
                          "000000000000000000000000");
}

TEST(McRecordConv, AddressNeedsAddrvAndBanksAboveFourAreRefused)
{
    RegIfVals rec;
    mc_report rep = bank3Report();

    rep.status = 0x9000000000000150; // VAL, EN: no ADDRV
    ASSERT_TRUE(mc_report_to_record(&rep, &rec));
    EXPECT_EQ(rec.val[eMC3_STATUS_REG], rep.status);
    EXPECT_EQ(rec.val[eMC3_ADDR_REG], 0u);

    rep.bank = 0;
    rep.status |= MC_STATUS_ADDRV;
    ASSERT_TRUE(mc_report_to_record(&rep, &rec));
    EXPECT_EQ(rec.val[eMC0_CTL_REG], rep.ctl);
    EXPECT_EQ(rec.val[eMC0_ADDR_REG], rep.addr);
    EXPECT_EQ(rec.val[eMC3_STATUS_REG], 0u);

    rep.bank = 4;
    ASSERT_TRUE(mc_report_to_record(&rep, &rec));
    EXPECT_EQ(rec.val[eMC4_STATUS_REG], rep.status);
    EXPECT_EQ(rec.val[eMC4_ADDR_REG], rep.addr);

    for (const std::uint32_t bank : {5u, 31u}) {
        rep.bank = bank;
        EXPECT_FALSE(mc_report_to_record(&rep, &rec)) << "bank " << bank;
        EXPECT_EQ(rec.errOccurred, 0u) << "bank " << bank;
    }
}

} // namespace
