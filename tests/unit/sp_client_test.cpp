// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The SP client's text handling and its two exchanges over a connected
// socket pair standing in for the SP. The connection itself (address file,
// lookup, connect, alarm, bounds) is exercised by the integration tests.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "core/sp_client.h"
#include "shared/unique_fd.h"
#include "socket_pair.h"

namespace vorn {
namespace {

struct Pair {
    UniqueFd agent;
    UniqueFd sp;
};

Pair makePair()
{
    auto [agent, sp] = testsupport::socketPair();
    return {std::move(agent), std::move(sp)};
}

void spSends(const Pair& p, const std::vector<unsigned char>& bytes)
{
    ASSERT_EQ(::send(p.sp.get(), bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
}

// Everything the agent's end sent, once it has closed its end.
std::string spReadsAll(Pair& p)
{
    p.agent.reset();
    std::string all;
    char chunk[512];
    ssize_t n;
    while ((n = ::recv(p.sp.get(), chunk, sizeof chunk, 0)) > 0) {
        all.append(chunk, static_cast<std::size_t>(n));
    }
    return all;
}

TEST(SpName, CutAtTheFirstControlCharacterBlanksKept)
{
    EXPECT_EQ(spNameFromText("169.254.101.2\n"), "169.254.101.2");
    EXPECT_EQ(spNameFromText("169.254.101.2\r\n"), "169.254.101.2");
    EXPECT_EQ(spNameFromText("169.254.101.2\tsecond"), "169.254.101.2");
    EXPECT_EQ(spNameFromText("sp-a\x7f"
                             "b"),
              "sp-a");
    EXPECT_EQ(spNameFromText(std::string_view("a\0b", 3)), "a");
    // Blanks travel with the name: the resolver gets the whole first line.
    EXPECT_EQ(spNameFromText(" 169.254.101.2 extra\nnext line"), " 169.254.101.2 extra");
    // Bytes above 127 are no control characters.
    EXPECT_EQ(spNameFromText("h\xc3\xa9te\n"), "h\xc3\xa9te");
    EXPECT_EQ(spNameFromText("\n169.254.101.2"), "");
    EXPECT_EQ(spNameFromText(""), "");
    EXPECT_EQ(spNameFromText("10.0.0.1"), "10.0.0.1");
}

bool holdsWord(const std::string& content)
{
    std::FILE* f = std::tmpfile();
    std::fputs(content.c_str(), f);
    std::rewind(f);
    const bool held = addressFileHoldsWord(f);
    std::fclose(f);
    return held;
}

TEST(SpName, AddressFileFormatNeedsOneWord)
{
    EXPECT_TRUE(holdsWord("169.254.101.2\n"));
    EXPECT_TRUE(holdsWord("  name\n"));
    EXPECT_FALSE(holdsWord(""));
    EXPECT_FALSE(holdsWord(" \n\t\n"));
}

TEST(PollRateExchange, FourBigEndianBytesGiveTheInterval)
{
    EXPECT_EQ(pollRateFromReply({0x00, 0x00, 0x0F, 0xA0}), 4000u);
    EXPECT_EQ(pollRateFromReply({0xFF, 0xFF, 0xFF, 0xFF}), 4294967295u);
    EXPECT_EQ(pollRateFromReply({0x01, 0x02, 0x03, 0x04}), 0x01020304u);

    Pair p = makePair();
    spSends(p, {0x00, 0x00, 0x0F, 0xA0});
    EXPECT_EQ(pollRateExchange(p.agent.get(), 'h'), 4000u);
    // The SP sees the one command byte and nothing else.
    EXPECT_EQ(spReadsAll(p), "h");

    Pair q = makePair();
    spSends(q, {0x00, 0x00, 0x13, 0x88});
    EXPECT_EQ(pollRateExchange(q.agent.get(), 'p'), 5000u);
    EXPECT_EQ(spReadsAll(q), "p");
}

TEST(PollRateExchange, ShortClosedOrFailedExchangesGiveZero)
{
    {
        Pair p = makePair();
        spSends(p, {0x00, 0x00, 0x0F});
        EXPECT_EQ(pollRateExchange(p.agent.get(), 'h'), 0u);
    }
    {
        Pair p = makePair();
        spSends(p, {0x00, 0x00, 0x00, 0x00});
        EXPECT_EQ(pollRateExchange(p.agent.get(), 'h'), 0u);
    }
    {
        // The SP reads the byte and closes without a reply.
        Pair p = makePair();
        ::shutdown(p.sp.get(), SHUT_WR);
        EXPECT_EQ(pollRateExchange(p.agent.get(), 'h'), 0u);
    }
    {
        // The SP is gone before the command byte: no SIGPIPE, just 0.
        Pair p = makePair();
        p.sp.reset();
        EXPECT_EQ(pollRateExchange(p.agent.get(), 'p'), 0u);
    }
}

RegIfVals sampleRecord()
{
    RegIfVals r{};
    r.cpuId = 3;
    r.version = 0x01020304;
    r.errOccurred = 1;
    for (int k = 0; k < eREG_IF_FIELDS_COUNT; ++k) {
        r.val[k] = 0x1111111111111111ull * static_cast<std::uint64_t>(k + 1);
    }
    return r;
}

TEST(ErrorReportExchange, TheByteXAndTheRecordAsItIs)
{
    Pair p = makePair();
    const RegIfVals record = sampleRecord();
    EXPECT_TRUE(errorReportExchange(p.agent.get(), record));
    const std::string got = spReadsAll(p);
    ASSERT_EQ(got.size(), 157u);
    EXPECT_EQ(got[0], 'x');
    EXPECT_EQ(std::memcmp(got.data() + 1, &record, sizeof record), 0);
    // Host byte order, no field converted: cpuId 3 little-endian at offset 0,
    // val[0] at offset 12.
    EXPECT_EQ(got.substr(1, 4), std::string("\x03\x00\x00\x00", 4));
    EXPECT_EQ(static_cast<unsigned char>(got[1 + 12]), 0x11);
}

TEST(ErrorReportExchange, AGoneSpMeansNotDelivered)
{
    Pair p = makePair();
    p.sp.reset();
    EXPECT_FALSE(errorReportExchange(p.agent.get(), sampleRecord()));
}

} // namespace
} // namespace vorn
