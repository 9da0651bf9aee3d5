// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The power commands against the daemon in the sandbox, where
// "/sbin/shutdown", "/sbin/init" and "/sbin/reboot" are recording fakes.
#include <algorithm>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <syslog.h>

#include <gtest/gtest.h>

#include "host_commands.h"
#include "testbed/board/board.h"

using namespace testbed;
using namespace hostcmds;

namespace {

struct Member {
    const char* letter;
    const char* fake;
    const char* arguments;
    const char* commandLine;
};

const Member kMembers[] = {
    {"s", "shutdown", "-h now", "/sbin/shutdown -h now 2>&1"},
    {"f", "init", "0", "/sbin/init 0 2>&1"},
    {"b", "reboot", "", "/sbin/reboot 2>&1"},
    {"B", "reboot", "-f", "/sbin/reboot -f 2>&1"},
};

} // namespace

TEST(PowerCommands, EachLetterRunsItsOwnCommandLineOnce)
{
    Board board;
    ShellRecorder shell(board);
    for (const char* fake : {"shutdown", "init", "reboot"}) {
        board.setFake(fake, 0, "The system is going down NOW!\n");
    }
    board.start();
    std::vector<std::string> lines = {"/sbin/ifconfig hlink0 169.254.101.3"};
    std::size_t reboots = 0;
    for (const Member& m : kMembers) {
        expectDocument(board.request(m.letter), "<cmdRetVal>0</cmdRetVal>", m.letter);
        lines.push_back(m.commandLine);
        EXPECT_EQ(shell.linesStartingWith("/sbin/"), lines) << m.letter;
        const std::vector<std::string> calls = board.fakeCalls(m.fake);
        ASSERT_FALSE(calls.empty()) << m.letter;
        EXPECT_EQ(calls.back(), m.arguments) << m.letter;
        // Arguments after the letter change nothing.
        expectDocument(board.request(std::string(m.letter) + " -x now;touch " + kCanary), "<cmdRetVal>0</cmdRetVal>",
                       m.letter);
        lines.push_back(m.commandLine);
        EXPECT_EQ(shell.linesStartingWith("/sbin/"), lines) << m.letter;
        EXPECT_FALSE(exists(kCanary));
        reboots += std::string(m.fake) == "reboot" ? 2 : 0;
    }
    EXPECT_EQ(board.fakeCalls("shutdown"), (std::vector<std::string>{"-h now", "-h now"}));
    EXPECT_EQ(board.fakeCalls("init"), (std::vector<std::string>{"0", "0"}));
    EXPECT_EQ(board.fakeCalls("reboot"), (std::vector<std::string>{"", "", "-f", "-f"}));
    EXPECT_EQ(reboots, 4u);
}

TEST(PowerCommands, FailureReportsTheFirstLineAndTheRawWaitStatus)
{
    Board board;
    board.setFake("shutdown", 1, "shutdown: cannot shut down now\nsecond line\n");
    board.setFake("init", 3, "", "init: must be superuser.\n");
    board.setFake("reboot", 1);
    board.start();
    expectDocument(board.request("s"), "<error>shutdown: cannot shut down now\n</error><cmdRetVal>256</cmdRetVal>");
    // The error output comes down the same pipe.
    expectDocument(board.request("f"), "<error>init: must be superuser.\n</error><cmdRetVal>768</cmdRetVal>");
    // Nothing printed: an empty error element.
    expectDocument(board.request("b"), "<error></error><cmdRetVal>256</cmdRetVal>");
    // A failing command is reported only in the reply.
    EXPECT_EQ(board.logCount("<error>Unable to open pipe to shutdown command</error>"), 0u);
}

TEST(PowerCommands, FirstLineCutAt255Characters)
{
    Board board;
    const std::string longLine(300, 'x');
    board.setFake("reboot", 1, longLine + "\nsecond\n");
    board.start();
    expectDocument(board.request("B"), "<error>" + std::string(255, 'x') + "</error><cmdRetVal>256</cmdRetVal>");
    // A line of exactly 255 characters keeps no room for its newline.
    board.setFake("reboot", 2, std::string(255, 'y') + "\nnext\n");
    expectDocument(board.request("b"), "<error>" + std::string(255, 'y') + "</error><cmdRetVal>512</cmdRetVal>");
}

// Leaves the daemon exactly one free descriptor, so that it can take the
// connection but not open the command's pipe.
TEST(PowerCommands, PipeFailureReportsMinus32AndIsLogged)
{
    Board board;
    board.start();
    const pid_t pid = board.daemonPid();
    // Let the daemon open its log connection first: a stranger is logged.
    board.request("x", From::Stranger);
    ASSERT_TRUE(board.waitForLog("Incoming request from wrong IP\n", LOG_INFO));

    std::vector<int> open;
    for (const std::string& name : entriesStartingWith("/proc/" + std::to_string(pid) + "/fd", "")) {
        if (name != "." && name != "..") {
            open.push_back(std::stoi(name));
        }
    }
    auto isOpen = [&](int fd) { return std::find(open.begin(), open.end(), fd) != open.end(); };
    int firstFree = 0;
    while (isOpen(firstFree)) {
        ++firstFree;
    }
    int secondFree = firstFree + 1;
    while (isOpen(secondFree)) {
        ++secondFree;
    }
    rlimit old{};
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, nullptr, &old), 0);
    const rlimit tight{static_cast<rlim_t>(secondFree), old.rlim_max};
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &tight, nullptr), 0);

    expectDocument(board.request("s"),
                   "<error>Unable to open pipe to shutdown command</error><cmdRetVal>-32</cmdRetVal>");
    EXPECT_TRUE(board.fakeCalls("shutdown").empty());
    const auto line = board.waitForLog("<error>Unable to open pipe to shutdown command</error>", LOG_CRIT);
    EXPECT_TRUE(line.has_value());

    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &old, nullptr), 0);
    expectDocument(board.request("s"), "<cmdRetVal>0</cmdRetVal>");
    EXPECT_EQ(board.fakeCalls("shutdown").size(), 1u);
}
