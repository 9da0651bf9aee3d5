// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The interface address command ('E') against the daemon in the sandbox,
// where "/sbin/ifconfig" is a recording fake.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host_commands.h"
#include "testbed/board/board.h"

using namespace testbed;
using namespace hostcmds;

namespace {

const std::string kLogFile = "/tmp/vorn\\.log[A-Za-z0-9]{6}";
const std::string kRefusal = "<error>Can't change HLINK interface.</error>";
const std::string kStartup = "hlink0 169.254.101.3";

struct Ran {
    Reply reply;
    std::vector<std::string> calls; // the fake's argument lines for this request
    std::vector<std::string> lines; // the shell command lines for this request
};

class SetIp : public ::testing::Test {
protected:
    Board board;
    ShellRecorder shell{board};

    void SetUp() override { board.start(); }

    Ran run(const std::string& request)
    {
        const std::size_t calls = board.fakeCalls("ifconfig").size();
        const std::size_t lines = shell.linesStartingWith("/sbin/ifconfig").size();
        Ran r{board.request(request), board.fakeCalls("ifconfig"), shell.linesStartingWith("/sbin/ifconfig")};
        r.calls.erase(r.calls.begin(), r.calls.begin() + static_cast<long>(calls));
        r.lines.erase(r.lines.begin(), r.lines.begin() + static_cast<long>(lines));
        return r;
    }

    // Runs a request that must succeed with one ifconfig call; checks the
    // command line (the part before the redirection) and that the error
    // file is gone.
    void expectCommand(const std::string& request, const std::string& commandLine, const std::string& arguments)
    {
        const Ran r = run(request);
        expectDocument(r.reply, "<cmdRetVal>0</cmdRetVal>\n", printable(request));
        ASSERT_EQ(r.lines.size(), 1u) << printable(request);
        EXPECT_TRUE(matches(r.lines[0], literal(commandLine) + " 2>" + kLogFile))
            << printable(request) << " ran " << r.lines[0];
        EXPECT_EQ(r.calls, std::vector<std::string>{arguments}) << printable(request);
        EXPECT_TRUE(entriesStartingWith("/tmp", "vorn.log").empty()) << printable(request);
    }
};

} // namespace

TEST_F(SetIp, NetmaskFormWithBlankTabOrCommaSeparators)
{
    for (const char* request : {"E eth0 10.1.2.3 255.255.0.0", "E,eth0,10.1.2.3,255.255.0.0",
                                "E\teth0\t10.1.2.3\t255.255.0.0", "E ,\teth0,, 10.1.2.3\t,255.255.0.0"}) {
        expectCommand(request, "/sbin/ifconfig eth0 10.1.2.3 netmask 255.255.0.0", "eth0 10.1.2.3 netmask 255.255.0.0");
    }
    // A line feed at the end stays in the last token and becomes a blank.
    expectCommand("E eth0 10.1.2.3 255.255.0.0\n", "/sbin/ifconfig eth0 10.1.2.3 netmask 255.255.0.0 ",
                  "eth0 10.1.2.3 netmask 255.255.0.0");
}

TEST_F(SetIp, FiveOneAndNoArguments)
{
    expectCommand("E eth0 10.1.2.3 255.255.0.0 10.9.9.9", "/sbin/ifconfig eth0 10.1.2.3 netmask 255.255.0.0",
                  "eth0 10.1.2.3 netmask 255.255.0.0");
    expectCommand("E eth0 10.1.2.3", "/sbin/ifconfig eth0 10.1.2.3", "eth0 10.1.2.3");
    expectCommand("E eth0", "/sbin/ifconfig eth0", "eth0");
    expectCommand("E", "/sbin/ifconfig ", "");
    // A state word loses its '-'; a trailing line feed becomes a blank.
    expectCommand("E eth0 -promisc\n", "/sbin/ifconfig eth0  promisc ", "eth0 promisc");
}

TEST_F(SetIp, HostLinkIsRefusedOnlyByItsExactName)
{
    for (const char* request : {"E hlink0 10.0.0.1 255.0.0.0", "E,hlink0", "E hlink0 down"}) {
        const Ran r = run(request);
        expectDocument(r.reply, kRefusal, request);
        EXPECT_TRUE(r.lines.empty()) << request;
        EXPECT_TRUE(r.calls.empty()) << request;
        EXPECT_TRUE(entriesStartingWith("/tmp", "vorn.log").empty()) << request;
    }
    expectCommand("E HLINK0 10.0.0.1", "/sbin/ifconfig HLINK0 10.0.0.1", "HLINK0 10.0.0.1");
    expectCommand("E hlink01 10.0.0.1", "/sbin/ifconfig hlink01 10.0.0.1", "hlink01 10.0.0.1");
    expectCommand("E hlink0\n", "/sbin/ifconfig hlink0 ", "hlink0");
    EXPECT_EQ(board.fakeCalls("ifconfig").front(), kStartup);
}

TEST_F(SetIp, PrefixedInterfaceToken)
{
    expectCommand("E -abcd\"eth1\" up", "/sbin/ifconfig eth1 up", "eth1 up");
    expectCommand("E -abcde\"eth1\" up", "/sbin/ifconfig  up", "up");
    // Six characters or fewer stay, and '-' is then blanked.
    expectCommand("E -eth1 up", "/sbin/ifconfig  eth1 up", "eth1 up");
}

TEST_F(SetIp, FailureReportsRawStatusAndTheErrorOutputsWords)
{
    board.setFake("ifconfig", 1, "ignored standard output\n",
                  "SIOCSIFADDR: No such device\neth9: ERROR while getting interface flags\n");
    const Ran r = run("E eth9 10.1.2.3");
    expectDocument(r.reply, "<cmdRetVal>256</cmdRetVal>\n<error>SIOCSIFADDR: No such device eth9: ERROR while "
                            "getting interface flags </error> ");
    EXPECT_TRUE(entriesStartingWith("/tmp", "vorn.log").empty());

    board.setFake("ifconfig", 2);
    expectDocument(run("E eth9 up").reply, "<cmdRetVal>512</cmdRetVal>\n<error></error> ");
    EXPECT_TRUE(entriesStartingWith("/tmp", "vorn.log").empty());
}

TEST_F(SetIp, NoRequestByteReachesTheShellAsSyntax)
{
    const std::string c = kCanary;
    const std::vector<std::string> attacks = {
        "E eth0 up;touch " + c,           "E eth0 >" + c,
        "E eth0 up >" + c + " 255.0.0.0", "E eth0 up|touch " + c,
        "E eth0 up&&touch " + c,          "E eth0 $(touch " + c + ")",
        "E eth0 `touch " + c + "`",       "E eth0\ntouch " + c,
        "E eth0 up\rtouch " + c,          "E eth0 up 1.2.3.4 255.0.0.0;touch " + c,
        "E -abcd\"x;touch " + c + "\"",   "E eth0 'up;touch " + c + "'",
        "E eth0 up${IFS}2>" + c,
    };
    for (const std::string& attack : attacks) {
        const Ran r = run(attack);
        ASSERT_EQ(r.lines.size(), 1u) << printable(attack);
        // The only '>' is the fixed redirection into the agent's error file.
        const std::string& line = r.lines[0];
        EXPECT_EQ(line.find('>'), line.rfind(" 2>/tmp/vorn.log") + 2) << line;
        EXPECT_EQ(line.find_first_of(";&|`$()'\"<\\\n\r"), std::string::npos) << line;
        EXPECT_EQ(r.calls.size(), 1u) << printable(attack);
        EXPECT_FALSE(exists(kCanary)) << printable(attack);
        ::unlink(kCanary); // each attack is judged on its own
    }
    EXPECT_TRUE(entriesStartingWith("/tmp", "vorn.log").empty());
}

TEST_F(SetIp, WithoutAnErrorFileTheCommandRunsUnredirected)
{
    board.mountTmpfs("/tmp", std::size_t{64} * 1024);
    ASSERT_EQ(board.run("mount -o remount,ro /tmp").status, 0);
    Ran r = run("E eth0 10.1.2.3");
    expectDocument(r.reply, "<cmdRetVal>0</cmdRetVal>\n");
    EXPECT_EQ(r.lines, std::vector<std::string>{"/sbin/ifconfig eth0 10.1.2.3"});

    board.setFake("ifconfig", 1, "", "SIOCSIFADDR: Permission denied\n");
    r = run("E eth0 10.1.2.4>/tmp/x");
    expectDocument(r.reply, "<cmdRetVal>256</cmdRetVal>\n<error></error> ");
    EXPECT_EQ(r.lines, std::vector<std::string>{"/sbin/ifconfig eth0 10.1.2.4 /tmp/x"});
}

TEST_F(SetIp, OverlongRequestKeepsTheRedirectionWhole)
{
    const std::string a(84, 'a');
    const Ran r = run("E " + a + " " + a + " " + a);
    ASSERT_EQ(r.lines.size(), 1u);
    EXPECT_EQ(r.lines[0].size(), 255u);
    EXPECT_TRUE(matches(r.lines[0], "/sbin/ifconfig a{84} a{84} netmask a{40} 2>" + kLogFile)) << r.lines[0];
    EXPECT_TRUE(entriesStartingWith("/tmp", "vorn.log").empty());
}
