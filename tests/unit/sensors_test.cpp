// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "commands/cmd_sensors.h"
#include "test_fixtures.h"

namespace vorn {
namespace {

const std::string& kCpuRecord = vorn::testsupport::kOpteronCpuinfo;

TEST(ModelNumber, NumberAfterTheProcessorWord)
{
    EXPECT_EQ(modelNumberFromText(kCpuRecord), 248);
    // "processor" with a small p (the CPU index key) never matches.
    EXPECT_EQ(modelNumberFromText("processor\t: 7\nmodel name\t: Some CPU 9\n"), 0);
    EXPECT_EQ(modelNumberFromText(""), 0);
    // A longer token that begins with the word matches too.
    EXPECT_EQ(modelNumberFromText("x Processors 12\n"), 12);
}

TEST(ModelNumber, FirstMatchInTheWholeTextDecides)
{
    std::string text;
    for (int cpu = 0; cpu < 64; ++cpu) {
        text += kCpuRecord;
    }
    text += "model name\t: Other Processor 875\n";
    EXPECT_EQ(modelNumberFromText(text), 248);
}

TEST(ModelNumber, WordStraddlingTwoReadsIsOneToken)
{
    // Feed a text whose model line lies well beyond the first 4096 bytes in
    // pieces cut at every position of the word and the number.
    const std::string filler(5000, 'a');
    const std::string text = filler + " Processor 248 rest\n";
    for (std::size_t cut = 4990; cut < text.size(); ++cut) {
        ModelNumberScan scan;
        scan.feed(std::string_view(text).substr(0, cut));
        scan.feed(std::string_view(text).substr(cut));
        scan.finish();
        EXPECT_EQ(scan.value(), 248) << "cut at " << cut;
    }
    // One byte at a time.
    ModelNumberScan bytewise;
    for (const char c : text) {
        bytewise.feed(std::string_view(&c, 1));
    }
    bytewise.finish();
    EXPECT_EQ(bytewise.value(), 248);
}

TEST(ModelNumber, SettlesAtTheNumberSoReadingCanStop)
{
    ModelNumberScan scan;
    EXPECT_FALSE(scan.feed("model name : Processor"));
    EXPECT_FALSE(scan.feed(" 24"));
    // The number's end is not known until a separator or other character.
    EXPECT_TRUE(scan.feed("8\nProcessor 1\n"));
    EXPECT_EQ(scan.value(), 248);
}

TEST(ModelNumber, ProcessorAsTheLastTokenGivesZero)
{
    EXPECT_EQ(modelNumberFromText("model name : AMD Processor"), 0);
    EXPECT_EQ(modelNumberFromText("model name : AMD Processor\n:: \n"), 0);
}

TEST(ModelNumber, TokenConvertedAsAtoiDoes)
{
    // Separators are newline, colon and blank; a tab is part of a token and
    // atoi skips it as leading white space.
    const char* const tokens[] = {
        "248", "-12", "+7", "\t31", "12abc", "abc", "--5", "0x1F", "\t", "2147483648", "99999999999999999999"};
    for (const char* token : tokens) {
        const std::string text = std::string("Processor ") + token + "\n";
        EXPECT_EQ(modelNumberFromText(text), static_cast<int>(std::strtol(token, nullptr, 10))) << token;
    }
    EXPECT_EQ(modelNumberFromText("Processor:248"), 248);
    EXPECT_EQ(modelNumberFromText("Processor\t248"), 0); // one token; nothing after it
}

SensorReadings working()
{
    SensorReadings r{};
    r.deviceOpen = true;
    r.tempRead = {true, true, true, true};
    r.temp = {40, 41, -5, 0};
    r.cpuidRead = true;
    r.cpuidValue = 15;
    r.modelNumber = 248;
    return r;
}

std::string body(const SensorReadings& r)
{
    OutBuf out{};
    appendSensorElements(out, r);
    return std::string(documentText(out));
}

TEST(SensorElements, AllReadingsInOrder)
{
    EXPECT_EQ(body(working()), "<temp0>40</temp0><temp1>41</temp1><temp2>-5</temp2><temp3>0</temp3>"
                               "<cpuid>0f</cpuid><ModelNumber>248</ModelNumber>");
}

TEST(SensorElements, CpuidIsItsLeastSignificantByte)
{
    SensorReadings r = working();
    r.cpuidValue = 0x1234;
    EXPECT_NE(body(r).find("<cpuid>34</cpuid>"), std::string::npos);
    r.cpuidValue = 0xFFFFFFFFFFFFFFABull;
    EXPECT_NE(body(r).find("<cpuid>ab</cpuid>"), std::string::npos);
}

TEST(SensorElements, EachFailureInPlaceOfItsElement)
{
    SensorReadings r = working();
    r.tempRead[1] = false;
    r.tempRead[3] = false;
    r.cpuidRead = false;
    EXPECT_EQ(body(r), "<temp0>40</temp0><error>CPU1 temp read failed</error><temp2>-5</temp2>"
                       "<error>CPU3 temp read failed</error><error>unable to get cpuid value</error>"
                       "<ModelNumber>248</ModelNumber>");
}

TEST(SensorElements, WithoutTheDeviceOnlyTheModelNumber)
{
    SensorReadings r = working();
    r.deviceOpen = false;
    r.modelNumber = 0;
    EXPECT_EQ(body(r), "<error>Can't open to MC driver</error><ModelNumber>0</ModelNumber>");
}

} // namespace
} // namespace vorn
