// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <net/if.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include "commands/cmd_netstat.h"
#include "commands/netstat_tables.h"

namespace vorn {
namespace {

// A read-only stream over a text; an empty text gives an empty stream.
class TextStream {
public:
    explicit TextStream(std::string text) : text_(std::move(text))
    {
        f_ = text_.empty() ? std::tmpfile() : ::fmemopen(text_.data(), text_.size(), "r");
    }
    ~TextStream()
    {
        if (f_ != nullptr) {
            std::fclose(f_);
        }
    }
    TextStream(const TextStream&) = delete;
    TextStream& operator=(const TextStream&) = delete;
    std::FILE* get() const { return f_; }

private:
    std::string text_;
    std::FILE* f_ = nullptr;
};

std::vector<std::string> deviceNames(const std::string& text)
{
    TextStream in(text);
    NetDevScan scan(in.get());
    std::vector<std::string> names;
    std::string_view name;
    while (scan.next(name)) {
        names.emplace_back(name);
    }
    return names;
}

const std::string kNetDevHeader =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs drop fifo colls "
    "carrier compressed\n";

TEST(NetDevScan, NamesEveryDeviceLineInFileOrder)
{
    const std::string text = kNetDevHeader +
                             "    lo:    1234      10    0    0    0     0          0         0     1234      10    0 "
                             "   0    0     0       0          0\n"
                             "  eth0: 99 1 0 0 0 0 0 0 99 1 0 0 0 0 0 0\n"
                             "hlink0: 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n";
    EXPECT_EQ(deviceNames(text), (std::vector<std::string>{"lo", "eth0", "hlink0"}));
}

TEST(NetDevScan, CounterGluedToTheNameAndLinesWithoutColon)
{
    // Old kernels glue a wide first counter to the name; a line whose first
    // word has no colon is passed over.
    const std::string text =
        kNetDevHeader + "eth0:123456 7 0 0\n" + "garbage line here\n" + "eth1: 1 2\n" + "veth-long-name0: 5\n";
    EXPECT_EQ(deviceNames(text), (std::vector<std::string>{"eth0", "eth1", "veth-long-name0"}));
}

TEST(NetDevScan, HeaderOnlyShortOrEmptyFile)
{
    EXPECT_TRUE(deviceNames(kNetDevHeader).empty());
    EXPECT_TRUE(deviceNames("only one header line\n").empty());
    EXPECT_TRUE(deviceNames("").empty());
    // A last line without its newline still names its device as long as
    // the counters follow the name.
    EXPECT_EQ(deviceNames(kNetDevHeader + "eth0: 1 2 3"), (std::vector<std::string>{"eth0"}));
}

std::vector<char> interfaceList(const std::vector<std::pair<std::string, int>>& records)
{
    std::vector<char> list(records.size() * sizeof(ifreq));
    for (std::size_t i = 0; i < records.size(); ++i) {
        ifreq r{};
        std::strncpy(r.ifr_name, records[i].first.c_str(), IFNAMSIZ - 1);
        r.ifr_addr.sa_family = static_cast<sa_family_t>(records[i].second);
        std::memcpy(list.data() + i * sizeof(ifreq), &r, sizeof r);
    }
    return list;
}

TEST(InterfaceList, NameMustMatchExactly)
{
    const auto list = interfaceList({{"lo", AF_INET}, {"eth0", AF_INET}, {"eth0:1", AF_INET}});
    EXPECT_TRUE(interfaceListHas(list.data(), list.size(), "lo"));
    EXPECT_TRUE(interfaceListHas(list.data(), list.size(), "eth0"));
    EXPECT_TRUE(interfaceListHas(list.data(), list.size(), "eth0:1"));
    EXPECT_FALSE(interfaceListHas(list.data(), list.size(), "eth"));
    EXPECT_FALSE(interfaceListHas(list.data(), list.size(), "eth00"));
    EXPECT_FALSE(interfaceListHas(list.data(), list.size(), "eth1"));
    EXPECT_FALSE(interfaceListHas(list.data(), list.size(), ""));
    // Only the used length of the list counts.
    EXPECT_FALSE(interfaceListHas(list.data(), sizeof(ifreq), "eth0"));
    EXPECT_FALSE(interfaceListHas(list.data(), 0, "lo"));
}

TEST(EtherPrint, SixUpperCaseHexPairs)
{
    OutBuf out{};
    const unsigned char mac[] = {0x00, 0x1b, 0xaf, 0x0c, 0xde, 0xff, 0x77};
    ether_print(out, mac);
    EXPECT_EQ(documentText(out), "<mac>00:1B:AF:0C:DE:FF</mac>");
}

const std::string kRouteHeader =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

std::string routeLine(const std::string& iface, const std::string& dest, const std::string& gw)
{
    return iface + "\t" + dest + "\t" + gw + "\t0003\t0\t0\t100\t00000000\t0\t0\t0\n";
}

DefaultRoute scan(const std::string& text)
{
    TextStream in(text);
    return scanDefaultRoute(in.get());
}

TEST(DefaultRoute, GatewayColumnIsTheStoredAddress)
{
    const DefaultRoute r =
        scan(kRouteHeader + routeLine("eth0", "0001A8C0", "00000000") + routeLine("eth0", "00000000", "0101A8C0"));
    ASSERT_EQ(r.outcome, DefaultRoute::Outcome::Found);
    EXPECT_EQ(r.gateway, 0x0101A8C0u);
    EXPECT_STREQ(storedAddressText(r.gateway).data(), "192.168.1.1");
}

TEST(DefaultRoute, OnlyTheFirstDefaultRouteCounts)
{
    const DefaultRoute r =
        scan(kRouteHeader + routeLine("eth0", "00000000", "0101A8C0") + routeLine("eth1", "00000000", "FE01000A"));
    ASSERT_EQ(r.outcome, DefaultRoute::Outcome::Found);
    EXPECT_STREQ(storedAddressText(r.gateway).data(), "192.168.1.1");
}

TEST(DefaultRoute, NoDefaultRouteNoHeaderOrEmpty)
{
    EXPECT_EQ(scan(kRouteHeader + routeLine("eth0", "0001A8C0", "00000000")).outcome, DefaultRoute::Outcome::None);
    EXPECT_EQ(scan(kRouteHeader).outcome, DefaultRoute::Outcome::None);
    EXPECT_EQ(scan("").outcome, DefaultRoute::Outcome::None);
    // The destination must be exactly eight zeros.
    EXPECT_EQ(scan(kRouteHeader + routeLine("eth0", "0000000", "0101A8C0")).outcome, DefaultRoute::Outcome::None);
}

TEST(DefaultRoute, ShortLineEndsTheScanAsAFormatFault)
{
    const std::string shortLine = "eth0\t00000000\t0101A8C0\t0003\t0\t0\n";
    EXPECT_EQ(scan(kRouteHeader + shortLine).outcome, DefaultRoute::Outcome::FormatWrong);
    // A non-numeric column where a number belongs is a fault too, and the
    // default route after it is not reached.
    EXPECT_EQ(scan(kRouteHeader + "eth0\t0001A8C0\t00000000\tzz\t0\t0\t0\t0\t0\t0\t0\n" +
                   routeLine("eth0", "00000000", "0101A8C0"))
                  .outcome,
              DefaultRoute::Outcome::FormatWrong);
}

TEST(DefaultRoute, GatewayThatIsNotHexadecimalIsAFormatFault)
{
    EXPECT_EQ(scan(kRouteHeader + routeLine("eth0", "00000000", "ZZ01A8C0")).outcome,
              DefaultRoute::Outcome::FormatWrong);
    EXPECT_EQ(scan(kRouteHeader + routeLine("eth0", "00000000", "-1")).outcome, DefaultRoute::Outcome::FormatWrong);
    // Leading hexadecimal digits are the value, as the conversion reads them.
    const DefaultRoute r = scan(kRouteHeader + routeLine("eth0", "00000000", "0101A8C0zz"));
    ASSERT_EQ(r.outcome, DefaultRoute::Outcome::Found);
    EXPECT_EQ(r.gateway, 0x0101A8C0u);
}

} // namespace
} // namespace vorn
