// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "commands/cmd_small.h"
#include "envelope.h"
#include "server.h"
#include "shared/atol_parser.h"

namespace vorn {
namespace {

using testsupport::kEnvelopeHead;
using testsupport::kEnvelopeTail;

ReqBuf request(const std::string& text)
{
    ReqBuf buf{};
    text.copy(buf.data(), kRequestSize);
    return buf;
}

TEST(Atol, MatchesTheCLibrarysConversion)
{
    const char* const texts[] = {"",
                                 "0",
                                 "100",
                                 "  \t\n\v\f\r42",
                                 "-5",
                                 "+5",
                                 "- 5",
                                 "+-5",
                                 "12abc",
                                 "abc",
                                 "000",
                                 "4294967396",
                                 "9223372036854775807",
                                 "9223372036854775808",
                                 "-9223372036854775808",
                                 "-9223372036854775809",
                                 "123456789012345678901234567890",
                                 "-123456789012345678901234567890"};
    for (const char* text : texts) {
        EXPECT_EQ(parseAtol(text), std::strtol(text, nullptr, 10)) << '"' << text << '"';
    }
}

TEST(Atol, StopsAtTheViewsEnd)
{
    EXPECT_EQ(parseAtol(std::string_view("12345", 3)), 123);
}

TEST(PollInterval, ArgumentFromOffsetTwoLow32Bits)
{
    EXPECT_EQ(requestedPollInterval(request("h 5000")), 5000u);
    EXPECT_EQ(requestedPollInterval(request("hx5000")), 5000u); // offset 1 is skipped whatever it is
    EXPECT_EQ(requestedPollInterval(request("h5000")), 0u);     // offset 2 holds "000"
    EXPECT_EQ(requestedPollInterval(request("h")), 0u);
    EXPECT_EQ(requestedPollInterval(request("h abc")), 0u);
    EXPECT_EQ(requestedPollInterval(request("h -5")), 4294967291u);
    EXPECT_EQ(requestedPollInterval(request("h 4294967396")), 100u);
    EXPECT_EQ(requestedPollInterval(request("h 99999999999999999999999")), 0xFFFFFFFFu); // saturated, low 32 bits
    // A request that fills all 256 bytes with digits ends at the buffer.
    EXPECT_EQ(requestedPollInterval(request("h " + std::string(254, '9'))), 0xFFFFFFFFu);
}

TEST(PollInterval, ClampedToTheLimits)
{
    const auto check = [](std::uint32_t in, std::uint32_t value, bool tooSmall, bool tooLarge) {
        const PollIntervalSetting s = clampPollInterval(in);
        EXPECT_EQ(s.value, value) << in;
        EXPECT_EQ(s.tooSmall, tooSmall) << in;
        EXPECT_EQ(s.tooLarge, tooLarge) << in;
    };
    check(0, 100, true, false);
    check(99, 100, true, false);
    check(100, 100, false, false);
    check(8640000, 8640000, false, false);
    check(8640001, 8640000, false, true);
    check(4294967291u, 8640000, false, true);
}

std::string hb(const std::string& text)
{
    OutBuf out{};
    hb_poll_interval(out, request(text));
    return std::string(documentText(out));
}

std::string mc(const std::string& text)
{
    OutBuf out{};
    mc_poll_interval(out, request(text));
    return std::string(documentText(out));
}

TEST(PollIntervalCommand, AcceptedValueStoredWithBareDocument)
{
    EXPECT_EQ(hb("h 100"), kEnvelopeHead + kEnvelopeTail);
    EXPECT_EQ(hbPollRate.load(), 100u);
    EXPECT_EQ(hb("h 8640000"), kEnvelopeHead + kEnvelopeTail);
    EXPECT_EQ(hbPollRate.load(), 8640000u);
    EXPECT_EQ(hb("h 4294967396"), kEnvelopeHead + kEnvelopeTail);
    EXPECT_EQ(hbPollRate.load(), 100u);
    EXPECT_EQ(mc("p 2500"), kEnvelopeHead + kEnvelopeTail);
    EXPECT_EQ(mcPollRate.load(), 2500u);
    EXPECT_EQ(hbPollRate.load(), 100u); // the twin's setting is untouched
}

TEST(PollIntervalCommand, TooSmallReportsTheValueGiven)
{
    EXPECT_EQ(hb("h 99"),
              kEnvelopeHead + "<error>HB Poll rate 99 too small.  Using min value = 100</error>" + kEnvelopeTail);
    EXPECT_EQ(hbPollRate.load(), 100u);
    EXPECT_EQ(mc("p letters"),
              kEnvelopeHead + "<error>MC Poll rate 0 too small.  Using min value = 100</error>" + kEnvelopeTail);
    EXPECT_EQ(mcPollRate.load(), 100u);
    hbPollRate.store(5000);
    EXPECT_EQ(hb("h5000"),
              kEnvelopeHead + "<error>HB Poll rate 0 too small.  Using min value = 100</error>" + kEnvelopeTail);
    EXPECT_EQ(hbPollRate.load(), 100u);
}

TEST(PollIntervalCommand, TooLargeReportsTheMaximum)
{
    EXPECT_EQ(mc("p 8640001"),
              kEnvelopeHead + "<error>MC Poll rate too large.  Using max value = 8640000 </error>" + kEnvelopeTail);
    EXPECT_EQ(mcPollRate.load(), 8640000u);
    EXPECT_EQ(hb("h -5"),
              kEnvelopeHead + "<error>HB Poll rate too large.  Using max value = 8640000 </error>" + kEnvelopeTail);
    EXPECT_EQ(hbPollRate.load(), 8640000u);
}

} // namespace
} // namespace vorn
