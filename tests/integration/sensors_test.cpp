// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The sensor and memory-map queries against the simulated management-
// controller driver, with fixture CPU information files.
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <syslog.h>

#include <gtest/gtest.h>

#include "test_fixtures.h"
#include "testbed/board/board.h"

namespace {

using testbed::Board;
using testbed::Reply;

const std::string& kCpuRecord = vorn::testsupport::kOpteronCpuinfo;

void setSensors(Board& board)
{
    board.driver().setCpuTemp(0, 41);
    board.driver().setCpuTemp(1, -7);
    board.driver().setCpuTemp(2, 0);
    board.driver().setCpuTemp(3, 105);
    board.driver().setCpuidValue(15);
}

TEST(SensorQuery, AllReadingsAndTheModelNumber)
{
    Board board;
    board.bindOver("/proc/cpuinfo", kCpuRecord + kCpuRecord);
    setSensors(board);
    board.start();
    // The monitors open the device once, at their start.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const auto opensBefore = board.driver().opens(testbed::Device::kMc);
    const std::string expected = testbed::document("<temp0>41</temp0><temp1>-7</temp1><temp2>0</temp2>"
                                                   "<temp3>105</temp3><cpuid>0f</cpuid><ModelNumber>248</ModelNumber>");
    EXPECT_EQ(board.request("C").bytes, expected);
    EXPECT_EQ(board.request("C").bytes, expected);
    // The device is opened anew for each request.
    EXPECT_EQ(board.driver().opens(testbed::Device::kMc), opensBefore + 2);
    EXPECT_EQ(board.driver().requestCount(testbed::Request::kGetCpuTemp), 8u);
}

TEST(SensorQuery, CpuidIsTheLeastSignificantByte)
{
    Board board;
    board.bindOver("/proc/cpuinfo", kCpuRecord);
    setSensors(board);
    board.driver().setCpuidValue(0x1234);
    board.start();
    const std::string reply = board.request("C").bytes;
    EXPECT_NE(reply.find("<cpuid>34</cpuid>"), std::string::npos) << testbed::printable(reply);
}

TEST(SensorQuery, EachFailingRequestInPlaceOfItsElement)
{
    Board board;
    board.bindOver("/proc/cpuinfo", kCpuRecord);
    setSensors(board);
    board.start();
    board.driver().failRequest(testbed::Request::kGetCpuTemp);
    EXPECT_EQ(board.request("C").bytes,
              testbed::document("<error>CPU0 temp read failed</error><error>CPU1 temp read failed</error>"
                                "<error>CPU2 temp read failed</error><error>CPU3 temp read failed</error>"
                                "<cpuid>0f</cpuid><ModelNumber>248</ModelNumber>"));
    board.driver().failRequest(testbed::Request::kGetCpuTemp, false);
    board.driver().failRequest(testbed::Request::kGetCpuidValue);
    EXPECT_EQ(board.request("C").bytes,
              testbed::document("<temp0>41</temp0><temp1>-7</temp1><temp2>0</temp2><temp3>105</temp3>"
                                "<error>unable to get cpuid value</error><ModelNumber>248</ModelNumber>"));
}

TEST(SensorQuery, AbsentDeviceStillCarriesTheModelNumber)
{
    Board board;
    board.bindOver("/proc/cpuinfo", kCpuRecord);
    board.start();
    board.driver().setPresent(testbed::Device::kMc, false);
    EXPECT_EQ(board.request("C").bytes,
              testbed::document("<error>Can't open to MC driver</error><ModelNumber>248</ModelNumber>"));
}

TEST(SensorQuery, ModelNumberWordAcrossA4096ByteBoundary)
{
    // The first model line's word starts a few bytes before offset 4096;
    // a later CPU names another number, which must not win.
    std::string text = "processor\t: 0\nflags\t\t: ";
    const std::string modelLine = "\nmodel name\t: AMD Opteron(tm) ";
    text += std::string(4090 - text.size() - modelLine.size(), 'f');
    text += modelLine;
    ASSERT_EQ(text.size(), 4090u);
    text += "Processor 248\n\n";
    for (int cpu = 1; cpu < 64; ++cpu) {
        text += kCpuRecord;
    }
    text += "model name\t: Other Processor 875\n";
    Board board;
    board.bindOver("/proc/cpuinfo", text);
    setSensors(board);
    board.start();
    const std::string reply = board.request("C").bytes;
    EXPECT_NE(reply.find("<ModelNumber>248</ModelNumber>"), std::string::npos) << testbed::printable(reply);
}

TEST(SensorQuery, NoProcessorWordGivesZero)
{
    Board board;
    board.bindOver("/proc/cpuinfo", "processor\t: 0\nmodel name\t: Some processor 12\n");
    setSensors(board);
    board.start();
    const std::string reply = board.request("C").bytes;
    EXPECT_NE(reply.find("<ModelNumber>0</ModelNumber>"), std::string::npos) << testbed::printable(reply);
}

platform_data_t patternMap()
{
    // 144 distinct 32-bit values, in field order.
    platform_data_t map{};
    unsigned char* bytes = reinterpret_cast<unsigned char*>(&map);
    for (std::size_t i = 0; i < sizeof map / 4; ++i) {
        const std::uint32_t v = 0x01020304u + static_cast<std::uint32_t>(i) * 0x11111111u;
        std::memcpy(bytes + std::size_t{4} * i, &v, 4);
    }
    return map;
}

TEST(MemoryMap, The576RawBytes)
{
    Board board;
    const platform_data_t map = patternMap();
    board.driver().setDimmMap(map);
    board.start();
    const Reply reply = board.request("M");
    EXPECT_TRUE(reply.closed);
    ASSERT_EQ(reply.bytes.size(), sizeof(platform_data_t));
    EXPECT_EQ(std::memcmp(reply.bytes.data(), &map, sizeof map), 0);
    // Element [r][c] of the chip-select masks at 320 + 32r + 4c.
    std::uint32_t at = 0;
    constexpr std::size_t kOffset = 320 + 32 * 7 + 4 * 5;
    std::memcpy(&at, reply.bytes.data() + kOffset, 4);
    EXPECT_EQ(at, map.dram_cs_mask_reg[7][5]);
}

TEST(MemoryMap, FailingRequestOrAbsentDeviceCloseWithoutAByte)
{
    Board board;
    board.driver().setDimmMap(patternMap());
    board.start();
    board.driver().failRequest(testbed::Request::kGetDimmMap);
    Reply reply = board.request("M");
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.bytes, "");

    board.driver().failRequest(testbed::Request::kGetDimmMap, false);
    board.driver().setPresent(testbed::Device::kMc, false);
    reply = board.request("M");
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.bytes, "");
    // Nothing is logged for either.
    for (const auto& line : board.log()) {
        EXPECT_EQ(line.text.find("oxa_mc"), std::string::npos) << line.text;
    }
}

} // namespace
