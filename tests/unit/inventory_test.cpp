// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "commands/cmd_inventory.h"
#include "envelope.h"
#include "test_fixtures.h"

namespace vorn {
namespace {

using testsupport::kEnvelopeHead;
using testsupport::kEnvelopeTail;

const std::string& kDrivers = vorn::testsupport::kVendorDriverElements;

std::string fixture(const std::string& name)
{
    return vorn::testsupport::readFixture("inventory", name);
}

// Inventory files held in memory; a path that is not there cannot be opened.
struct FakeHost {
    std::map<std::string, std::string> files;
    std::vector<std::string> opened;

    InventorySources sources()
    {
        return InventorySources{
            [this](const char* path) -> std::unique_ptr<std::istream> {
                opened.emplace_back(path);
                const auto it = files.find(path);
                if (it == files.end()) {
                    return nullptr;
                }
                return std::make_unique<std::istringstream>(it->second);
            },
            [](OutBuf& out) { printAppend(out, "<OS/>"); },
        };
    }

    std::string build()
    {
        OutBuf out{};
        buildInventory(out, sources());
        return std::string(documentText(out));
    }
};

FakeHost hostWithPackages(const std::string& main)
{
    FakeHost host;
    host.files[kMainInventoryPath] = main;
    host.files[kHlinkInventoryPath] = "<Inventory> <Software> <SWName>hlink</SWName> </Software> </Inventory>\n";
    host.files[kMcInventoryPath] = "<SoftwareInventory>\n\t<Software><SWName>oxa_mc</SWName></Software>\n";
    host.files[kAgentInventoryPath] = "<Software><SWName>vorn</SWName></Software>";
    return host;
}

const std::string kPackages = "<Software> <SWName>hlink</SWName> </Software> "
                              "<Software><SWName>oxa_mc</SWName></Software> "
                              "<Software><SWName>vorn</SWName></Software> ";
const std::string kInsertion = kPackages + "</Software> <OS/>" + kDrivers;

// ---- Tokens ----

struct ScanStep {
    std::string token;
    bool atEnd;
    bool operator==(const ScanStep&) const = default;
    friend void PrintTo(const ScanStep& s, std::ostream* os)
    {
        *os << '"' << s.token << "\"(" << s.token.size() << (s.atEnd ? ", at end)" : ")");
    }
};

// What the C library's "%256s" reads from the same bytes: each token and
// whether the stream was at its end after reading it.
std::vector<ScanStep> scanWithStdio(const std::string& bytes)
{
    std::vector<ScanStep> steps;
    std::string copy = bytes;
    std::FILE* f = ::fmemopen(copy.data(), copy.size(), "r");
    if (f == nullptr) {
        ADD_FAILURE() << "fmemopen";
        return steps;
    }
    std::array<char, 257> token{};
    while (std::fscanf(f, "%256s", token.data()) == 1) {
        steps.push_back({std::string(token.data()), std::feof(f) != 0});
    }
    std::fclose(f);
    return steps;
}

std::vector<ScanStep> scanWithReader(const std::string& bytes)
{
    std::vector<ScanStep> steps;
    std::istringstream in(bytes);
    std::string token;
    for (TokenRead r; (r = readInventoryToken(in, token)) != TokenRead::None;) {
        steps.push_back({std::string(token.c_str()), r == TokenRead::TokenAtEnd});
    }
    return steps;
}

TEST(InventoryTokens, ReadAsScanfReadsThem)
{
    const std::string run256(256, 'a');
    const std::vector<std::string> inputs = {
        "a",
        "a ",
        " \t\n\v\f\r",
        "<Software>\n\t<SWName>x</SWName>\r\n</Software>",
        "one  two\t\tthree\n\nfour\n",
        run256,
        run256 + "\n",
        run256 + "b",
        std::string(300, 'c'),
        std::string(300, 'c') + " ",
        std::string(512, 'd'),
        std::string(513, 'e') + "\t",
        std::string("ab\0cd ef", 8),
    };
    for (const std::string& input : inputs) {
        EXPECT_EQ(scanWithReader(input), scanWithStdio(input)) << "input of " << input.size() << " bytes";
    }
    EXPECT_TRUE(scanWithReader("").empty());
}

TEST(InventoryTokens, FileReadInBlocksGivesTheSameTokens)
{
    // Runs of varied length so that tokens straddle the stream's blocks.
    std::string text;
    for (int i = 0; text.size() < 70000; ++i) {
        text += std::string(static_cast<std::size_t>(1 + (i * 37) % 300), static_cast<char>('a' + i % 26));
        text += (i % 3 == 0) ? "\n" : " \t ";
    }
    text += "last";
    std::string path = (std::filesystem::temp_directory_path() / "vorn_inventory_XXXXXX").string();
    const int fd = ::mkstemp(path.data());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);

    const std::unique_ptr<std::istream> in = openInventoryFile(path.c_str());
    ASSERT_NE(in, nullptr);
    std::vector<ScanStep> steps;
    std::string token;
    for (TokenRead r; (r = readInventoryToken(*in, token)) != TokenRead::None;) {
        steps.push_back({token, r == TokenRead::TokenAtEnd});
    }
    ::unlink(path.c_str());
    EXPECT_EQ(steps, scanWithStdio(text));
    EXPECT_EQ(steps.back(), (ScanStep{"last", true}));

    EXPECT_EQ(openInventoryFile("/nonexistent/vorn/swinventory.xml"), nullptr);
}

TEST(InventoryTokens, LongRunSplitsAt256)
{
    std::istringstream in(std::string(256, 'x') + std::string(44, 'y') + "\n");
    std::string token;
    EXPECT_EQ(readInventoryToken(in, token), TokenRead::Token);
    EXPECT_EQ(token, std::string(256, 'x'));
    EXPECT_EQ(readInventoryToken(in, token), TokenRead::Token);
    EXPECT_EQ(token, std::string(44, 'y'));
    EXPECT_EQ(readInventoryToken(in, token), TokenRead::None);
}

// ---- The merge ----

TEST(InventoryMerge, OneSoftwareEndTag)
{
    FakeHost host = hostWithPackages(fixture("main_one.xml"));
    EXPECT_EQ(host.build(), kEnvelopeHead +
                                "<?xml version=\"1.0\" encoding=\"UTF-8\"?> <Inventory> <SoftwareInventory> <Software> "
                                "<SWName>Kelmora Platform</SWName> <SWRev>1.4.2</SWRev> <SWInfo>Platform software "
                                "bundle</SWInfo> <SWInstalledDate>1136073600</SWInstalledDate> " +
                                kInsertion + "</SoftwareInventory> </Inventory> " + kEnvelopeTail);
    EXPECT_EQ(host.opened, (std::vector<std::string>{kMainInventoryPath, kHlinkInventoryPath, kMcInventoryPath,
                                                     kAgentInventoryPath}));
}

TEST(InventoryMerge, EverySoftwareEndTagInsertsAgain)
{
    FakeHost host = hostWithPackages("<A> </Software> <B> </Software> <C>\n");
    EXPECT_EQ(host.build(), kEnvelopeHead + "<A> " + kInsertion + "<B> " + kInsertion + "<C> " + kEnvelopeTail);
    EXPECT_EQ(host.opened.size(), 7u);
}

TEST(InventoryMerge, WithoutSoftwareEndTagOnlyTheMainTokens)
{
    FakeHost host = hostWithPackages("<Inventory>\n  <Software>  </Software>x\n</Inventory>\n");
    EXPECT_EQ(host.build(), kEnvelopeHead + "<Inventory> <Software> </Software>x </Inventory> " + kEnvelopeTail);
    EXPECT_EQ(host.opened.size(), 1u);
}

TEST(InventoryMerge, MissingMainInventory)
{
    FakeHost host;
    EXPECT_EQ(host.build(), kEnvelopeHead + "<error>Can't open /etc/kelmora/swinventory.xml</error>" + kEnvelopeTail);
}

TEST(InventoryMerge, MissingPackageLeavesItsErrorInItsPlace)
{
    FakeHost host = hostWithPackages("<S> </Software>\n");
    host.files.erase(kMcInventoryPath);
    EXPECT_EQ(host.build(), kEnvelopeHead +
                                "<S> <Software> <SWName>hlink</SWName> </Software> "
                                "<error>Can't open /etc/kelmora/oxa_mc/swinventory.xml</error>"
                                "<Software><SWName>vorn</SWName></Software> </Software> <OS/>" +
                                kDrivers + kEnvelopeTail);
}

TEST(InventoryMerge, LastTokenWithoutWhiteSpaceLostInMainKeptInPackage)
{
    FakeHost host = hostWithPackages("<Inventory> </Software> </Inventory>");
    host.files[kHlinkInventoryPath] = "<P>";
    host.files[kMcInventoryPath] = "";
    host.files[kAgentInventoryPath] = "\n\n";
    EXPECT_EQ(host.build(), kEnvelopeHead + "<Inventory> <P> </Software> <OS/>" + kDrivers + kEnvelopeTail);

    // A "</Software>" that ends the main file without white space is lost too.
    FakeHost last = hostWithPackages(fixture("main_no_final_newline.xml"));
    EXPECT_EQ(last.build(), kEnvelopeHead +
                                "<Inventory> <SoftwareInventory> <Software> <SWName>Kelmora Platform</SWName> " +
                                kInsertion + "</SoftwareInventory> " + kEnvelopeTail);
}

TEST(InventoryMerge, WrapperTagsDroppedOnlyAsWholeTokensOfPackages)
{
    FakeHost host = hostWithPackages("<Inventory> </Software> <SoftwareInventory>\n");
    host.files[kHlinkInventoryPath] = fixture("oxa_mc.xml");
    host.files[kMcInventoryPath] = fixture("vorn_no_final_newline.xml");
    host.files[kAgentInventoryPath] = "<Inventory>x <SoftwareInventory/> </Inventory>\n";
    EXPECT_EQ(host.build(), kEnvelopeHead +
                                // The main inventory keeps them.
                                "<Inventory> "
                                // Glued to another tag: copied.
                                "<Inventory><SoftwareInventory> <Software> <SWName>oxa_mc</SWName> <SWRev>1.1</SWRev> "
                                "</Software> "
                                "<Software> <SWName>vorn</SWName> <SWRev>0.6</SWRev> </Software> "
                                "<Inventory>x <SoftwareInventory/> "
                                "</Software> <OS/>" +
                                kDrivers + "<SoftwareInventory> " + kEnvelopeTail);
}

TEST(InventoryMerge, WhiteSpaceRunsBecomeOneBlank)
{
    FakeHost host = hostWithPackages(fixture("main_two.xml"));
    host.files[kHlinkInventoryPath] = fixture("hlink.xml");
    const std::string doc = host.build();
    EXPECT_NE(doc.find("<SWInfo>Host-link driver</SWInfo> "), std::string::npos);
    EXPECT_NE(doc.find("<SWName>Kelmora Firmware Tools</SWName>"), std::string::npos);
    EXPECT_EQ(doc.find('\t'), std::string::npos);
    EXPECT_EQ(doc.find('\n'), std::string::npos);
    EXPECT_EQ(doc.find("  "), doc.find("  </vorn>")); // only the root end tag's own blanks
}

TEST(InventoryMerge, DocumentIsCutAt4095)
{
    std::string main;
    for (int i = 0; i < 400; ++i) {
        main += "<SWName>item" + std::to_string(i) + "</SWName>\n";
    }
    FakeHost host = hostWithPackages("<Software> </Software>\n" + main);
    const std::string doc = host.build();
    EXPECT_EQ(doc.size(), 4095u);
    EXPECT_EQ(doc.find("</vorn>"), std::string::npos);
    EXPECT_EQ(doc.substr(0, kEnvelopeHead.size()), kEnvelopeHead);
    // The insertion came whole before the cut.
    EXPECT_NE(doc.find(kInsertion), std::string::npos);
}

TEST(InventoryMerge, TokenLongerThan256IsSplitWithABlank)
{
    FakeHost host = hostWithPackages("<x>" + std::string(300, 'a') + "\n");
    EXPECT_EQ(host.build(),
              kEnvelopeHead + "<x>" + std::string(253, 'a') + " " + std::string(47, 'a') + " " + kEnvelopeTail);
}

// ---- The built elements ----

TEST(InventoryElements, DriverElementsTake1242Bytes)
{
    OutBuf out{};
    Display3rdPartyDriverVersions(out);
    EXPECT_EQ(documentText(out), kDrivers);
    EXPECT_EQ(documentText(out).size(), 1242u);
}

TEST(InventoryElements, OperatingSystemElement)
{
    OutBuf out{};
    appendSystemVersion(out, SystemIdentity{true, 1136073600, true, "6.1.0-18-amd64"});
    EXPECT_EQ(documentText(out), "<Software><SWName>Linux</SWName><SWRev>6.1.0-18-amd64</SWRev><SWInfo>Platform "
                                 "OS</SWInfo><SWInstalledDate>1136073600</SWInstalledDate></Software>");
}

TEST(InventoryElements, DateFileMissingGivesErrorThenElement)
{
    OutBuf out{};
    appendSystemVersion(out, SystemIdentity{false, 1700000000, true, "5.10.0"});
    EXPECT_EQ(documentText(out), "<error>cant stat config_file</error><Software><SWName>Linux</SWName><SWRev>5.10.0"
                                 "</SWRev><SWInfo>Platform OS</SWInfo><SWInstalledDate>1700000000</SWInstalledDate>"
                                 "</Software>");
}

TEST(InventoryElements, UnameFailureGivesErrorAndNoElement)
{
    OutBuf out{};
    appendSystemVersion(out, SystemIdentity{true, 1, false, ""});
    EXPECT_EQ(documentText(out), "<error>Unable to obtain utsname info</error>");
    OutBuf both{};
    appendSystemVersion(both, SystemIdentity{false, 1, false, ""});
    EXPECT_EQ(documentText(both), "<error>cant stat config_file</error><error>Unable to obtain utsname info</error>");
}

} // namespace
} // namespace vorn
