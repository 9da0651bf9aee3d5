// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The management-controller driver's conversion of one machine-check report
// to the 156-byte record that the agent forwards to the SP.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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

// A memory error that the firmware reports (bank 0xff, on AMD's path also
// CPU -1) takes bank 4's places, the memory controller's, and CPU 0.
TEST(McRecordConv, FirmwareMemoryErrorTakesTheMemoryControllersPlace)
{
    mc_report rep{};
    rep.cpu = MC_NO_CPU;
    rep.bank = MC_FIRMWARE_BANK;
    rep.mcgcap = 0x1000d14;
    rep.status = 0xbc0000000000009f; // VAL, UC, EN, MISCV, ADDRV, memory read
    rep.addr = 0x7f3e1000;
    RegIfVals rec;
    ASSERT_TRUE(mc_report_to_record(&rep, &rec));
    EXPECT_EQ(hexOf(rec), "000000000100000001000000140d00010000000000000000"
                          "000000000000000000000000000000000000000000000000"
                          "000000000000000000000000000000000000000000000000"
                          "000000000000000000000000000000000000000000000000"
                          "000000000000000000000000000000000000000000000000"
                          "00000000000000000000000000000000000000009f000000"
                          "000000bc00103e7f00000000");
    EXPECT_TRUE(mc_record_uncorrected(&rec));
}

std::vector<mc_report> scan(const std::vector<std::string>& lines, std::size_t count = SIZE_MAX)
{
    mc_log_scan s{};
    std::vector<mc_report> found;
    mc_report rep;
    for (std::size_t i = 0; i < lines.size() && i < count; ++i) {
        switch (mc_log_scan_line(&s, lines[i].c_str(), &rep)) {
        case MC_LOG_GIVEN:
            found.push_back(rep);
            break;
        case MC_LOG_FORGET:
            found.clear();
            break;
        case MC_LOG_NOTHING:
            break;
        }
    }
    if (mc_log_scan_end(&s, &rep)) {
        found.push_back(rep);
    }
    return found;
}

// Errors the kernel logged are read back, except those logged while the
// driver was loaded and those that an earlier load read back already.
TEST(McLogScan, ReadsBackErrorsLoggedWhileTheDriverWasAway)
{
    const std::vector<std::string> log = {
        "[    0.912345] mce: [Hardware Error]: Machine check events logged",
        "[    0.912346] mce: [Hardware Error]: CPU 1: Machine Check: 0 Bank 3: 9400000000000135",
        "[    0.912347] mce: [Hardware Error]: TSC 0 ADDR abcd000 MISC 8c ",
        "[    0.912348] mce: [Hardware Error]: PROCESSOR 2:f6b TIME 1765286042 SOCKET 0 APIC 1 microcode 1000065",
        "[    3.100000] oxa_mc: forwarding machine-check errors from here on",
        "[    9.000000] mce: [Hardware Error]: CPU 0: Machine Check: 0 Bank 1: 9400000000000151",
        "[    9.000001] mce: [Hardware Error]: TSC 0 ADDR 12345000 ",
        "[   20.000000] oxa_mc: machine-check errors no longer forwarded, 0 not handed out",
        "[   25.000000] mce: [Hardware Error]: CPU -1: Machine Check Exception: 5 Bank 255: be0000000000009f",
        "[   25.000001] mce: [Hardware Error]: RIP !INEXACT! 10:<ffffffff81000000> ",
        "[   25.000002] mce: [Hardware Error]: TSC 12 ADDR 7f3e1000 ",
        // AMD's decoder's form, then (every error printed) the kernel's.
        "[   25.500000] [Hardware Error]: Corrected error, no action required.",
        "[   25.500001] [Hardware Error]: CPU:0 (f:6b:1) MC1_STATUS[-|CE|-|AddrV|-]: 0x9400000000000151",
        "[   25.500002] [Hardware Error]: Error Addr: 0x0000000012345000",
        "[   25.500003] mce: [Hardware Error]: CPU 0: Machine Check: 0 Bank 1: 9400000000000151",
        "[   25.500004] mce: [Hardware Error]: TSC 0 ADDR 12345000 ",
        "[   26.000000] mce: [Hardware Error]: CPU 3: Machine Check: 0 Bank 0: 9000000000000001",
        "[   30.000000] oxa_mc: forwarding machine-check errors from here on",
        "[   31.000000] mce: [Hardware Error]: CPU 2: Machine Check: 0 Bank 1: 9400000000000151",
    };
    // The first load reads back what boot logged.
    std::vector<mc_report> found = scan(log, 5);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].cpu, 1u);
    EXPECT_EQ(found[0].bank, 3u);
    EXPECT_EQ(found[0].status, 0x9400000000000135u);
    EXPECT_EQ(found[0].addr, 0xabcd000u);

    // The second: what came after the first was removed.
    found = scan(log);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].cpu, MC_NO_CPU);
    EXPECT_EQ(found[0].bank, 255u);
    EXPECT_EQ(found[0].mcgstatus, 5u);
    EXPECT_EQ(found[0].status, 0xbe0000000000009fu);
    EXPECT_EQ(found[0].addr, 0x7f3e1000u);
    EXPECT_EQ(found[1].bank, 1u);
    EXPECT_EQ(found[1].status, 0x9400000000000151u);
    EXPECT_EQ(found[1].addr, 0x12345000u);
    // An error cut by the load mark came through the chain. One whose TSC
    // line never came is kept all the same, without address.
    found = scan({log.back()});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].addr, 0u);
}

// In a full queue an uncorrected newcomer replaces the oldest corrected
// record that is not being handed out; nothing replaces an uncorrected one.
TEST(McQueueVictim, OldestCorrectedRecordNotBeingHandedOut)
{
    RegIfVals ring[4] = {};
    const std::uint64_t uc = MC_STATUS_VAL | MC_STATUS_UC;
    ring[0].val[eMC1_STATUS_REG] = MC_STATUS_VAL; // the oldest, head 2 below
    ring[1].val[eMC4_STATUS_REG] = uc;
    ring[2].val[eMC2_STATUS_REG] = uc;
    ring[3].val[eMC0_STATUS_REG] = MC_STATUS_VAL;
    EXPECT_EQ(mc_queue_victim(ring, 4, 2, 4, 0), 3);
    EXPECT_EQ(mc_queue_victim(ring, 4, 2, 4, 2), 0);
    EXPECT_EQ(mc_queue_victim(ring, 4, 2, 4, 3), -1);
    ring[0].val[eMC1_STATUS_REG] = uc;
    ring[3].val[eMC0_STATUS_REG] = uc;
    EXPECT_EQ(mc_queue_victim(ring, 4, 0, 4, 0), -1);
}

} // namespace
