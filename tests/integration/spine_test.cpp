// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The daemon's spine on the simulated board: start-up, the pid file, the
// monitors' supervision, the listener's peer filter and the dispatcher.
#include <algorithm>
#include <random>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <syslog.h>

#include <gtest/gtest.h>

#include "testbed/board/board.h"

using namespace testbed;

namespace {

const std::string kBare = document("");
const std::string kInvalid = document("<error>Invalid request</error>");

// A reply that the dispatcher completed: the whole document and then the close.
void expectDocument(const Reply& reply, const std::string& expected, const std::string& what)
{
    EXPECT_EQ(printable(reply.bytes), printable(expected)) << what;
    EXPECT_TRUE(reply.closed) << what;
    EXPECT_FALSE(reply.reset) << what;
}

bool isRunning(const ProcessInfo& p)
{
    return p.state != 'Z';
}

} // namespace

TEST(Documents, HaveTheirExactBytes)
{
    EXPECT_EQ(kBare, std::string("<?xml version=\"1.0\" encoding =\"UTF-8\"?> <vorn>  </vorn> \x03"));
    EXPECT_EQ(kBare.size(), 57u);
    EXPECT_EQ(kInvalid, std::string("<?xml version=\"1.0\" encoding =\"UTF-8\"?> <vorn> <error>Invalid request</error> "
                                    "</vorn> \x03"));
    EXPECT_EQ(kInvalid.size(), 87u);
}

TEST(Startup, ConfiguresHlink0WithTheDriversHostAddress)
{
    Board board;
    board.start();
    EXPECT_EQ(board.fakeCalls("ifconfig"), std::vector<std::string>{"hlink0 169.254.101.3"});
    // The host address comes from the driver, converted from host byte order.
    std::vector<Request> order;
    for (const DriverCall& call : board.driver().calls())
        if (call.request == simdrv::kGetPlatIp || call.request == simdrv::kGetSpIp)
            order.push_back(call.request);
    EXPECT_EQ(order, (std::vector<Request>{simdrv::kGetPlatIp, simdrv::kGetSpIp}));
    EXPECT_TRUE(board.driver().setRequests().empty());
    EXPECT_EQ(board.logCount("initialization of hlink0 device failed\n"), 0u);
}

TEST(Startup, TakesAnotherHostAddressFromTheDriver)
{
    Board board;
    board.driver().setPlatIp(0x0A01020Bu); // 10.1.2.11
    board.start();
    EXPECT_EQ(board.fakeCalls("ifconfig"), std::vector<std::string>{"hlink0 10.1.2.11"});
}

TEST(Startup, FailingIfconfigIsLoggedAndStartupGoesOn)
{
    Board board;
    board.setFake("ifconfig", 1, "", "SIOCSIFADDR: No such device\n");
    board.start();
    EXPECT_TRUE(board.waitForLog("initialization of hlink0 device failed\n", LOG_CRIT));
    expectDocument(board.request("x"), kInvalid, "after a failed ifconfig");
}

TEST(Startup, FailingAddressRequestsLeaveHlink0Alone)
{
    for (const auto& [request, message] : {std::pair{simdrv::kGetPlatIp, "IOCTL_GET_PLAT_IP failed\n"},
                                           std::pair{simdrv::kGetSpIp, "IOCTL_GET_SP_IP failed\n"}}) {
        Board board;
        board.driver().failRequest(request);
        board.start();
        EXPECT_TRUE(board.waitForLog(message, LOG_CRIT)) << message;
        EXPECT_TRUE(board.fakeCalls("ifconfig").empty()) << message;
        expectDocument(board.request("x"), kInvalid, message);
    }
}

TEST(Startup, WithoutTheHostLinkDriverLogsAndStillServes)
{
    Board board;
    board.driver().setPresent(simdrv::kHlink, false);
    board.start();
    const auto line = board.waitForLog("failed to open the driver /dev/hlink\n", LOG_CRIT);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->ident, "VORN");
    EXPECT_EQ(line->facility, LOG_DAEMON);
    EXPECT_TRUE(board.fakeCalls("ifconfig").empty());
    EXPECT_GT(board.daemonPid(), 0);
    expectDocument(board.request("x"), kInvalid, "without /dev/hlink");
}

TEST(Startup, PidFileHoldsTheServersIdAsBareDigits)
{
    Board board;
    board.start();
    const auto text = board.readFile("/var/run/vorn.pid");
    ASSERT_TRUE(text);
    ASSERT_FALSE(text->empty());
    EXPECT_TRUE(std::all_of(text->begin(), text->end(), [](char c) { return c >= '0' && c <= '9'; }))
        << "pid file: \"" << printable(*text) << "\"";
    const pid_t pid = std::stoi(*text);
    // The process it names is the one that answers on port 6789.
    EXPECT_TRUE(listensOn(pid, kServerPort));
    EXPECT_EQ(board.monitors().size(), 2u);
    for (const ProcessInfo& m : board.monitors())
        EXPECT_FALSE(listensOn(m.pid, kServerPort)) << "monitor " << m.pid;
    expectDocument(board.request("x"), kInvalid, "from the SP");
}

TEST(Supervision, SigtermEndsBothMonitorsWhileTheServerGoesOn)
{
    Board board;
    board.start();
    const pid_t pid = board.daemonPid();
    ASSERT_EQ(board.monitors().size(), 2u);
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_TRUE(board.waitMonitorsEnded());
    for (const ProcessInfo& m : board.monitors())
        EXPECT_FALSE(isRunning(m)) << "monitor " << m.pid << " still runs";
    // The parent is not ended by the signal and keeps answering.
    expectDocument(board.request("x"), kInvalid, "after SIGTERM");
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    expectDocument(board.request("\xff"), kInvalid, "after a second SIGTERM");
    EXPECT_EQ(board.daemonPid(), pid);
    EXPECT_EQ(board.logCount(" exiting\n"), 0u);
}

TEST(Supervision, BindErrorEndsTheMonitorsAndTheAgentWithAFailure)
{
    Board board;
    // Port 6789 taken before the daemon starts.
    UniqueFd taken(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(kServerPort);
    ASSERT_EQ(bind(taken.get(), reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    ASSERT_EQ(listen(taken.get(), 1), 0);
    board.sp().setInterval('h', 100);

    board.start({.waitListening = false});
    const auto bindError = board.waitForLog("bind error\n", LOG_CRIT);
    ASSERT_TRUE(bindError);
    // The parent ends the monitors itself: no heartbeat for a server that
    // serves nothing.
    const auto exiting = board.waitForLog(" exiting\n", LOG_INFO);
    ASSERT_TRUE(exiting);
    EXPECT_GE(exiting->time, bindError->time);
    const auto status = board.waitDaemonExit();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << "wait status " << *status;
    const std::uint64_t beats = board.driver().heartbeatCount();
    std::this_thread::sleep_for(Millis{300});
    EXPECT_EQ(board.driver().heartbeatCount(), beats);
}

TEST(Supervision, MonitorsEndWithAKilledParent)
{
    Board board;
    board.start();
    const pid_t pid = board.daemonPid();
    std::vector<pid_t> monitors;
    for (const ProcessInfo& m : board.monitors())
        monitors.push_back(m.pid);
    ASSERT_EQ(monitors.size(), 2u);
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    EXPECT_TRUE(waitUntil([&] { return std::none_of(monitors.begin(), monitors.end(), detail::alive); }));
}

TEST(PeerFilter, StrangerIsClosedUnreadAndLogged)
{
    Board board;
    board.start();
    // Hold the server in its read on an idle SP connection, so that the
    // stranger's bytes are queued before the server gets to the stranger.
    Connection sp = board.connect(From::Sp);
    ASSERT_TRUE(sp.connected());
    Connection stranger = board.connect(From::Stranger);
    ASSERT_TRUE(stranger.connected());
    ASSERT_TRUE(stranger.send("v"));
    ASSERT_TRUE(sp.send("x"));
    expectDocument(sp.readToClose(), kInvalid, "the SP's request");
    const Reply rejected = stranger.readToClose();
    EXPECT_TRUE(rejected.bytes.empty());
    EXPECT_TRUE(rejected.closed);
    // Closed with its byte unread: the close turns into a reset.
    EXPECT_TRUE(rejected.reset);
    const auto line = board.waitForLog("Incoming request from wrong IP\n", LOG_INFO);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->pid, board.daemonPid());
    expectDocument(board.request("x"), kInvalid, "the SP after the stranger");
}

TEST(PeerFilter, ChangedSpAddressIsAdmittedAfterOneMismatch)
{
    Board board;
    board.addSpSideAddress("169.254.101.77");
    board.start();
    expectDocument(board.request("x"), kInvalid, "from the first SP address");
    board.driver().setSpIpFile("169.254.101.77\n");
    // The mismatch makes the server read the file again: admitted.
    expectDocument(board.requestFrom("169.254.101.77", "x"), kInvalid, "from the new SP address");
    EXPECT_EQ(board.logCount("Incoming request from wrong IP\n"), 0u);
    // From now on the old address is a stranger.
    const Reply old = board.request("x", From::Sp);
    EXPECT_TRUE(old.bytes.empty());
    EXPECT_TRUE(old.closed);
    EXPECT_TRUE(board.waitForLog("Incoming request from wrong IP\n", LOG_INFO));
    expectDocument(board.requestFrom("169.254.101.77", "x"), kInvalid, "from the new SP address again");
}

TEST(PeerFilter, MissingSpAddressFileMeansTheDefaultAddress)
{
    Board board;
    board.driver().removeSpIpFile();
    board.driver().setSpIp(0xA9FE654Du); // 169.254.101.77: not used while the file is missing
    board.addSpSideAddress("169.254.101.77");
    board.start();
    expectDocument(board.request("x", From::Sp), kInvalid, "from 169.254.101.2");
    const Reply other = board.requestFrom("169.254.101.77", "x");
    EXPECT_TRUE(other.bytes.empty());
    EXPECT_TRUE(board.waitForLog("Incoming request from wrong IP\n", LOG_INFO));
    EXPECT_EQ(board.logCount("config file format wrong\n"), 0u);
}

TEST(PeerFilter, SpAddressFileWithoutAWordIsLoggedAndMeansTheDefault)
{
    Board board;
    board.driver().setSpIpFile("");
    board.start();
    EXPECT_TRUE(board.waitForLog("config file format wrong\n", LOG_INFO));
    expectDocument(board.request("x", From::Sp), kInvalid, "from 169.254.101.2");
}

TEST(Dispatch, UnknownLettersGetTheInvalidRequestDocument)
{
    Board board;
    board.start();
    for (const std::string& request :
         std::vector<std::string>{"x", "\xff", "Z", "x and the rest of a line\n", std::string("\0v", 2)})
        expectDocument(board.request(request), kInvalid, "request \"" + printable(request) + "\"");
}

TEST(Dispatch, PeerClosingWithoutSendingGetsNothing)
{
    Board board;
    board.start();
    const Reply nothing = board.request("");
    EXPECT_TRUE(nothing.bytes.empty());
    EXPECT_TRUE(nothing.closed);
    EXPECT_FALSE(nothing.reset);
    expectDocument(board.request("x"), kInvalid, "the next request");
}

TEST(Dispatch, AnyBytesFromTheSpGetADocumentOrSilenceAndTheServerGoesOn)
{
    constexpr unsigned kSeed = 20240611;
    constexpr int kRequests = 60;
    std::mt19937 random(kSeed); // NOLINT(cert-msc32-c,cert-msc51-cpp): the same strings on every run
    std::uniform_int_distribution<int> length(0, 256);
    std::uniform_int_distribution<int> byte(0, 255);
    Board board;
    board.start();
    for (int k = 0; k < kRequests; ++k) {
        std::string request(static_cast<std::size_t>(length(random)), '\0');
        for (char& c : request)
            c = static_cast<char>(byte(random));
        // 'J' moves the host link and with it the addresses this test talks from.
        if (!request.empty() && request[0] == 'J')
            request[0] = 'j';
        const std::string what =
            "seed " + std::to_string(kSeed) + ", request " + std::to_string(k) + ": \"" + printable(request) + "\"";
        const Reply reply = board.request(request, From::Sp, Millis{10000});
        ASSERT_TRUE(reply.closed) << what;
        if (request.empty()) {
            EXPECT_TRUE(reply.bytes.empty()) << what;
            continue;
        }
        const char letter = request[0];
        if (letter == 'c' || letter == 'M') {
            // The two binary replies: a whole record or nothing.
            const std::size_t size = letter == 'c' ? 128 : 576;
            EXPECT_TRUE(reply.bytes.empty() || reply.bytes.size() == size) << what;
            continue;
        }
        ASSERT_GE(reply.bytes.size(), kPrologue.size()) << what;
        EXPECT_EQ(reply.bytes.substr(0, kPrologue.size()), kPrologue) << what;
        const std::string end = " </vorn> \x03";
        EXPECT_TRUE(reply.bytes.size() == 4095 ||
                    (reply.bytes.size() >= end.size() && reply.bytes.substr(reply.bytes.size() - end.size()) == end))
            << what << " -> " << printable(reply.bytes);
        EXPECT_LE(reply.bytes.size(), 4095u) << what;
    }
    expectDocument(board.request("x"), kInvalid, "after the random requests");
    EXPECT_TRUE(listensOn(board.daemonPid(), kServerPort));
}
