// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// 'L' against the running daemon, with inventory files written under
// "/etc/kelmora" and the date file "/etc/init.d/vorn".
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>

#include <gtest/gtest.h>

#include "test_fixtures.h"
#include "testbed/board/board.h"

namespace {

using testbed::Board;

const std::string kMain = "/etc/kelmora/swinventory.xml";
const std::string kHlink = "/etc/kelmora/hlink/swinventory.xml";
const std::string kMc = "/etc/kelmora/oxa_mc/swinventory.xml";
const std::string kAgent = "/etc/kelmora/vorn/swinventory.xml";
const std::string kDateFile = "/etc/init.d/vorn";
constexpr std::time_t kAccessTime = 1136073600;

const std::string& kDrivers = vorn::testsupport::kVendorDriverElements;

const std::string kHlinkTokens = "<Software> <SWName>hlink</SWName> <SWRev>2.0.1</SWRev> <SWInfo>Host-link "
                                 "driver</SWInfo> </Software> ";
const std::string kMcTokens = "<Inventory><SoftwareInventory> <Software> <SWName>oxa_mc</SWName> <SWRev>1.1</SWRev> "
                              "</Software> ";
const std::string kAgentTokens = "<Software> <SWName>vorn</SWName> <SWRev>0.6</SWRev> </Software> ";

std::string fixture(const std::string& name)
{
    return vorn::testsupport::readFixture("inventory", name);
}

std::string kernelRelease()
{
    utsname u{};
    EXPECT_EQ(::uname(&u), 0);
    return u.release;
}

std::string osElement(std::time_t date)
{
    return "<Software><SWName>Linux</SWName><SWRev>" + kernelRelease() +
           "</SWRev><SWInfo>Platform OS</SWInfo><SWInstalledDate>" + std::to_string(date) +
           "</SWInstalledDate></Software>";
}

class InventoryTest : public ::testing::Test {
protected:
    Board board;

    void SetUp() override
    {
        board.run("mkdir -p /etc/kelmora/hlink /etc/kelmora/oxa_mc /etc/kelmora/vorn /etc/init.d");
        board.writeFile(kMain, fixture("main_one.xml"));
        board.writeFile(kHlink, fixture("hlink.xml"));
        board.writeFile(kMc, fixture("oxa_mc.xml"));
        board.writeFile(kAgent, fixture("vorn_no_final_newline.xml"));
        writeDateFile();
    }

    void writeDateFile()
    {
        board.writeFile(kDateFile, "#!/bin/sh\n# vorn start-up\n", 0755);
        const timespec times[2] = {{kAccessTime, 0}, {0, UTIME_OMIT}};
        ASSERT_EQ(::utimensat(AT_FDCWD, kDateFile.c_str(), times, 0), 0);
    }

    std::string ask()
    {
        if (!started_) {
            board.start();
            started_ = true;
        }
        const testbed::Reply reply = board.request("L");
        EXPECT_TRUE(reply.closed);
        return reply.bytes;
    }

    std::string insertion(std::time_t date = kAccessTime) const
    {
        return kHlinkTokens + kMcTokens + kAgentTokens + "</Software> " + osElement(date) + kDrivers;
    }

private:
    bool started_ = false;
};

TEST_F(InventoryTest, OneSoftwareEndTag)
{
    EXPECT_EQ(ask(), testbed::document("<?xml version=\"1.0\" encoding=\"UTF-8\"?> <Inventory> <SoftwareInventory> "
                                       "<Software> <SWName>Kelmora Platform</SWName> <SWRev>1.4.2</SWRev> "
                                       "<SWInfo>Platform software bundle</SWInfo> "
                                       "<SWInstalledDate>1136073600</SWInstalledDate> " +
                                       insertion() + "</SoftwareInventory> </Inventory> "));
}

TEST_F(InventoryTest, TwoSoftwareEndTagsInsertTwice)
{
    board.writeFile(kMain, fixture("main_two.xml"));
    EXPECT_EQ(ask(),
              testbed::document("<Inventory> <SoftwareInventory> <Software> <SWName>Kelmora Platform</SWName> "
                                "<SWRev>1.4.2</SWRev> " +
                                insertion() + "<Software> <SWName>Kelmora Firmware Tools</SWName> <SWRev>0.9</SWRev> " +
                                insertion() + "</SoftwareInventory> </Inventory> "));
}

TEST_F(InventoryTest, MissingPackageFile)
{
    board.removeFile(kMc);
    board.writeFile(kMain, "<Software> </Software>\n");
    EXPECT_EQ(ask(), testbed::document("<Software> " + kHlinkTokens + "<error>Can't open " + kMc + "</error>" +
                                       kAgentTokens + "</Software> " + osElement(kAccessTime) + kDrivers));
}

TEST_F(InventoryTest, MissingMainFile)
{
    board.removeFile(kMain);
    EXPECT_EQ(ask(), testbed::document("<error>Can't open /etc/kelmora/swinventory.xml</error>"));
}

TEST_F(InventoryTest, LastTokenWithoutWhiteSpaceLostInMainKeptInPackage)
{
    // Both files end without a newline: the main file's last token
    // "</Inventory>" is lost, the package's last token "</Software>" is kept.
    board.writeFile(kMain, fixture("main_no_final_newline.xml"));
    board.writeFile(kAgent, "<Software> <SWName>vorn</SWName> <SWRev>0.6</SWRev> </Software>");
    EXPECT_EQ(ask(), testbed::document("<Inventory> <SoftwareInventory> <Software> <SWName>Kelmora Platform</SWName> " +
                                       insertion() + "</SoftwareInventory> "));
}

TEST_F(InventoryTest, WrapperTagsDroppedOnlyAsWholeTokens)
{
    board.writeFile(kMain, "<Inventory> </Software> <SoftwareInventory>\n");
    board.writeFile(kAgent, "<Inventory>\n<SoftwareInventory><Software/>\n</SoftwareInventory>\n</Inventory>\n");
    EXPECT_EQ(ask(), testbed::document("<Inventory> " + kHlinkTokens + kMcTokens + "<SoftwareInventory><Software/> " +
                                       "</Software> " + osElement(kAccessTime) + kDrivers + "<SoftwareInventory> "));
}

TEST_F(InventoryTest, MissingDateFileGivesErrorAndTheCurrentTime)
{
    board.removeFile(kDateFile);
    board.writeFile(kMain, "<A> </Software>\n");
    const std::time_t before = std::time(nullptr);
    const std::string reply = ask();
    const std::time_t after = std::time(nullptr);
    const std::string head =
        "<A> " + kHlinkTokens + kMcTokens + kAgentTokens + "</Software> " + "<error>cant stat config_file</error>";
    ASSERT_EQ(reply.substr(0, testbed::kPrologue.size() + 7 + head.size()),
              std::string(testbed::kPrologue) + "<vorn> " + head);
    bool matched = false;
    for (std::time_t t = before; t <= after; ++t) {
        matched = matched || reply == testbed::document(head + osElement(t) + kDrivers);
    }
    EXPECT_TRUE(matched) << testbed::printable(reply);
}

TEST_F(InventoryTest, FullBufferIsCutAt4095)
{
    std::string main = "<Software> </Software>\n";
    for (int i = 0; i < 300; ++i) {
        main += "<SWName>component-" + std::to_string(i) + "</SWName>\n";
    }
    board.writeFile(kMain, main);
    const std::string reply = ask();
    EXPECT_EQ(reply.size(), 4095u);
    const std::string full = testbed::document("<Software> " + insertion());
    EXPECT_EQ(reply.substr(0, full.size() - 10), full.substr(0, full.size() - 10));
    EXPECT_EQ(reply.find("</vorn>"), std::string::npos);
    EXPECT_NE(reply.back(), '\x03');
}

} // namespace
