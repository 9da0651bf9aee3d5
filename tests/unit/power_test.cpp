// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The power commands' reply and output reading, over streams and values given
// here. No command is ever started: the handlers themselves run only in the
// sandbox.
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "commands/cmd_power.h"
#include "envelope.h"

namespace vorn {
namespace {

using testsupport::kEnvelopeHead;
using testsupport::kEnvelopeTail;

std::string doc(const std::string& elements)
{
    return kEnvelopeHead + elements + kEnvelopeTail;
}

OutputLine firstLineOf(std::string text)
{
    if (text.empty()) {
        std::FILE* empty = std::tmpfile();
        OutputLine line = readFirstLine(empty);
        std::fclose(empty);
        return line;
    }
    std::FILE* f = ::fmemopen(text.data(), text.size(), "r");
    OutputLine line = readFirstLine(f);
    std::fclose(f);
    return line;
}

std::string reply(bool opened, const OutputLine& line, int val)
{
    OutBuf out{};
    buildPowerReply(out, opened, line, val);
    return std::string(documentText(out));
}

TEST(PowerCommands, FirstLineKeepsItsNewlineAndDropsTheRest)
{
    EXPECT_STREQ(firstLineOf("going down\nsecond line\n").data(), "going down\n");
    EXPECT_STREQ(firstLineOf("no newline").data(), "no newline");
    EXPECT_STREQ(firstLineOf("").data(), "");
    const std::string longLine(300, 'x');
    EXPECT_EQ(std::string(firstLineOf(longLine + "\nmore\n").data()), std::string(255, 'x'));
}

TEST(PowerCommands, SuccessGivesOnlyTheStatusWhateverWasPrinted)
{
    EXPECT_EQ(reply(true, firstLineOf("Broadcast message\n"), 0), doc("<cmdRetVal>0</cmdRetVal>"));
}

TEST(PowerCommands, FailureReportsTheLineThenTheRawWaitStatus)
{
    EXPECT_EQ(reply(true, firstLineOf("shutdown: permission denied\nmore\n"), 256),
              doc("<error>shutdown: permission denied\n</error><cmdRetVal>256</cmdRetVal>"));
    EXPECT_EQ(reply(true, firstLineOf(""), 256), doc("<error></error><cmdRetVal>256</cmdRetVal>"));
    EXPECT_EQ(reply(true, firstLineOf(""), -1), doc("<error></error><cmdRetVal>-1</cmdRetVal>"));
    // A killed shell: the signal number stays in the raw status.
    EXPECT_EQ(reply(true, firstLineOf("x"), 9), doc("<error>x</error><cmdRetVal>9</cmdRetVal>"));
}

TEST(PowerCommands, LongestLineKeepsItsEndTag)
{
    const std::string cut(255, 'y');
    EXPECT_EQ(reply(true, firstLineOf(std::string(400, 'y')), 512),
              doc("<error>" + cut + "</error><cmdRetVal>512</cmdRetVal>"));
}

TEST(PowerCommands, PipeFailureReportsMinus32WithoutALine)
{
    EXPECT_EQ(reply(false, firstLineOf("ignored"), kPowerPipeFailed),
              doc("<error>Unable to open pipe to shutdown command</error><cmdRetVal>-32</cmdRetVal>"));
}

} // namespace
} // namespace vorn
