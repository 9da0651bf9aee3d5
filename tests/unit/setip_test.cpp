// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The interface address command's tokeniser, filter and command line, and
// the error-file report. Nothing here runs a command: set_ip itself is
// exercised only in the sandbox.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include "commands/cmd_setip.h"
#include "temp_dir.h"

namespace vorn {
namespace {

constexpr const char* kLog = "/tmp/vorn.logAbC123";

ReqBuf request(const std::string& text)
{
    ReqBuf buf{};
    std::memcpy(buf.data(), text.data(), std::min(text.size(), kRequestSize));
    return buf;
}

// What set_ip would run for a request (empty when it refuses), with the
// error file kLog or, when withLog is false, none.
std::string commandFor(const std::string& text, bool withLog = true)
{
    ReqBuf buf = request(text);
    SetIpParams params = tokenise(buf.data());
    if (refusesInterface(params)) {
        return "";
    }
    stripInterfacePrefix(params.param[1]);
    return buildIfconfigCommand(params, withLog ? kLog : nullptr).data();
}

std::string token(const std::string& text)
{
    SetIpToken t{};
    std::memcpy(t.data(), text.data(), text.size());
    stripInterfacePrefix(t);
    return t.data();
}

TEST(SetIpTokens, SeparatorsBlankTabAndCommaInRuns)
{
    ReqBuf buf = request(" E\t, eth0,,10.1.2.3 \t255.255.0.0");
    const SetIpParams p = tokenise(buf.data());
    EXPECT_EQ(p.argCount, 3);
    EXPECT_STREQ(p.param[0].data(), "E");
    EXPECT_STREQ(p.param[1].data(), "eth0");
    EXPECT_STREQ(p.param[2].data(), "10.1.2.3");
    EXPECT_STREQ(p.param[3].data(), "255.255.0.0");
    EXPECT_STREQ(p.param[4].data(), "");
}

TEST(SetIpTokens, LetterStaysInPlaceAndAFifthArgumentIsIgnored)
{
    ReqBuf buf = request("E eth0 up 1 2 3 4 5");
    const SetIpParams p = tokenise(buf.data());
    EXPECT_EQ(buf[0], 'E');
    EXPECT_EQ(p.argCount, 4);
    EXPECT_STREQ(p.param[4].data(), "2");
}

TEST(SetIpTokens, EachTokenBoundedTo255Characters)
{
    const std::string longest(254, 'a');
    ReqBuf buf = request("E" + longest + "b");
    const SetIpParams p = tokenise(buf.data());
    EXPECT_EQ(p.argCount, 0);
    EXPECT_EQ(std::string(p.param[0].data()), "E" + longest);
}

TEST(SetIpRefusal, OnlyTheExactHostLinkNameIsRefused)
{
    EXPECT_EQ(commandFor("E hlink0 10.0.0.1"), "");
    EXPECT_EQ(commandFor("E,hlink0"), "");
    EXPECT_NE(commandFor("E HLINK0 10.0.0.1"), "");
    EXPECT_NE(commandFor("E hlink01 10.0.0.1"), "");
    EXPECT_NE(commandFor("E hlink0\n"), "");
    EXPECT_EQ(commandFor("E hlink0\n"), "/sbin/ifconfig hlink0  2>/tmp/vorn.logAbC123");
    // The test sees the token before its prefix goes.
    EXPECT_EQ(commandFor("E -abcd\"hlink0\" down"), "/sbin/ifconfig hlink0 down 2>/tmp/vorn.logAbC123");
}

TEST(SetIpPrefix, DropsSixCharactersAndCutsAtTheQuote)
{
    EXPECT_EQ(token("-abcd\"eth1\""), "eth1");
    EXPECT_EQ(token("-abcde\"eth1\""), "");
    EXPECT_EQ(token("-abcdefeth1"), "feth1");
    EXPECT_EQ(token("-abcdef"), "f");
    EXPECT_EQ(token("-abcde"), "-abcde");
    EXPECT_EQ(token("eth0\"x"), "eth0\"x");
}

TEST(SetIpCleanse, OnlyLettersDigitsDotAndSlashSurvive)
{
    char text[] = "a-Z;0|9&.\"/'>`$(\\)\n\t:\x80\xff";
    const std::size_t len = std::strlen(text);
    cleanse(text);
    EXPECT_EQ(std::strlen(text), len);
    EXPECT_EQ(std::string(text), "a Z 0 9 . /" + std::string(12, ' '));
}

TEST(SetIpCommand, ThreeFormsByArgumentCount)
{
    EXPECT_EQ(commandFor("E eth0 10.1.2.3 255.255.0.0"),
              "/sbin/ifconfig eth0 10.1.2.3 netmask 255.255.0.0 2>/tmp/vorn.logAbC123");
    EXPECT_EQ(commandFor("E,eth0\t10.1.2.3,255.255.0.0"),
              "/sbin/ifconfig eth0 10.1.2.3 netmask 255.255.0.0 2>/tmp/vorn.logAbC123");
    EXPECT_EQ(commandFor("E eth0 10.1.2.3 255.255.0.0 9.9.9.9"),
              "/sbin/ifconfig eth0 10.1.2.3 netmask 255.255.0.0 2>/tmp/vorn.logAbC123");
    EXPECT_EQ(commandFor("E eth0 10.1.2.3"), "/sbin/ifconfig eth0 10.1.2.3 2>/tmp/vorn.logAbC123");
    EXPECT_EQ(commandFor("E eth0"), "/sbin/ifconfig eth0 2>/tmp/vorn.logAbC123");
    EXPECT_EQ(commandFor("E"), "/sbin/ifconfig  2>/tmp/vorn.logAbC123");
    EXPECT_EQ(commandFor("E eth0 -promisc"), "/sbin/ifconfig eth0  promisc 2>/tmp/vorn.logAbC123");
    EXPECT_EQ(commandFor("E eth0 10.1.2.3\n"), "/sbin/ifconfig eth0 10.1.2.3  2>/tmp/vorn.logAbC123");
}

TEST(SetIpCommand, WithoutAnErrorFileNothingIsRedirected)
{
    EXPECT_EQ(commandFor("E eth0 10.1.2.3", false), "/sbin/ifconfig eth0 10.1.2.3");
    EXPECT_EQ(commandFor("E eth0 >x", false), "/sbin/ifconfig eth0  x");
}

TEST(SetIpCommand, NoRequestByteAddsShellSyntax)
{
    EXPECT_EQ(commandFor("E eth0 >/etc/passwd"), "/sbin/ifconfig eth0  /etc/passwd 2>/tmp/vorn.logAbC123");
    EXPECT_EQ(commandFor("E eth0;touch\t/x 1>/y"), "/sbin/ifconfig eth0 touch /x netmask 1 /y 2>/tmp/vorn.logAbC123");
    EXPECT_EQ(commandFor("E $(reboot) `reboot` a|b&c"),
              "/sbin/ifconfig   reboot   reboot  netmask a b c 2>/tmp/vorn.logAbC123");
    const std::string cmd = commandFor("E eth0 'x'\"y\"<z\\n");
    EXPECT_EQ(cmd.find_first_of("'\"<\\;&|`$()"), std::string::npos) << cmd;
    EXPECT_EQ(cmd.find('>'), cmd.rfind(" 2>/tmp/vorn.logAbC123") + 2);
}

TEST(SetIpCommand, AnOverlongRequestNeverCutsTheRedirection)
{
    // 252 characters of tokens: the command would pass 255 characters.
    const std::string a(84, 'a');
    const std::string cmd = commandFor("E " + a + " " + a + " " + a);
    EXPECT_EQ(cmd.size(), 255u);
    EXPECT_EQ(cmd.substr(cmd.size() - 22), " 2>/tmp/vorn.logAbC123");
    EXPECT_EQ(cmd.find('>'), cmd.size() - 20);
    EXPECT_EQ(cmd.substr(0, 15), "/sbin/ifconfig ");
}

using testsupport::TempDir;

std::string printLogOf(const std::string& path)
{
    OutBuf out{};
    printLog(out, path.c_str());
    return std::string(documentText(out));
}

TEST(SetIpErrorFile, WordsEachFollowedByABlankAndTheFileRemoved)
{
    TempDir dir;
    const std::string path = dir.path + "/vorn.logQWE123";
    std::ofstream(path) << "SIOCSIFADDR: No such device\n  eth9: ERROR while getting\tinterface flags\n";
    EXPECT_EQ(printLogOf(path),
              "<error>SIOCSIFADDR: No such device eth9: ERROR while getting interface flags </error> ");
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(SetIpErrorFile, LongWordsInPiecesEmptyFileEmptyElement)
{
    TempDir dir;
    const std::string path = dir.path + "/vorn.logQWE124";
    std::ofstream(path) << std::string(300, 'w');
    EXPECT_EQ(printLogOf(path), "<error>" + std::string(255, 'w') + " " + std::string(45, 'w') + " </error> ");
    std::ofstream(path).flush();
    EXPECT_EQ(printLogOf(path), "<error></error> ");
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(SetIpErrorFile, UnreadableFileGivesAnEmptyElementAndStays)
{
    TempDir dir;
    EXPECT_EQ(printLogOf(dir.path + "/missing"), "<error></error> ");
    // A directory opens but yields no words and cannot be unlinked.
    EXPECT_EQ(printLogOf(dir.path), "<error></error> ");
    EXPECT_TRUE(std::filesystem::exists(dir.path));
}

} // namespace
} // namespace vorn
