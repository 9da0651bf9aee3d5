// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// vornctl's command line: names to request bytes, options, and refusals.
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "vornctl/cli.h"
#include "vornctl/escape.h"

namespace vornctl {
namespace {

ParsedCommandLine parse(std::vector<std::string_view> args)
{
    return parseCommandLine(args);
}

std::string requestOf(std::vector<std::string_view> args)
{
    const ParsedCommandLine p = parse(std::move(args));
    EXPECT_EQ(p.action, ParsedCommandLine::Action::Run) << p.message;
    return p.invocation.request;
}

std::string usageOf(std::vector<std::string_view> args)
{
    const ParsedCommandLine p = parse(std::move(args));
    EXPECT_EQ(p.action, ParsedCommandLine::Action::Usage);
    return p.message;
}

TEST(VornctlCommands, EveryAgentLetterHasExactlyOneName)
{
    const std::string letters = "BCDEHJLMTbcdefhpsv";
    std::set<char> seen;
    for (const CommandSpec& c : allCommands()) {
        if (c.letter != 0) {
            EXPECT_TRUE(seen.insert(c.letter).second) << "letter " << c.letter << " named twice";
            EXPECT_NE(letters.find(c.letter), std::string::npos) << "unknown letter " << c.letter;
        }
    }
    EXPECT_EQ(seen.size(), letters.size());
    for (const char l : letters) {
        ASSERT_NE(findCommandByLetter(l), nullptr) << l;
    }
}

TEST(VornctlCommands, OnlyTheFourPowerCommandsAsk)
{
    std::string power;
    for (const CommandSpec& c : allCommands()) {
        if (!c.power.empty()) {
            power += c.letter;
        }
    }
    EXPECT_EQ(power, "sfbB");
}

TEST(VornctlRequest, CommandsWithoutArgumentSendTheBareLetter)
{
    EXPECT_EQ(requestOf({"time"}), "T");
    EXPECT_EQ(requestOf({"hostname"}), "H");
    EXPECT_EQ(requestOf({"version"}), "v");
    EXPECT_EQ(requestOf({"features"}), "v");
    EXPECT_EQ(requestOf({"netstat"}), "e");
    EXPECT_EQ(requestOf({"get-dns"}), "d");
    EXPECT_EQ(requestOf({"inventory"}), "L");
    EXPECT_EQ(requestOf({"temps"}), "C");
    EXPECT_EQ(requestOf({"dimm-map"}), "M");
    EXPECT_EQ(requestOf({"shutdown"}), "s");
    EXPECT_EQ(requestOf({"poweroff"}), "f");
    EXPECT_EQ(requestOf({"forced-shutdown"}), "f");
    EXPECT_EQ(requestOf({"reboot"}), "b");
    EXPECT_EQ(requestOf({"forced-reboot"}), "B");
}

TEST(VornctlRequest, ArgumentsFollowOneSeparatorBlank)
{
    EXPECT_EQ(requestOf({"cpuid", "3"}), "c 3");
    EXPECT_EQ(requestOf({"cpuid", "-1"}), "c -1"); // a negative number is an argument, not an option
    EXPECT_EQ(requestOf({"hb-interval", "5000"}), "h 5000");
    EXPECT_EQ(requestOf({"mc-interval", "100"}), "p 100");
    EXPECT_EQ(requestOf({"set-ip", "eth0", "10.1.2.3", "255.255.0.0"}), "E eth0 10.1.2.3 255.255.0.0");
    EXPECT_EQ(requestOf({"set-ip", "eth1", "down"}), "E eth1 down");
    EXPECT_EQ(requestOf({"set-hlink", "10.20.30.40", "10.20.30.1"}), "J p=10.20.30.40 s=10.20.30.1");
}

TEST(VornctlRequest, NameServerIsSentAsALine)
{
    // The agent writes the text after the separator into resolv.conf as
    // it is; without the line end it would run into the next line.
    EXPECT_EQ(requestOf({"set-dns", "10.0.0.53"}), "D 10.0.0.53\n");
}

TEST(VornctlRequest, RawDecodesEscapes)
{
    EXPECT_EQ(requestOf({"raw", "x"}), "x");
    EXPECT_EQ(requestOf({"raw", "c\\x203"}), "c 3");
    EXPECT_EQ(requestOf({"raw", "h\\t5\\\\\\n\\0"}), std::string("h\t5\\\n\0", 6));
    EXPECT_EQ(requestOf({"--", "raw", "-5"}), "-5");
}

TEST(VornctlRequest, ArgumentsThatDoNotFitAreRefused)
{
    EXPECT_NE(usageOf({"time", "now"}).find("usage: vornctl time"), std::string::npos);
    EXPECT_NE(usageOf({"cpuid"}).find("usage: vornctl cpuid N"), std::string::npos);
    EXPECT_NE(usageOf({"cpuid", "one"}).find("decimal integer"), std::string::npos);
    EXPECT_NE(usageOf({"hb-interval", "-5"}).find("milliseconds"), std::string::npos);
    EXPECT_NE(usageOf({"hb-interval", "4294967296"}).find("milliseconds"), std::string::npos);
    EXPECT_NE(usageOf({"set-ip", "eth0,eth1"}).find("comma"), std::string::npos);
    EXPECT_NE(usageOf({"set-ip", "a", "b", "c", "d"}).find("usage"), std::string::npos);
    EXPECT_NE(usageOf({"set-dns", "10.0.0.1 10.0.0.2"}).find("single"), std::string::npos);
    EXPECT_NE(usageOf({"set-hlink", "10.1.1.1"}).find("usage"), std::string::npos);
    EXPECT_NE(usageOf({"set-hlink", "10.1.1.1", "none"}).find("'none'"), std::string::npos);
    EXPECT_NE(usageOf({"raw", "\\q"}).find("unknown escape"), std::string::npos);
    EXPECT_NE(usageOf({"raw", "\\x4"}).find("two hexadecimal"), std::string::npos);
    EXPECT_NE(usageOf({"raw", ""}).find("empty"), std::string::npos);
    EXPECT_NE(usageOf({"frobnicate"}).find("unknown command"), std::string::npos);
    EXPECT_NE(usageOf({}).find("no command"), std::string::npos);
    const std::string longIface(300, 'a');
    EXPECT_NE(usageOf({"set-ip", longIface}).find("256"), std::string::npos);
}

TEST(VornctlOptions, DefaultsAreTheHostEndOfTheLink)
{
    const ParsedCommandLine p = parse({"time"});
    ASSERT_EQ(p.action, ParsedCommandLine::Action::Run);
    EXPECT_EQ(p.invocation.options.host, "169.254.101.3");
    EXPECT_EQ(p.invocation.options.port, 6789);
    EXPECT_TRUE(p.invocation.options.source.empty());
    EXPECT_EQ(p.invocation.options.output, OutputMode::Person);
    EXPECT_FALSE(p.invocation.options.yes);
}

TEST(VornctlOptions, BothSpellingsAndEitherSideOfTheCommand)
{
    const ParsedCommandLine p = parse({"--host", "127.0.0.1", "--port=16789", "--source=127.0.0.2", "cpuid", "1",
                                       "--timeout", "0.5", "--json", "-y"});
    ASSERT_EQ(p.action, ParsedCommandLine::Action::Run) << p.message;
    const Options& o = p.invocation.options;
    EXPECT_EQ(o.host, "127.0.0.1");
    EXPECT_EQ(o.port, 16789);
    EXPECT_EQ(o.source, "127.0.0.2");
    EXPECT_DOUBLE_EQ(o.timeoutSeconds, 0.5);
    EXPECT_EQ(o.output, OutputMode::Json);
    EXPECT_TRUE(o.yes);
    EXPECT_EQ(p.invocation.request, "c 1");
    EXPECT_EQ(p.invocation.args, std::vector<std::string>{"1"});
}

TEST(VornctlOptions, BadValuesAreUsageErrors)
{
    EXPECT_NE(usageOf({"--port", "0", "time"}).find("--port"), std::string::npos);
    EXPECT_NE(usageOf({"--port", "65536", "time"}).find("--port"), std::string::npos);
    EXPECT_NE(usageOf({"--timeout", "-1", "time"}).find("--timeout"), std::string::npos);
    EXPECT_NE(usageOf({"--timeout", "soon", "time"}).find("--timeout"), std::string::npos);
    EXPECT_NE(usageOf({"time", "--host"}).find("--host"), std::string::npos);
    EXPECT_NE(usageOf({"--raw", "--json", "time"}).find("exclude"), std::string::npos);
    EXPECT_NE(usageOf({"--verbose", "time"}).find("unknown option"), std::string::npos);
    EXPECT_NE(usageOf({"--raw=1", "time"}).find("unknown option"), std::string::npos);
}

TEST(VornctlOptions, HelpAndVersionWinOverEverythingElse)
{
    EXPECT_EQ(parse({"--help"}).action, ParsedCommandLine::Action::Help);
    EXPECT_EQ(parse({"frobnicate", "-h"}).action, ParsedCommandLine::Action::Usage); // the command is wrong first
    EXPECT_EQ(parse({"time", "-h"}).action, ParsedCommandLine::Action::Help);
    EXPECT_EQ(parse({"--version"}).action, ParsedCommandLine::Action::Version);
}

TEST(VornctlOptions, HelpNamesEveryCommandAndExitStatus)
{
    const std::string help = helpText();
    for (const CommandSpec& c : allCommands()) {
        EXPECT_NE(help.find(std::string(c.name)), std::string::npos) << c.name;
    }
    for (const char* status : {"  3  connection refused", "  4  timed out", "  5  connection closed"}) {
        EXPECT_NE(help.find(status), std::string::npos) << status;
    }
}

TEST(VornctlEscapes, ShowBytesRoundTripsThroughDecode)
{
    const std::string bytes("c 3\n\x03\x00\xff\\", 8);
    const std::string shown = showBytes(bytes);
    EXPECT_EQ(shown, "c 3\\n\\x03\\x00\\xff\\\\");
    EXPECT_EQ(decodeEscapes(shown), bytes);
}

TEST(VornctlEscapes, HexDumpShowsOffsetsBytesAndText)
{
    const std::string dump = hexDump(std::string("0123456789abcdef\x82", 17));
    EXPECT_EQ(dump, "0000  30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66  0123456789abcdef\n"
                    "0010  82                                               .\n");
}

} // namespace
} // namespace vornctl
