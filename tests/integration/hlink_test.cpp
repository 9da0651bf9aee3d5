// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The host-link address command ('J') against the daemon in the sandbox:
// the simulated host-link driver, the fake "/sbin/ifconfig" and the
// sandbox's own "/etc/init.d/vorn".
#include <cerrno>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "host_commands.h"
#include "testbed/board/board.h"

using namespace testbed;
using namespace hostcmds;

namespace {

const std::string kInitScript = "/etc/init.d/vorn";
const std::string kScript = "#!/bin/sh\n"
                            "# host link\n"
                            "ifconfig hlink0 169.254.101.3 up\n"
                            "    /sbin/ifconfig hlink0 169.254.101.3 netmask 255.255.0.0\n"
                            "ifconfig hlink0 up\n"
                            "echo ifconfig hlink0 started\n";
const std::string kMoved = "#!/bin/sh\n"
                           "# host link\n"
                           "ifconfig hlink0 10.20.30.40\n"
                           "ifconfig hlink0 10.20.30.40\n"
                           "ifconfig hlink0 up\n"
                           "echo ifconfig hlink0 started\n";
const std::string kSed = "/bin/sed 's/^.*ifconfig hlink0 [0-9].*$/ifconfig hlink0 %s/' /etc/init.d/vorn > .vorn; "
                         "/bin/cp .vorn /etc/init.d/vorn;/bin/rm .vorn;";
const std::string kAccepted = "<cmdRetVal>0</cmdRetVal>";
const std::string kStartup = "hlink0 169.254.101.3";

std::string sedLine(const std::string& address)
{
    std::string line = kSed;
    line.replace(line.find("%s"), 2, address);
    return line;
}

class Hlink : public ::testing::Test {
protected:
    Board board;
    ShellRecorder shell{board};
    unsigned long listener = 0;

    void SetUp() override
    {
        requireSandboxFile("/etc");
        requireSandboxFile("/");
        board.removeFile(kInitScript);
        board.writeFile(kInitScript, kScript, 0755);
        board.start();
        listener = listeningInode(board.daemonPid(), kServerPort);
        ASSERT_NE(listener, 0u);
    }

    std::vector<std::string> hlinkLines() const
    {
        std::vector<std::string> out;
        for (const std::string& line : shell.lines()) {
            if (line.find("hlink0") != std::string::npos && line != "/sbin/ifconfig hlink0 169.254.101.3") {
                out.push_back(line);
            }
        }
        return out;
    }

    std::vector<std::string> ifconfigCalls() const
    {
        std::vector<std::string> calls = board.fakeCalls("ifconfig");
        EXPECT_FALSE(calls.empty());
        if (!calls.empty() && calls.front() == kStartup) {
            calls.erase(calls.begin());
        }
        return calls;
    }

    // Waits until the listener has set up a new listening socket.
    bool listenerRenewed()
    {
        unsigned long now = 0;
        const bool renewed = waitFor([&] {
            now = listeningInode(board.daemonPid(), kServerPort);
            return now != 0 && now != listener;
        });
        listener = now;
        return renewed;
    }

    // Waits until the request's shell steps and driver step are over: the
    // listener has set up its new socket.
    void expectMovedTo(const std::string& plat, std::uint64_t platHostOrder, std::uint64_t spHostOrder)
    {
        ASSERT_TRUE(listenerRenewed());
        EXPECT_EQ(board.readFile(kInitScript), kMoved);
        EXPECT_EQ(hlinkLines(),
                  (std::vector<std::string>{sedLine(plat), "/sbin/ifconfig hlink0 down; ifconfig hlink0 " + plat}));
        EXPECT_EQ(ifconfigCalls(), (std::vector<std::string>{"hlink0 down", "hlink0 " + plat}));
        const std::vector<SetRequest> sets = board.driver().setRequests();
        ASSERT_EQ(sets.size(), 2u);
        EXPECT_EQ(sets[0].request, simdrv::kSetPlatIp);
        EXPECT_EQ(sets[0].value, platHostOrder);
        EXPECT_EQ(sets[1].request, simdrv::kSetSpIp);
        EXPECT_EQ(sets[1].value, spHostOrder);
        EXPECT_FALSE(exists("/.vorn"));
    }

    // Nothing of the host link changed.
    void expectUnchanged(const std::string& what)
    {
        EXPECT_EQ(board.readFile(kInitScript), kScript) << what;
        EXPECT_TRUE(hlinkLines().empty()) << what;
        EXPECT_TRUE(ifconfigCalls().empty()) << what;
        EXPECT_TRUE(board.driver().setRequests().empty()) << what;
    }
};

} // namespace

TEST_F(Hlink, AnswersAndClosesBeforeMovingTheLink)
{
    // The init script is a pipe that the test feeds: the command's first
    // shell step waits for it, so nothing can move before the test has
    // seen the whole reply and the close.
    board.removeFile(kInitScript);
    ASSERT_EQ(::mkfifo(kInitScript.c_str(), 0755), 0);

    const Reply reply = board.request("J p=10.20.30.40 s=10.20.30.1");
    expectDocument(reply, kAccepted);
    EXPECT_TRUE(ifconfigCalls().empty());
    EXPECT_TRUE(board.driver().setRequests().empty());

    // Feed the old script to sed.
    UniqueFd writer;
    ASSERT_TRUE(waitFor([&] {
        writer = UniqueFd(::open(kInitScript.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        return bool(writer) || errno != ENXIO;
    }));
    ASSERT_TRUE(bool(writer));
    ASSERT_EQ(::write(writer.get(), kScript.data(), kScript.size()), static_cast<ssize_t>(kScript.size()));
    writer.reset();
    // sed has read it all once its output is there; then cp writes the new script into the pipe.
    ASSERT_TRUE(waitFor([&] { return board.readFile("/.vorn").value_or("") == kMoved; }));
    UniqueFd reader(::open(kInitScript.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(bool(reader));
    std::string copied;
    for (;;) {
        pollfd p{reader.get(), POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 5000), 1) << "cp did not write the init script";
        char buf[4096];
        const ssize_t n = ::read(reader.get(), buf, sizeof buf);
        if (n > 0) {
            copied.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0) {
            break;
        } else {
            ASSERT_EQ(errno, EAGAIN);
        }
    }
    EXPECT_EQ(copied, kMoved);

    ASSERT_TRUE(listenerRenewed());
    EXPECT_EQ(ifconfigCalls(), (std::vector<std::string>{"hlink0 down", "hlink0 10.20.30.40"}));
    const std::vector<SetRequest> sets = board.driver().setRequests();
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0].value, 0x0A141E28u);
    EXPECT_EQ(sets[1].value, 0x0A141E01u);
}

TEST_F(Hlink, MovesInitScriptInterfaceAndDriverThenListensAgain)
{
    expectDocument(board.request("J p=10.20.30.40 s=10.20.30.1"), kAccepted);
    expectMovedTo("10.20.30.40", 0x0A141E28u, 0x0A141E01u);
    EXPECT_EQ(board.driver().platIp(), 0x0A141E28u);
    EXPECT_EQ(board.driver().spIp(), 0x0A141E01u);

    // The new listener reads the SP's address afresh: the SP now speaks
    // from its new address, and the old one is a stranger.
    EXPECT_TRUE(listensOn(board.daemonPid(), kServerPort));
    board.addSpSideAddress("10.20.30.1");
    expectDocument(board.requestFrom("10.20.30.1", "x"), "<error>Invalid request</error>", "from the new SP");
    const Reply old = board.request("x");
    EXPECT_TRUE(old.bytes.empty());
    EXPECT_TRUE(board.waitForLog("Incoming request from wrong IP\n", LOG_INFO));
}

TEST_F(Hlink, SpTextThatIsNoAddressGivesTheDefault)
{
    expectDocument(board.request("J p=10.20.30.40 s=none"), kAccepted);
    expectMovedTo("10.20.30.40", 0x0A141E28u, 0xA9FE6502u);
}

TEST_F(Hlink, FieldsInEitherOrderWithLineEnd)
{
    expectDocument(board.request("Js=10.20.30.1\tp=10.20.30.40\n"), kAccepted);
    expectMovedTo("10.20.30.40", 0x0A141E28u, 0x0A141E01u);
}

TEST_F(Hlink, ShortOrMissingTextsAreRefusedAndTheListenerStays)
{
    const std::pair<const char*, const char*> cases[] = {
        {"J p=1 s=10.20.30.1", "<error>Invalid ip addresses plat = 1 , sp = 10.20.30.1</error>"},
        {"J p=10.20.30.40", "<error>Invalid ip addresses plat = 10.20.30.40, sp = </error>"},
        {"J s=10.20.30.1", "<error>Invalid ip addresses plat = , sp = 10.20.30.1</error>"},
        {"J", "<error>Invalid ip addresses plat = , sp = </error>"},
        {"J p=10.20.30.40 s=ab", "<error>Invalid ip addresses plat = 10.20.30.40 , sp = ab</error>"},
    };
    for (const auto& [request, error] : cases) {
        expectDocument(board.request(request), std::string(error) + "<cmdRetVal>-1</cmdRetVal>", request);
    }
    // Served by the same listening socket throughout.
    expectDocument(board.request("x"), "<error>Invalid request</error>");
    EXPECT_EQ(listeningInode(board.daemonPid(), kServerPort), listener);
    expectUnchanged("refused");
    EXPECT_EQ(board.logCount("Hlink set ip failed\n"), 0u);
}

TEST_F(Hlink, PlatformTextThatIsNoAddressNeverReachesTheShell)
{
    const std::string c = kCanary;
    // The SP keeps its address, so that the daemon would still serve the
    // SP even after a request that moved the link.
    const std::vector<std::string> attacks = {
        "J p=abc s=169.254.101.2",
        "J p=10.1 s=169.254.101.2",
        "J p=10.20.30.40;touch " + c + "; s=169.254.101.2",
        "J p=10.20.30.40 ;touch " + c + " s=169.254.101.2",
        "J p=$(touch " + c + ") s=169.254.101.2",
        "J p=`touch " + c + "` s=169.254.101.2",
        "J p=1.2.3.4/' /etc/passwd; touch " + c + "; echo ' s=169.254.101.2",
        "J p=10.20.30.40\ntouch " + c + "\n s=169.254.101.2",
        "J p=0x0a.20.30.40 s=169.254.101.2",
    };
    std::size_t failures = 0;
    for (const std::string& attack : attacks) {
        // Accepted, as the reply comes before the check.
        expectDocument(board.request(attack), kAccepted, printable(attack));
        // The listener starts over all the same.
        ASSERT_TRUE(listenerRenewed()) << printable(attack);
        EXPECT_FALSE(exists(kCanary)) << printable(attack);
        ::unlink(kCanary); // each attack is judged on its own
        ++failures;
        EXPECT_TRUE(waitFor([&] { return board.logCount("Hlink set ip failed\n", LOG_CRIT) == failures; }))
            << printable(attack);
    }
    expectUnchanged("no address");
}

TEST_F(Hlink, FailingInitScriptStepLeavesInterfaceAndDriver)
{
    // "> .vorn" cannot be opened over a directory, and rm then fails too.
    ASSERT_EQ(::mkdir("/.vorn", 0755), 0);
    expectDocument(board.request("J p=10.20.30.40 s=10.20.30.1"), kAccepted);
    EXPECT_TRUE(board.waitForLog("Hlink set ip failed\n", LOG_CRIT));
    ASSERT_TRUE(listenerRenewed());
    EXPECT_EQ(hlinkLines(), std::vector<std::string>{sedLine("10.20.30.40")});
    EXPECT_TRUE(ifconfigCalls().empty());
    EXPECT_TRUE(board.driver().setRequests().empty());
    EXPECT_EQ(board.readFile(kInitScript), kScript);
    ::rmdir("/.vorn");
}

TEST_F(Hlink, FailingInterfaceStepLeavesTheDriver)
{
    board.setFake("ifconfig", 1);
    expectDocument(board.request("J p=10.20.30.40 s=10.20.30.1"), kAccepted);
    EXPECT_TRUE(board.waitForLog("Hlink set ip failed\n", LOG_CRIT));
    ASSERT_TRUE(listenerRenewed());
    EXPECT_EQ(board.readFile(kInitScript), kMoved);
    EXPECT_EQ(ifconfigCalls(), (std::vector<std::string>{"hlink0 down", "hlink0 10.20.30.40"}));
    EXPECT_TRUE(board.driver().setRequests().empty());
}

TEST_F(Hlink, DriverFailures)
{
    board.driver().setPresent(simdrv::kHlink, false);
    expectDocument(board.request("J p=10.20.30.40 s=10.20.30.1"), kAccepted);
    EXPECT_TRUE(board.waitForLog("failed to open the driver /dev/hlink\n", LOG_CRIT));
    ASSERT_TRUE(listenerRenewed());
    EXPECT_TRUE(board.driver().setRequests().empty());
    board.driver().setPresent(simdrv::kHlink, true);

    board.driver().failRequest(simdrv::kSetPlatIp);
    expectDocument(board.request("J p=10.20.30.41 s=10.20.30.1"), kAccepted);
    EXPECT_TRUE(board.waitForLog("mcPoll: IOCTL_SET_PLAT_IP failed\n", LOG_INFO));
    ASSERT_TRUE(listenerRenewed());
    EXPECT_EQ(board.driver().requestCount(simdrv::kSetSpIp), 0u);
    board.driver().failRequest(simdrv::kSetPlatIp, false);

    board.driver().failRequest(simdrv::kSetSpIp);
    expectDocument(board.request("J p=10.20.30.42 s=10.20.30.1"), kAccepted);
    EXPECT_TRUE(board.waitForLog("mcPoll: IOCTL_SET_SP_IP failed\n", LOG_INFO));
    ASSERT_TRUE(listenerRenewed());
    EXPECT_EQ(board.driver().requestCount(simdrv::kSetPlatIp), 2u);
    EXPECT_EQ(board.driver().requestCount(simdrv::kSetSpIp), 1u);
    EXPECT_EQ(board.driver().platIp(), 0x0A141E2Au);
}
