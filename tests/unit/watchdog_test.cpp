// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include <cstddef>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include "core/watchdog.h"
#include "shared/unique_fd.h"

namespace vorn {
namespace {

std::string nameOf(const NotifyAddress& a)
{
    return {a.addr.sun_path, a.length - offsetof(sockaddr_un, sun_path)};
}

TEST(NotifyAddress, PathsAndAbstractNames)
{
    const auto path = notifyAddress("/run/systemd/notify");
    ASSERT_TRUE(path);
    EXPECT_EQ(path->addr.sun_family, AF_UNIX);
    EXPECT_EQ(nameOf(*path), std::string("/run/systemd/notify", 20)); // with its zero

    const auto abstract = notifyAddress("@vorn/notify");
    ASSERT_TRUE(abstract);
    EXPECT_EQ(nameOf(*abstract), std::string("\0vorn/notify", 12)); // no zero after it

    const std::string longest(sizeof(sockaddr_un::sun_path) - 1, 'n');
    EXPECT_TRUE(notifyAddress(("/" + longest.substr(1)).c_str()));
    EXPECT_FALSE(notifyAddress(("/" + longest).c_str()));
    EXPECT_TRUE(notifyAddress(("@" + longest).c_str()));
    EXPECT_FALSE(notifyAddress(("@" + longest + "n").c_str()));
    for (const char* bad : {static_cast<const char*>(nullptr), "", "@", "run/systemd/notify", "vsock:2:1"})
        EXPECT_FALSE(notifyAddress(bad)) << (bad != nullptr ? bad : "unset");
}

TEST(WatchdogInterval, HalfOfWatchdogUsecForTheProcessItNames)
{
    using std::chrono::microseconds;
    EXPECT_EQ(watchdogInterval("30000000", nullptr, 42), microseconds(15000000));
    EXPECT_EQ(watchdogInterval("30000000", "42", 42), microseconds(15000000));
    EXPECT_EQ(watchdogInterval("3", "42", 42), microseconds(1));
    EXPECT_FALSE(watchdogInterval("30000000", "41", 42)) << "another process's";
    EXPECT_FALSE(watchdogInterval("30000000", "4294967338", 42)) << "no pid";
    for (const char* bad :
         {static_cast<const char*>(nullptr), "", "0", "1", "-30000000", "30s", " 30000000", "99999999999999999999"})
        EXPECT_FALSE(watchdogInterval(bad, "42", 42)) << (bad != nullptr ? bad : "unset");
    EXPECT_FALSE(watchdogInterval("30000000", "x", 42));
}

TEST(ServiceWatchdog, NeedsTheSocketAndTheInterval)
{
    const auto watchdog = serviceWatchdog("@notify", "4000000", "7", 7);
    ASSERT_TRUE(watchdog);
    EXPECT_EQ(watchdog->interval, std::chrono::microseconds(2000000));
    EXPECT_EQ(nameOf(watchdog->address), std::string("\0notify", 7));
    EXPECT_FALSE(serviceWatchdog(nullptr, "4000000", "7", 7));
    EXPECT_FALSE(serviceWatchdog("@notify", nullptr, "7", 7));
    EXPECT_FALSE(serviceWatchdog("@notify", "4000000", "8", 7));
}

TEST(NotifyWatchdog, SendsOneDatagramToAPathOrAnAbstractName)
{
    char dir[] = "/tmp/vorn-unit-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/notify";
    const std::string abstract = "@vorn-unit-notify-" + std::to_string(::getpid());
    for (const std::string& name : {path, abstract}) {
        const auto address = notifyAddress(name.c_str());
        ASSERT_TRUE(address) << name;
        const UniqueFd manager(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        ASSERT_EQ(::bind(manager.get(), reinterpret_cast<const sockaddr*>(&address->addr), address->length), 0) << name;
        EXPECT_TRUE(notifyWatchdog(*address)) << name;
        pollfd ready{manager.get(), POLLIN, 0};
        ASSERT_EQ(::poll(&ready, 1, 5000), 1) << name;
        char got[64] = {};
        const ssize_t n = ::recv(manager.get(), got, sizeof got, MSG_DONTWAIT);
        ASSERT_GT(n, 0) << name;
        EXPECT_EQ(std::string(got, static_cast<std::size_t>(n)), "WATCHDOG=1") << name;
    }
    ::unlink(path.c_str());
    ::rmdir(dir);
    EXPECT_FALSE(notifyWatchdog(*notifyAddress(path.c_str()))) << "nobody listens";
}

} // namespace
} // namespace vorn
