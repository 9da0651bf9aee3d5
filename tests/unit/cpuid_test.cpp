// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "commands/cmd_cpuid.h"
#include "test_fixtures.h"

namespace vorn {
namespace {

std::string fixture(const std::string& name)
{
    return vorn::testsupport::readFixture("cpuinfo", name);
}

// One CPU's description as the kernel writes it (with a long flags line).
std::string cpuEntry(int n, const std::string& name = "Kelmora(R) Test CPU @ 2.19GHz")
{
    std::string flags;
    for (int i = 0; i < 150; ++i) {
        flags += " flag" + std::to_string(i);
    }
    return "processor\t: " + std::to_string(n) +
           "\n"
           "vendor_id\t: AuthenticAMD\n"
           "cpu family\t: " +
           std::to_string(15 + n % 7) + "\nmodel\t\t: " + std::to_string(n) + "\nmodel name\t: " + name +
           "\nstepping\t: " + std::to_string(n % 10) + "\ncpu MHz\t\t: " + std::to_string(1000 + n) +
           ".250\ncache size\t: 1024 KB\nflags\t\t:" + flags + "\nbogomips\t: 4389.40\npower management:\n\n";
}

std::string manyCpus(int count)
{
    std::string text;
    for (int n = 0; n < count; ++n) {
        text += cpuEntry(n);
    }
    return text;
}

unsigned sumThroughChecksum(const CpuRecord& r, std::size_t x)
{
    return std::accumulate(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(23 + x), 0u) % 256;
}

// Checks the layout every record must have, for texts of total length x.
void expectRecordLayout(const CpuRecord& r)
{
    const std::size_t l1 = r[1];
    ASSERT_LE(l1, 104u);
    const std::size_t l0 = r[8 + l1];
    ASSERT_LE(l1 + l0, 104u);
    const std::size_t le = r[11 + l1 + l0];
    const std::size_t x = l1 + l0 + le;
    ASSERT_LE(x, 104u);
    EXPECT_EQ(r[0], 0x82);
    EXPECT_EQ(r[2], 0);
    EXPECT_EQ(r[3 + l1], 0x90);
    EXPECT_EQ(r[4 + l1], 121 - l1);
    EXPECT_EQ(r[5 + l1], 0);
    EXPECT_EQ(r[6 + l1], 'M');
    EXPECT_EQ(r[7 + l1], 'N');
    EXPECT_EQ(r[9 + l1 + l0], 'E');
    EXPECT_EQ(r[10 + l1 + l0], 'C');
    EXPECT_EQ(r[12 + x], 'V');
    EXPECT_EQ(r[13 + x], 'S');
    EXPECT_EQ(r[14 + x], 4);
    EXPECT_EQ(r[19 + x], 'R');
    EXPECT_EQ(r[20 + x], 'V');
    EXPECT_EQ(r[21 + x], 106 - x);
    EXPECT_EQ(sumThroughChecksum(r, x), 0u);
    for (std::size_t i = 23 + x; i < 127; ++i) {
        EXPECT_EQ(r[i], 0) << "offset " << i;
    }
    EXPECT_EQ(r[127], 0x78);
}

std::string textAt(const CpuRecord& r, std::size_t offset, std::size_t length)
{
    return std::string(reinterpret_cast<const char*>(r.data()) + offset, length);
}

// ---- The record ----

TEST(CpuRecord, WorkedExampleByteForByte)
{
    const std::string name = "Kelmora(R) Test CPU @ 2.19GHz"; // 29
    ASSERT_EQ(name.size(), 29u);
    CpuTable table;
    table.present[0] = true;
    table.fields[0] = {"AuthenticAMD", "15", "65", name, "2", "2193.798"};
    const CpuIdentity id = cpuIdentity(table, 0);
    EXPECT_EQ(id.ecLevel, "x86 Family 15 Model 65 Stepping 2");
    ASSERT_EQ(id.ecLevel.size(), 33u);

    const CpuRecord r = buildCpuRecord(id);
    EXPECT_EQ(r[0], 0x82);
    EXPECT_EQ(r[1], 29);
    EXPECT_EQ(r[2], 0);
    EXPECT_EQ(textAt(r, 3, 29), name);
    EXPECT_EQ(r[32], 0x90);
    EXPECT_EQ(r[33], 92);
    EXPECT_EQ(r[34], 0);
    EXPECT_EQ(textAt(r, 35, 2), "MN");
    EXPECT_EQ(r[37], 12);
    EXPECT_EQ(textAt(r, 38, 12), "AuthenticAMD");
    EXPECT_EQ(textAt(r, 50, 2), "EC");
    EXPECT_EQ(r[52], 33);
    EXPECT_EQ(textAt(r, 53, 33), "x86 Family 15 Model 65 Stepping 2");
    EXPECT_EQ(textAt(r, 86, 2), "VS");
    EXPECT_EQ(r[88], 4);
    EXPECT_EQ(r[89], 0x00);
    EXPECT_EQ(r[90], 0x00);
    EXPECT_EQ(r[91], 0x08);
    EXPECT_EQ(r[92], 0x91);
    EXPECT_EQ(textAt(r, 93, 2), "RV");
    EXPECT_EQ(r[95], 32);
    unsigned sum = std::accumulate(r.begin(), r.begin() + 96, 0u);
    EXPECT_EQ(r[96], (256 - sum % 256) % 256);
    for (std::size_t i = 97; i <= 126; ++i) {
        EXPECT_EQ(r[i], 0) << "offset " << i;
    }
    EXPECT_EQ(r[127], 0x78);
    expectRecordLayout(r);
}

TEST(CpuRecord, EmptyFieldsKeepTheirKeywordsWithLengthZero)
{
    const CpuRecord r = buildCpuRecord(cpuIdentity(CpuTable{}, 2));
    // The engineering-change text still has its fixed words.
    const std::string ec = "x86 Family  Model  Stepping ";
    EXPECT_EQ(r[1], 0);
    EXPECT_EQ(r[3], 0x90);
    EXPECT_EQ(r[4], 121);
    EXPECT_EQ(r[8], 0); // MN length
    EXPECT_EQ(r[11], ec.size());
    EXPECT_EQ(textAt(r, 12, ec.size()), ec);
    // The clock of a missing text is 0.
    const std::size_t x = ec.size();
    for (std::size_t i = 15 + x; i < 19 + x; ++i) {
        EXPECT_EQ(r[i], 0);
    }
    expectRecordLayout(r);
}

TEST(CpuRecord, ClockIsTheIntegerPartMostSignificantByteFirst)
{
    auto clockOf = [](const std::string& mhz) {
        CpuIdentity id;
        id.mhz = mhz;
        const CpuRecord r = buildCpuRecord(id);
        // All texts empty: X = 0, the clock is at 15..18.
        return (std::uint32_t{r[15]} << 24) | (std::uint32_t{r[16]} << 16) | (std::uint32_t{r[17]} << 8) | r[18];
    };
    EXPECT_EQ(clockOf("2193.798"), 2193u);
    EXPECT_EQ(clockOf("3400000"), 3400000u);
    EXPECT_EQ(clockOf("\t800.000"), 800u);
    EXPECT_EQ(clockOf("n/a"), 0u);
    EXPECT_EQ(clockOf(""), 0u);
}

TEST(CpuRecord, TextsThatFitExactlyAreKept)
{
    CpuIdentity id;
    id.modelName = std::string(50, 'n');
    id.vendor = std::string(20, 'v');
    id.ecLevel = std::string(34, 'e'); // X = 104
    const CpuRecord r = buildCpuRecord(id);
    EXPECT_EQ(r[1], 50);
    EXPECT_EQ(r[58], 20);
    EXPECT_EQ(r[81], 34);
    EXPECT_EQ(r[125], 106 - 104);
    EXPECT_EQ(r[126], static_cast<std::uint8_t>(-std::accumulate(r.begin(), r.begin() + 126, 0u)));
    expectRecordLayout(r);
}

TEST(CpuRecord, OverlongTextsShortenModelNameFirstThenVendorThenEc)
{
    CpuIdentity id;
    id.modelName = std::string(80, 'n');
    id.vendor = "AuthenticAMD";
    id.ecLevel = "x86 Family 15 Model 65 Stepping 2"; // X = 125
    CpuIdentity fitted = id;
    fitCpuIdentity(fitted);
    EXPECT_EQ(fitted.modelName, std::string(59, 'n'));
    EXPECT_EQ(fitted.vendor, id.vendor);
    EXPECT_EQ(fitted.ecLevel, id.ecLevel);

    // A model name alone cannot make room for the other two.
    id.modelName = std::string(10, 'n');
    id.vendor = std::string(255, 'v');
    id.ecLevel = std::string(255, 'e');
    fitted = id;
    fitCpuIdentity(fitted);
    EXPECT_EQ(fitted.modelName, "");
    EXPECT_EQ(fitted.vendor, "");
    EXPECT_EQ(fitted.ecLevel, std::string(104, 'e'));

    id.modelName = "Kelmora(R) Test CPU";
    id.vendor = std::string(100, 'v');
    id.ecLevel = "x86 Family 15 Model 65 Stepping 2";
    fitted = id;
    fitCpuIdentity(fitted);
    EXPECT_EQ(fitted.modelName, "");
    EXPECT_EQ(fitted.vendor, std::string(71, 'v'));
    EXPECT_EQ(fitted.ecLevel, id.ecLevel);

    const CpuRecord r = buildCpuRecord(id);
    EXPECT_EQ(r[1], 0);
    EXPECT_EQ(r[8], 71);
    expectRecordLayout(r);
}

TEST(CpuRecord, EveryRecordHasTheLayoutWhateverTheTextLengths)
{
    std::mt19937 rng(20240611); // NOLINT(cert-msc32-c,cert-msc51-cpp): the same texts in every run
    std::uniform_int_distribution<int> len(0, 255);
    std::uniform_int_distribution<int> byte(1, 255);
    for (int round = 0; round < 500; ++round) {
        CpuIdentity id;
        for (std::string* t : {&id.modelName, &id.vendor, &id.ecLevel, &id.mhz}) {
            t->resize(static_cast<std::size_t>(len(rng)));
            for (char& c : *t) {
                c = static_cast<char>(byte(rng));
            }
        }
        SCOPED_TRACE(round);
        expectRecordLayout(buildCpuRecord(id));
    }
}

// ---- The CPU number ----

TEST(CpuNumber, ReadLikeAtoi)
{
    EXPECT_EQ(decimalValue(""), 0);
    EXPECT_EQ(decimalValue("3"), 3);
    EXPECT_EQ(decimalValue("  \t\n2x"), 2);
    EXPECT_EQ(decimalValue("+1"), 1);
    EXPECT_EQ(decimalValue("-1"), -1);
    EXPECT_EQ(decimalValue("- 1"), 0);
    EXPECT_EQ(decimalValue("x5"), 0);
    EXPECT_EQ(decimalValue("0004"), 4);
    EXPECT_EQ(decimalValue("2147483647"), INT_MAX);
    EXPECT_EQ(decimalValue("99999999999999999999999"), INT_MAX);
    EXPECT_EQ(decimalValue("-99999999999999999999999"), INT_MIN);
}

TEST(CpuNumber, TakenFromOffsetTwo)
{
    auto request = [](std::string_view text) {
        ReqBuf buf{};
        std::copy(text.begin(), text.end(), buf.begin());
        return requestedCpu(buf);
    };
    EXPECT_EQ(request("c"), 0);
    EXPECT_EQ(request("c 3"), 3);
    EXPECT_EQ(request("c:2"), 2);
    EXPECT_EQ(request("c3"), 0); // offset 1 is the separator
    EXPECT_EQ(request("c 4"), 4);
    EXPECT_EQ(request("c -1"), -1);
    EXPECT_EQ(request("c cpu"), 0);
    EXPECT_EQ(request(std::string_view("c\0 1", 4)), 1);
    ReqBuf full{};
    full.fill('9');
    full[0] = 'c';
    full.back() = '\0';
    EXPECT_EQ(requestedCpu(full), INT_MAX);
}

// ---- The parser ----

TEST(CpuinfoParse, TwoCpus)
{
    const CpuTable t = parseCpuinfo(fixture("two_cpus"));
    EXPECT_TRUE(t.present[0]);
    EXPECT_TRUE(t.present[1]);
    EXPECT_FALSE(t.present[2]);
    EXPECT_EQ(t.at(0, CpuField::Vendor_id), "AuthenticAMD");
    EXPECT_EQ(t.at(0, CpuField::Cpu_family), "15");
    EXPECT_EQ(t.at(0, CpuField::Model), "65");
    EXPECT_EQ(t.at(0, CpuField::Model_name), "Kelmora(R) Test CPU @ 2.19GHz");
    EXPECT_EQ(t.at(0, CpuField::Stepping), "2");
    EXPECT_EQ(t.at(0, CpuField::Mhz), "2193.798");
    EXPECT_EQ(t.at(1, CpuField::Model_name), "Kelmora(R) Test CPU @ 1.00GHz");
    EXPECT_EQ(t.at(1, CpuField::Mhz), "1000.000");
}

TEST(CpuinfoParse, EightCpusStopsAfterTheFourth)
{
    CpuinfoParser parser;
    parser.feed(fixture("eight_cpus"));
    EXPECT_TRUE(parser.done());
    parser.finish();
    const CpuTable& t = parser.table();
    for (int cpu = 0; cpu < 4; ++cpu) {
        EXPECT_TRUE(t.present[static_cast<std::size_t>(cpu)]);
        EXPECT_EQ(t.at(cpu, CpuField::Model_name), "Kelmora(R) Test CPU " + std::to_string(cpu));
        EXPECT_EQ(t.at(cpu, CpuField::Cpu_family), std::to_string(15 + cpu));
        EXPECT_EQ(t.at(cpu, CpuField::Model), std::to_string(60 + cpu));
        EXPECT_EQ(t.at(cpu, CpuField::Stepping), std::to_string(cpu));
    }
    // CPU 4's lines did not overwrite CPU 3.
    EXPECT_EQ(t.at(3, CpuField::Mhz), "1003.500");
}

TEST(CpuinfoParse, MissingFieldIsEmptyAndDoesNotBorrowFromAnotherCpu)
{
    const CpuTable t = parseCpuinfo(fixture("missing_field"));
    EXPECT_TRUE(t.present[1]);
    EXPECT_EQ(t.at(1, CpuField::Model_name), "");
    EXPECT_EQ(t.at(1, CpuField::Stepping), "");
    EXPECT_EQ(t.at(1, CpuField::Vendor_id), "AuthenticAMD");
    EXPECT_EQ(t.at(0, CpuField::Model_name), "Kelmora(R) Test CPU @ 2.19GHz");
}

TEST(CpuinfoParse, LeadingBlanksDroppedTabsKept)
{
    const CpuTable t = parseCpuinfo(fixture("blanks_tabs"));
    EXPECT_EQ(t.at(0, CpuField::Model_name), "Kelmora(R) Test CPU");
    EXPECT_EQ(t.at(0, CpuField::Vendor_id), "\tAuthenticAMD");
    // The key keeps its own trailing tab; it is not a value.
    EXPECT_EQ(t.at(0, CpuField::Model), "65");
}

TEST(CpuinfoParse, ModelNameIsTestedBeforeModel)
{
    const CpuTable t = parseCpuinfo("processor : 0\nmodel : 7\nmodel name : Brand\nmodelx : 9\n");
    EXPECT_EQ(t.at(0, CpuField::Model_name), "Brand");
    // "modelx" begins with "model": it is the model's key too.
    EXPECT_EQ(t.at(0, CpuField::Model), "9");
}

TEST(CpuinfoParse, ValueIsCutTo255Characters)
{
    const std::string name(300, 'N');
    const CpuTable t = parseCpuinfo("processor\t: 0\nmodel name\t:    " + name + "\ncpu family\t: " + name + "\n");
    EXPECT_EQ(t.at(0, CpuField::Model_name), std::string(255, 'N'));
    // The EC level built from the values is cut to 255 characters too.
    EXPECT_EQ(cpuIdentity(t, 0).ecLevel, "x86 Family " + std::string(244, 'N'));
}

TEST(CpuinfoParse, ValuesBeforeTheFirstProcessorLineAreDropped)
{
    const CpuTable t = parseCpuinfo("vendor_id : Early\nprocessor : 0\nstepping : 3\n");
    EXPECT_EQ(t.at(0, CpuField::Vendor_id), "");
    EXPECT_EQ(t.at(0, CpuField::Stepping), "3");
}

TEST(CpuinfoParse, AValueThatLooksLikeAKeyIsAlsoAKey)
{
    // An empty model name takes the next line's key as its value; that token
    // still sets the state for the value after it.
    const CpuTable t = parseCpuinfo("processor\t: 0\nmodel name\t:\nstepping\t: 4\n");
    EXPECT_EQ(t.at(0, CpuField::Model_name), "stepping\t");
    EXPECT_EQ(t.at(0, CpuField::Stepping), "4");
}

TEST(CpuinfoParse, LastLineWithoutNewlineCounts)
{
    const CpuTable t = parseCpuinfo("processor : 0\ncpu MHz : 2193.798");
    EXPECT_EQ(t.at(0, CpuField::Mhz), "2193.798");
}

TEST(CpuinfoParse, AbsentCpuIsNotPresent)
{
    const CpuTable t = parseCpuinfo(fixture("one_cpu"));
    EXPECT_TRUE(t.present[0]);
    EXPECT_FALSE(t.present[1]);
    EXPECT_FALSE(parseCpuinfo("").present[0]);
    EXPECT_FALSE(parseCpuinfo("processor : -1\nmodel : 3\n").present[0]);
}

TEST(CpuinfoParse, ResultDoesNotDependOnHowTheTextIsCut)
{
    const std::string text = manyCpus(64);
    // CPUs 0 to 3 alone span more than one 4096-byte block.
    ASSERT_GT(text.find("processor\t: 4"), 4096u);
    const CpuTable whole = parseCpuinfo(text);
    for (int cpu = 0; cpu < 4; ++cpu) {
        ASSERT_TRUE(whole.present[static_cast<std::size_t>(cpu)]);
        EXPECT_EQ(whole.at(cpu, CpuField::Model), std::to_string(cpu));
    }
    for (std::size_t piece : {1u, 2u, 7u, 100u, 4095u, 4096u}) {
        CpuinfoParser parser;
        for (std::size_t at = 0; at < text.size() && !parser.done(); at += piece) {
            parser.feed(std::string_view(text).substr(at, piece));
        }
        parser.finish();
        EXPECT_EQ(parser.table().fields, whole.fields) << "pieces of " << piece;
        EXPECT_EQ(parser.table().present, whole.present) << "pieces of " << piece;
    }
}

TEST(CpuinfoParse, RecordOfARealSizedDescription)
{
    const CpuTable t = parseCpuinfo(manyCpus(64));
    const CpuRecord r = buildCpuRecord(cpuIdentity(t, 3));
    expectRecordLayout(r);
    EXPECT_EQ(textAt(r, 3, r[1]), "Kelmora(R) Test CPU @ 2.19GHz");
    const std::size_t ec = 12 + r[1] + 12;
    EXPECT_EQ(textAt(r, ec, r[ec - 1]), "x86 Family 18 Model 3 Stepping 3");
}

} // namespace
} // namespace vorn
