// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The management-controller driver's decoding of the CPUs' temperature
// registers, one table per processor family, with golden register values.
#include <gtest/gtest.h>

#include "temp_conv.h"

namespace {

constexpr int kNone = 9999; // the row is no reading: the decoder refuses it

// Checks one decoder's answer against a row's expected degrees.
void expectReading(bool ok, int got, int want, unsigned int reg)
{
    if (want == kNone) {
        EXPECT_FALSE(ok) << std::hex << "register 0x" << reg;
        EXPECT_EQ(got, kNone) << std::hex << "register 0x" << reg << " changed the output";
    } else {
        EXPECT_TRUE(ok) << std::hex << "register 0x" << reg;
        EXPECT_EQ(got, want) << std::hex << "register 0x" << reg;
    }
}

TEST(TempConv, Family0FhThermtripStatus)
{
    constexpr unsigned int kMobileBrand = 0xbU << 9; // CPUID 8000_0001h EBX
    const struct {
        unsigned int reg, model, stepping, ebx;
        int celsius;
    } rows[] = {
        {0x00010000, 0x41, 2, 0, -48},           // lowest: CurTmp 1, below zero
        {0x00590044, 0x41, 2, 0, 40},            // select bits are not the reading
        {0x00ff0000, 0x41, 2, 0, 206},           // highest
        {0x00590000, 0x6b, 1, 0, 61},            // revision G desktop: 21 more
        {0x00590000, 0x6b, 1, kMobileBrand, 40}, // revision G mobile
        {0x00590000, 0x7f, 2, 0x9U << 9, 40},    // single-core mobile brand
        {0x00590000, 0xc1, 3, 0, 40},            // socket F
        {0x00ff0000, 0x6f, 2, 0, 227},           // revision G desktop, highest
        {0x00000000, 0x41, 2, 0, kNone},         // CurTmp 0: no sensor answers
        {0xff00ffff, 0x41, 2, 0, kNone},
        {0x00590000, 0x04, 0, 0, kNone}, // before SH-C0: no sensor
        {0x00590000, 0x05, 1, 0, kNone},
        {0x00590000, 0x05, 2, 0, 40},
    };
    for (const auto& row : rows) {
        int got = kNone;
        const bool ok = temp_k8_decode(row.reg, row.model, row.stepping, row.ebx, &got);
        expectReading(ok, got, row.celsius, row.reg);
    }
    // Core 1 is ThermSenseCoreSel 1, sensor 0 is ThermSenseSel 0; from model
    // 40h on, the core select is inverted. Other bits are kept.
    EXPECT_EQ(temp_k8_select(0x45, 0, 0x05), 0x01U);
    EXPECT_EQ(temp_k8_select(0x00, 1, 0x05), 0x04U);
    EXPECT_EQ(temp_k8_select(0x00, 0, 0x41), 0x04U);
    EXPECT_EQ(temp_k8_select(0x44, 1, 0x41), 0x00U);
}

TEST(TempConv, Families10hTo16hReportedTemperature)
{
    const struct {
        unsigned int reg;
        int celsius;
    } rows[] = {
        {0x00000000, 0},     // lowest without the -49 range
        {0xffe00000, 256},   // highest: 255.875 rounds up
        {0x28800000, 41},    // 40.5: halves away from zero
        {0x28600000, 40},    // 40.375
        {0x28890000, 41},    // one TjSel bit or the range select: no -49
        {0x00030000, -49},   // both TjSel bits: lowest, below zero
        {0x08830000, -41},   // -40.5
        {0xffe30000, 207},   // highest with the -49
        {0xffffffff, kNone}, // what an absent device reads
    };
    for (const auto& row : rows) {
        int got = kNone;
        const bool ok = temp_k10_decode(row.reg, &got);
        expectReading(ok, got, row.celsius, row.reg);
    }
    // Erratum 319: family 10h in socket F, or AM2+ without DDR3 memory.
    EXPECT_TRUE(temp_k10_erratum_319(0x10, 2, 3, 0x00000000, 0));
    EXPECT_TRUE(temp_k10_erratum_319(0x10, 4, 2, 0x10000000, 0));
    EXPECT_FALSE(temp_k10_erratum_319(0x10, 4, 2, 0x10000000, 0x100));
    EXPECT_FALSE(temp_k10_erratum_319(0x10, 4, 3, 0x10000000, 0));
    EXPECT_FALSE(temp_k10_erratum_319(0x10, 2, 0, 0x20000000, 0));
    EXPECT_FALSE(temp_k10_erratum_319(0x15, 2, 0, 0x00000000, 0));
}

TEST(TempConv, Family17hAndLaterSmnTemperature)
{
    const struct {
        unsigned int reg;
        int offset;
        int celsius;
    } rows[] = {
        {0x00000000, 0, 0},     {0xffe00000, 0, 256}, // highest without the range select
        {0x00080000, 0, -49},                         // range select: lowest, below zero
        {0x00030000, 0, -49},                         // both TjSel bits do the same
        {0xffe80000, 0, 207},                         // highest with the range select
        {0x30880000, 0, -1},                          // -0.5
        {0x30a80000, 0, 0},                           // -0.375
        {0x48000000, 27, 45},                         // Tctl 72 less 27
        {0x63080000, 20, 30},                         // Tctl 99 less 49 less 20
        {0xffffffff, 0, kNone},                       // a failed read
    };
    for (const auto& row : rows) {
        int got = kNone;
        const bool ok = temp_zen_decode(row.reg, row.offset, &got);
        expectReading(ok, got, row.celsius, row.reg);
    }
    EXPECT_EQ(temp_zen_tctl_offset(0x17, "AMD Ryzen Threadripper 1950X 16-Core Processor"), 27);
    EXPECT_EQ(temp_zen_tctl_offset(0x17, "AMD Ryzen Threadripper 2990WX 32-Core Processor"), 27);
    EXPECT_EQ(temp_zen_tctl_offset(0x17, "AMD Ryzen 7 1800X Eight-Core Processor"), 20);
    EXPECT_EQ(temp_zen_tctl_offset(0x17, "AMD Ryzen 7 2700X Eight-Core Processor"), 10);
    EXPECT_EQ(temp_zen_tctl_offset(0x17, "AMD EPYC 7601 32-Core Processor"), 0);
    EXPECT_EQ(temp_zen_tctl_offset(0x19, "AMD Ryzen 7 1800X Eight-Core Processor"), 0);
}

TEST(TempConv, IntelDigitalThermalSensor)
{
    const struct {
        unsigned int target, status;
        int celsius;
    } rows[] = {
        {0x00640000, 0x80000000, 100},   // highest: no readout below TjMax
        {0x00640000, 0x88280000, 60},    // bits above the readout ignored
        {0x0f690000, 0x80000000, 105},   // TCC offset bits ignored
        {0x00640000, 0x807f0000, -27},   // lowest, below zero
        {0x00640000, 0x00280000, kNone}, // valid flag clear
        {0x00000000, 0x80280000, kNone}, // no TjMax
    };
    for (const auto& row : rows) {
        int got = kNone;
        const bool ok = temp_dts_decode(row.target, row.status, &got);
        expectReading(ok, got, row.celsius, row.status);
    }
}

} // namespace
