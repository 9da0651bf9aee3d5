// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The network status query in the sandbox's own network namespace, where
// every interface is known: lo, the host link hlink0 <-> sp0, and what each
// test adds with ip.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <syslog.h>

#include <gtest/gtest.h>

#include "testbed/board/board.h"

namespace {

using testbed::Board;
using testbed::Reply;

const std::string kRouteFormatWrong = "/proc/net/route file format wrong\n";

void sh(Board& board, const std::string& command)
{
    const testbed::RunResult r = board.run(command);
    ASSERT_EQ(r.status, 0) << command << ": " << r.output;
}

// The body of a complete document (between "<vorn> " and " </vorn> " + ETX).
std::string bodyOf(const Reply& reply)
{
    const std::string head = std::string(testbed::kPrologue) + "<vorn> ";
    const std::string tail = std::string(" </vorn> ") + '\x03';
    const std::string& doc = reply.bytes;
    if (doc.size() < head.size() + tail.size() || doc.compare(0, head.size(), head) != 0 ||
        doc.compare(doc.size() - tail.size(), tail.size(), tail) != 0) {
        ADD_FAILURE() << "not a whole document: " << testbed::printable(doc);
        return {};
    }
    return doc.substr(head.size(), doc.size() - head.size() - tail.size());
}

std::string macOf(Board& board, const std::string& device)
{
    std::string mac = board.readFile("/sys/class/net/" + device + "/address").value_or("?");
    mac.erase(std::remove(mac.begin(), mac.end(), '\n'), mac.end());
    std::transform(mac.begin(), mac.end(), mac.begin(), [](unsigned char c) { return std::toupper(c); });
    return mac;
}

std::string maskOf(int prefix)
{
    const unsigned long bits = prefix == 0 ? 0 : (0xFFFFFFFFul << (32 - prefix)) & 0xFFFFFFFFul;
    return std::to_string((bits >> 24) & 255) + "." + std::to_string((bits >> 16) & 255) + "." +
           std::to_string((bits >> 8) & 255) + "." + std::to_string(bits & 255);
}

// What the address pass must report, in the kernel's list order, as ip
// (over netlink) shows it: one entry per IPv4 address, named by its label.
std::string expectedAddressPass(Board& board)
{
    const testbed::RunResult r = board.run("ip -o -4 addr show");
    EXPECT_EQ(r.status, 0) << r.output;
    std::string expected;
    std::istringstream lines(r.output);
    for (std::string line; std::getline(lines, line);) {
        // "N: dev    inet A/P [brd B] scope S [flags] label\   valid_lft ..."
        std::istringstream words(line.substr(0, line.find('\\')));
        std::vector<std::string> w;
        for (std::string word; words >> word;) {
            w.push_back(word);
        }
        if (w.size() < 5 || w[2] != "inet") {
            ADD_FAILURE() << "unexpected ip line: " << line;
            continue;
        }
        const std::string device = w[1];
        const std::string& label = w.back();
        const std::string addr = w[3].substr(0, w[3].find('/'));
        const int prefix = std::stoi(w[3].substr(w[3].find('/') + 1));
        expected += "<interface>" + label + "</interface><addr>" + addr + "</addr>";
        if (device != "lo") {
            expected += "<mac>" + macOf(board, device) + "</mac>";
        }
        expected += "<mask>" + maskOf(prefix) + "</mask>";
    }
    return expected;
}

std::string deviceElement(Board& board, const std::string& device)
{
    return "<interface>" + device + "</interface><mac>" + macOf(board, device) + "</mac>";
}

std::size_t count(const std::string& text, const std::string& part)
{
    std::size_t n = 0;
    for (std::size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1)) {
        ++n;
    }
    return n;
}

// Replaces the daemon's own view of /proc/net with a directory holding
// copies or fixtures of "dev" and "route" (a missing text: no such file).
void replaceProcNet(Board& board, const std::optional<std::string>& dev, const std::optional<std::string>& route)
{
    const std::string dir = "/proc/" + std::to_string(board.daemonPid()) + "/net";
    board.mountTmpfs(dir, 1 << 20);
    if (dev) {
        board.writeFile(dir + "/dev", *dev);
    }
    if (route) {
        board.writeFile(dir + "/route", *route);
    }
}

const std::string kRouteHeader =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\t\n";

std::string routeLine(const std::string& dest, const std::string& gw)
{
    return "hlink0\t" + dest + "\t" + gw + "\t0003\t0\t0\t0\t00000000\t0\t0\t0\t\n";
}

TEST(NetworkStatus, WholeDocumentOfAKnownHost)
{
    Board board;
    // A device without IPv4 first, an address label as its own interface.
    sh(board, "ip link add nov0 type veth peer name nov1 && ip link set nov0 address 02:00:00:00:00:01 && "
              "ip link set nov1 address 02:00:00:00:00:02 && "
              "ip addr add 10.9.8.7/24 dev hlink0 label hlink0:5");
    board.start();
    const Reply reply = board.request("e");
    const std::string body = bodyOf(reply);

    // The device pass follows the order of /proc/net/dev; only the two
    // devices without an address are in it.
    const std::string nov0 = "<interface>nov0</interface><mac>02:00:00:00:00:01</mac>";
    const std::string nov1 = "<interface>nov1</interface><mac>02:00:00:00:00:02</mac>";
    const std::string devicePass = body.substr(0, nov0.size() + nov1.size());
    EXPECT_TRUE(devicePass == nov0 + nov1 || devicePass == nov1 + nov0) << body;

    EXPECT_EQ(body.substr(devicePass.size()), expectedAddressPass(board) + "<cmdRetVal>0</cmdRetVal>");

    // The loopback has no hardware address element; the label carries its
    // device's hardware address.
    EXPECT_NE(body.find("<interface>lo</interface><addr>127.0.0.1</addr><mask>255.0.0.0</mask>"), std::string::npos);
    EXPECT_NE(body.find("<interface>hlink0:5</interface><addr>10.9.8.7</addr><mac>" + macOf(board, "hlink0") +
                        "</mac><mask>255.255.255.0</mask>"),
              std::string::npos);
    EXPECT_NE(body.find("<interface>hlink0</interface><addr>169.254.101.3</addr><mac>" + macOf(board, "hlink0") +
                        "</mac><mask>255.255.0.0</mask>"),
              std::string::npos);
    // No default route: no gateway element, nothing logged.
    EXPECT_EQ(body.find("<defaultGW>"), std::string::npos);
    EXPECT_EQ(board.logCount(kRouteFormatWrong), 0u);
}

TEST(NetworkStatus, RealDefaultRouteGateway)
{
    Board board;
    sh(board, "ip link add gw0 type veth peer name gw1 && ip addr add 192.168.1.2/24 dev gw0 && "
              "ip link set gw0 up && ip link set gw1 up && ip route add default via 192.168.1.1 dev gw0");
    board.start();
    const std::string body = bodyOf(board.request("e"));
    const std::string tail = "<defaultGW>192.168.1.1</defaultGW><cmdRetVal>0</cmdRetVal>";
    ASSERT_GE(body.size(), tail.size());
    EXPECT_EQ(body.substr(body.size() - tail.size()), tail);
    EXPECT_EQ(count(body, "<interface>gw1</interface>"), 1u); // the peer without an address
}

TEST(NetworkStatus, GatewayColumnAndOnlyTheFirstDefaultRoute)
{
    Board board;
    board.start();
    const std::string dev = board.readFile("/proc/net/dev").value_or("");
    replaceProcNet(board, dev,
                   kRouteHeader + routeLine("0000FEA9", "00000000") + routeLine("00000000", "0101A8C0") +
                       routeLine("00000000", "FE01A8C0"));
    const std::string body = bodyOf(board.request("e"));
    EXPECT_EQ(body, expectedAddressPass(board) + "<defaultGW>192.168.1.1</defaultGW><cmdRetVal>0</cmdRetVal>");
}

TEST(NetworkStatus, MissingRouteTable)
{
    Board board;
    sh(board, "ip link add nov0 type veth peer name nov1");
    board.start();
    const std::string dev = board.readFile("/proc/net/dev").value_or("");
    replaceProcNet(board, dev, std::nullopt);
    const std::string body = bodyOf(board.request("e"));
    const std::string tail = expectedAddressPass(board) + "<error>Unable to get route</error><cmdRetVal>-2</cmdRetVal>";
    ASSERT_GE(body.size(), tail.size());
    EXPECT_EQ(body.substr(body.size() - tail.size()), tail);
    // The device pass still ran.
    EXPECT_EQ(count(body, "<interface>nov0</interface>"), 1u);
    EXPECT_EQ(count(body, "<interface>nov1</interface>"), 1u);
}

TEST(NetworkStatus, MissingDeviceFileSkipsOnlyTheDevicePass)
{
    Board board;
    sh(board, "ip link add nov0 type veth peer name nov1");
    board.start();
    replaceProcNet(board, std::nullopt, kRouteHeader + routeLine("00000000", "0101A8C0"));
    EXPECT_EQ(bodyOf(board.request("e")),
              expectedAddressPass(board) + "<defaultGW>192.168.1.1</defaultGW><cmdRetVal>0</cmdRetVal>");
}

TEST(NetworkStatus, RouteFileInTheWrongFormatIsLogged)
{
    Board board;
    board.start();
    const std::string dev = board.readFile("/proc/net/dev").value_or("");
    replaceProcNet(board, dev, kRouteHeader + "hlink0\t00000000\t0101A8C0\t0003\n");
    EXPECT_EQ(bodyOf(board.request("e")), expectedAddressPass(board) + "<cmdRetVal>0</cmdRetVal>");
    EXPECT_TRUE(board.waitForLog(kRouteFormatWrong, LOG_INFO));

    // A default route whose gateway column is not hexadecimal.
    board.writeFile("/proc/" + std::to_string(board.daemonPid()) + "/net/route",
                    kRouteHeader + routeLine("00000000", "nothex"));
    EXPECT_EQ(bodyOf(board.request("e")), expectedAddressPass(board) + "<cmdRetVal>0</cmdRetVal>");
    // The collector records the message shortly after the reply.
    const auto deadline = testbed::Clock::now() + testbed::kDefaultTimeout;
    while (board.logCount(kRouteFormatWrong, LOG_INFO) < 2 && testbed::Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(board.logCount(kRouteFormatWrong, LOG_INFO), 2u);
}

TEST(NetworkStatus, DeviceThatCannotBeFoundIsLeftOut)
{
    Board board;
    board.start();
    std::string dev = board.readFile("/proc/net/dev").value_or("");
    dev += "ghost0: 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n";
    replaceProcNet(board, dev, kRouteHeader);
    EXPECT_EQ(bodyOf(board.request("e")), expectedAddressPass(board) + "<cmdRetVal>0</cmdRetVal>");
}

TEST(NetworkStatus, ManyInterfacesFillTheDocument)
{
    Board board;
    std::string batch;
    for (int i = 0; i < 60; ++i) {
        batch += "link add fa" + std::to_string(i) + " type veth peer name fb" + std::to_string(i) + "\n";
    }
    board.writeFile("/tmp/many.batch", batch);
    sh(board, "ip -batch /tmp/many.batch");
    board.start();
    const Reply reply = board.request("e");
    EXPECT_TRUE(reply.closed);
    // Cut at 4095 characters: no result code, no end tag, no byte 3.
    ASSERT_EQ(reply.bytes.size(), 4095u);
    EXPECT_EQ(reply.bytes.find("<cmdRetVal>"), std::string::npos);
    EXPECT_EQ(reply.bytes.find('\x03'), std::string::npos);
    // Whole elements up to the cut, in order.
    EXPECT_EQ(reply.bytes.compare(0, testbed::kPrologue.size(), testbed::kPrologue), 0);
    EXPECT_NE(reply.bytes.find(deviceElement(board, "fa0")), std::string::npos);

    // More IPv4 records than the 4096-byte list holds.
    std::string addrs;
    for (int i = 0; i < 110; ++i) {
        addrs += "addr add 10.20." + std::to_string(i) + ".1/24 dev fa0 label fa0:" + std::to_string(i) + "\n";
    }
    board.writeFile("/tmp/addrs.batch", addrs);
    sh(board, "ip -batch /tmp/addrs.batch");
    const Reply again = board.request("e");
    EXPECT_EQ(again.bytes.size(), 4095u);
    // The server goes on serving.
    EXPECT_EQ(board.request("v").bytes, testbed::document("<vornVer>Linux version 0.6</vornVer> "));
}

} // namespace
