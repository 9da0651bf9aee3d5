// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "core/daemon.h"
#include "core/host_link.h"
#include "request/listener.h"
#include "shared/ipv4.h"
#include "temp_dir.h"

namespace vorn {
namespace {

std::string textOf(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

using testsupport::TempDir;

TEST(HostLinkUp, CommandNamesTheDriversHostAddress)
{
    EXPECT_STREQ(hostLinkUpCommand(0xA9FE6503u).data(), "/sbin/ifconfig hlink0 169.254.101.3");
    // Only the low 32 bits carry the address.
    EXPECT_STREQ(hostLinkUpCommand(0xFFFFFFFF0A141E28ull).data(), "/sbin/ifconfig hlink0 10.20.30.40");
    EXPECT_STREQ(ipv4ToText(0xFFFFFFFFu).data(), "255.255.255.255");
    EXPECT_STREQ(ipv4ToText(0).data(), "0.0.0.0");
}

TEST(PidFile, BareDigitsNoNewlineTruncatingAnOldFile)
{
    TempDir dir;
    const std::string path = dir.path + "/vorn.pid";
    {
        std::ofstream(path) << "9999999999 old content\n";
    }
    ASSERT_TRUE(writePidFile(path.c_str(), 4242));
    EXPECT_EQ(textOf(path), "4242");
    EXPECT_FALSE(writePidFile((dir.path + "/missing/vorn.pid").c_str(), 1));
}

AllowedPeer peerFrom(const std::string& content)
{
    std::FILE* f = ::fmemopen(const_cast<char*>(content.data()), content.size(), "r");
    if (content.empty()) {
        f = std::tmpfile();
    }
    const AllowedPeer peer = parseAllowedPeer(f);
    std::fclose(f);
    return peer;
}

TEST(AllowedPeer, FirstWordAsDottedQuadElseTheDefault)
{
    const std::uint32_t dflt = htonl(0xA9FE6502u);
    EXPECT_EQ(parseAllowedPeer(nullptr).addr, dflt);
    EXPECT_FALSE(parseAllowedPeer(nullptr).formatWrong);

    EXPECT_EQ(peerFrom("10.0.0.7\n").addr, htonl(0x0A000007u));
    EXPECT_EQ(peerFrom("  10.0.0.7 second-word\n").addr, htonl(0x0A000007u));
    EXPECT_EQ(peerFrom("not-an-address\n").addr, dflt);
    EXPECT_FALSE(peerFrom("not-an-address\n").formatWrong);

    const AllowedPeer empty = peerFrom("");
    EXPECT_EQ(empty.addr, dflt);
    EXPECT_TRUE(empty.formatWrong);
    EXPECT_TRUE(peerFrom(" \n\t\n").formatWrong);
}

TEST(AllowedPeer, OnlyTheSpsAddressOverHlink0)
{
    const std::uint32_t sp = htonl(0xA9FE6502u);
    const unsigned hlink0 = 4;
    EXPECT_TRUE(fromSp(sp, sp, hlink0, hlink0));
    // The SP's address over another interface (a LAN host, loopback).
    EXPECT_FALSE(fromSp(sp, sp, 2, hlink0));
    EXPECT_FALSE(fromSp(sp, sp, 1, hlink0));
    // A stranger over hlink0.
    EXPECT_FALSE(fromSp(htonl(0xA9FE6542u), sp, hlink0, hlink0));
    // No hlink0, or an arrival interface that could not be learnt.
    EXPECT_FALSE(fromSp(sp, sp, 0, 0));
    EXPECT_FALSE(fromSp(sp, sp, 0, hlink0));
}

TEST(AllowedPeer, FilePath)
{
    EXPECT_STREQ(spAddressFilePath().data(), "/proc/hlink/sp_ip");
}

} // namespace
} // namespace vorn
