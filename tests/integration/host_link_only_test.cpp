// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Only the host link carries the SP's requests. A host on the LAN that is
// the host's gateway claims the SP's address and connects to the agent: it
// is never served, whether hlink0 is up (the handshake's answer goes out
// over hlink0) or down (the connection arrives over the LAN and is closed
// unread, as a stranger's). The SP over hlink0 is served, after 'J' too, and
// nobody is while no interface is named hlink0.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sched.h>
#include <syslog.h>

#include <gtest/gtest.h>

#include "testbed/board/board.h"

using namespace testbed;

namespace {

constexpr const char* kWrongIp = "Incoming request from wrong IP\n";
constexpr const char* kLanNetns = "/run/netns/lan";
constexpr const char* kHostLanAddress = "192.168.77.10";

// The LAN: the host's lan0 (192.168.77.10/24, default route via the
// neighbour) and, in a namespace of its own, the neighbour's gw0 with
// 192.168.77.1 and the SP's address, and a route to the host-link address
// through the host.
void addLanNeighbour(Board& board)
{
    const RunResult r = board.run("ip netns add lan && ip link add lan0 type veth peer name gw0 netns lan && "
                                  "ip addr add 192.168.77.10/24 dev lan0 && ip link set lan0 up && "
                                  "ip route add default via 192.168.77.1 && "
                                  "nsenter --net=/run/netns/lan sh -ec 'ip link set lo up; "
                                  "ip addr add 192.168.77.1/24 dev gw0; ip addr add 169.254.101.2/32 dev gw0; "
                                  "ip link set gw0 up; ip route add 169.254.101.3/32 via 192.168.77.10'");
    ASSERT_EQ(r.status, 0) << r.output;
}

// The calling thread in the neighbour's namespace for the guard's life.
class OnNeighbour {
public:
    OnNeighbour()
    {
        UniqueFd lan(::open(kLanNetns, O_RDONLY | O_CLOEXEC));
        if (!own_ || !lan || setns(lan.get(), CLONE_NEWNET) != 0)
            throw std::runtime_error(std::string("enter the LAN's namespace: ") + std::strerror(errno));
    }
    OnNeighbour(const OnNeighbour&) = delete;
    OnNeighbour& operator=(const OnNeighbour&) = delete;
    ~OnNeighbour()
    {
        if (setns(own_.get(), CLONE_NEWNET) != 0)
            std::abort(); // every later check would run on the LAN
    }

private:
    UniqueFd own_{::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)};
};

// One request from the neighbour, from the SP's address.
Reply fromNeighbour(const std::string& target, std::string_view bytes, Millis timeout)
{
    Connection c = [&] {
        OnNeighbour lan;
        return Connection(kSpAddress, target, kServerPort, timeout);
    }();
    if (!c.connected())
        return Reply{};
    c.send(bytes);
    return c.readToClose(timeout);
}

void setHlink0(Board& board, const std::string& how)
{
    const RunResult r = board.run("ip link set " + how);
    ASSERT_EQ(r.status, 0) << r.output;
}

void expectServed(Board& board, const std::string& what)
{
    const Reply reply = board.request("x");
    EXPECT_EQ(printable(reply.bytes), printable(document("<error>Invalid request</error>"))) << what;
    EXPECT_TRUE(reply.closed) << what;
}

} // namespace

TEST(LanNeighbour, ClaimingTheSpsAddressIsNeverServed)
{
    Board board;
    board.start();
    addLanNeighbour(board);

    // hlink0 up: the answer to the handshake goes to the SP, not the neighbour.
    for (const char* target : {kHostLanAddress, kPlatAddress}) {
        const Reply r = fromNeighbour(target, "v", Millis{1000});
        EXPECT_FALSE(r.connected) << target;
        EXPECT_TRUE(r.bytes.empty()) << target << ": " << printable(r.bytes);
    }
    expectServed(board, "the SP with hlink0 up");

    // hlink0 down: the handshake completes over the LAN; the connection is a
    // stranger's, closed unread and logged.
    setHlink0(board, "hlink0 down");
    std::size_t logged = board.logCount(kWrongIp);
    for (const char* target : {kHostLanAddress, kPlatAddress}) {
        const Reply r = fromNeighbour(target, "v", kDefaultTimeout);
        EXPECT_TRUE(r.connected) << target;
        EXPECT_TRUE(r.bytes.empty()) << target << ": " << printable(r.bytes);
        EXPECT_TRUE(r.closed) << target;
        ++logged;
        EXPECT_TRUE(waitUntil([&] { return board.logCount(kWrongIp, LOG_INFO) >= logged; })) << target;
    }

    setHlink0(board, "hlink0 up");
    expectServed(board, "the SP with hlink0 up again");
}

TEST(LanNeighbour, TheSpOverHlink0IsServedAfterJAndNotWhileNoInterfaceIsHlink0)
{
    Board board;
    board.writeFile("/etc/init.d/vorn", "#!/bin/sh\nifconfig hlink0 169.254.101.3\n", 0755);
    board.start();
    const unsigned long before = listeningInode(board.daemonPid(), kServerPort);
    const Reply j = board.request("J p=169.254.101.3 s=169.254.101.2");
    EXPECT_NE(j.bytes.find("<cmdRetVal>0</cmdRetVal>"), std::string::npos) << printable(j.bytes);
    ASSERT_TRUE(waitUntil([&] {
        const unsigned long now = listeningInode(board.daemonPid(), kServerPort);
        return now != 0 && now != before;
    }));
    expectServed(board, "the SP after 'J'");

    // The link renamed: the SP's connection arrives, but not over hlink0.
    setHlink0(board, "hlink0 down && ip link set hlink0 name hl1 && ip link set hl1 up");
    const Reply renamed = board.request("x");
    EXPECT_TRUE(renamed.bytes.empty()) << printable(renamed.bytes);
    EXPECT_TRUE(board.waitForLog(kWrongIp, LOG_INFO));
    setHlink0(board, "hl1 down && ip link set hl1 name hlink0 && ip link set hlink0 up");
    expectServed(board, "the SP once hlink0 is back");
}
