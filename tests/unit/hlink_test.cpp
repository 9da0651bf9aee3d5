// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The host-link address command's field search, checks, reply and command
// lines. set_hlink_ip itself runs shell commands and drives /dev/hlink: it
// is exercised only in the sandbox.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "commands/cmd_hlink.h"
#include "envelope.h"
#include "hlink_shared.h"

namespace vorn {
namespace {

struct Parsed {
    ReqBuf buf{};
    HlinkFields fields;
    explicit Parsed(const std::string& text)
    {
        std::memcpy(buf.data(), text.data(), std::min(text.size(), kRequestSize));
        fields = findHlinkFields(buf.data());
    }
    std::string plat() const { return fields.platIp; }
    std::string sp() const { return fields.spIp; }
};

std::string reply(const Parsed& p)
{
    OutBuf out{};
    buildHlinkReply(out, p.fields, hlinkFieldsValid(p.fields));
    return std::string(documentText(out));
}

using testsupport::kEnvelopeHead;
using testsupport::kEnvelopeTail;

TEST(HlinkFields, PlatformTextEndsWhereTheSpKeyBegins)
{
    const Parsed p("J p=10.20.30.40 s=10.20.30.1");
    EXPECT_EQ(p.plat(), "10.20.30.40 ");
    EXPECT_EQ(p.sp(), "10.20.30.1");
    EXPECT_EQ(p.buf[0], 'J');
    EXPECT_TRUE(hlinkFieldsValid(p.fields));
}

TEST(HlinkFields, SpKeyFirstLeavesThePlatformTextToTheEnd)
{
    const Parsed p("Js=10.0.0.2 p=10.0.0.3\n");
    EXPECT_EQ(p.plat(), "10.0.0.3\n");
    EXPECT_EQ(p.sp(), "10.0.0.2 p=10.0.0.3\n");
}

TEST(HlinkFields, MissingOrShortTextsAreRefused)
{
    EXPECT_EQ(reply(Parsed("J p=10.0.0.3")),
              kEnvelopeHead + "<error>Invalid ip addresses plat = 10.0.0.3, sp = </error><cmdRetVal>-1</cmdRetVal>" +
                  kEnvelopeTail);
    EXPECT_EQ(reply(Parsed("J s=10.0.0.2")),
              kEnvelopeHead + "<error>Invalid ip addresses plat = , sp = 10.0.0.2</error><cmdRetVal>-1</cmdRetVal>" +
                  kEnvelopeTail);
    EXPECT_EQ(reply(Parsed("J p=1 s=10.0.0.2")),
              kEnvelopeHead + "<error>Invalid ip addresses plat = 1 , sp = 10.0.0.2</error><cmdRetVal>-1</cmdRetVal>" +
                  kEnvelopeTail);
    EXPECT_FALSE(hlinkFieldsValid(Parsed("J p=10.0.0.3 s=ab").fields));
    EXPECT_TRUE(hlinkFieldsValid(Parsed("J p=abc s=none").fields));
    EXPECT_EQ(reply(Parsed("J p=abc s=none")), kEnvelopeHead + "<cmdRetVal>0</cmdRetVal>" + kEnvelopeTail);
}

TEST(HlinkFields, LongTextsKeepTheRefusalsEndTag)
{
    const std::string sp(240, '9');
    const std::string r = reply(Parsed("J p=1 s=" + sp));
    EXPECT_EQ(r, kEnvelopeHead + "<error>Invalid ip addresses plat = 1 , sp = " + sp +
                     "</error><cmdRetVal>-1</cmdRetVal>" + kEnvelopeTail);
}

TEST(HlinkAddress, PlatformTextMustBeADottedQuadThenOnlyWhiteSpace)
{
    EXPECT_EQ(parsePlatformAddress("10.20.30.40 "), 0x0A141E28u);
    EXPECT_EQ(parsePlatformAddress("10.20.30.40\r\n"), 0x0A141E28u);
    EXPECT_EQ(parsePlatformAddress("255.255.255.255"), 0xFFFFFFFFu);
    for (const char* bad : {"none", "10.1", "10.20.30", "0x0a.1.2.3", "010.1.2.3", "256.1.2.3", "10.20.30.40;reboot",
                            "10.20.30.40 ; reboot", " 10.20.30.40", "10.20.30.40$(reboot)", "1.2.3.4/8", ""}) {
        EXPECT_FALSE(parsePlatformAddress(bad).has_value()) << bad;
    }
}

TEST(HlinkAddress, DriverGetsParsedAddressesOrTheDefaults)
{
    EXPECT_EQ(driverAddress("10.20.30.1", HLINK_DEFAULT_SP_IP), 0x0A141E01u);
    EXPECT_EQ(driverAddress("10.20.30.1 trailing", HLINK_DEFAULT_SP_IP), 0x0A141E01u);
    EXPECT_EQ(driverAddress("none", HLINK_DEFAULT_SP_IP), 0xA9FE6502u);
    EXPECT_EQ(driverAddress("", HLINK_DEFAULT_PLAT_IP), 0xA9FE6503u);
}

TEST(HlinkCommands, ShellLinesCarryTheCanonicalAddress)
{
    EXPECT_STREQ(initScriptCommand(0x0A141E28u).data(),
                 "/bin/sed 's/^.*ifconfig hlink0 [0-9].*$/ifconfig hlink0 10.20.30.40/' /etc/init.d/vorn > .vorn; "
                 "/bin/cp .vorn /etc/init.d/vorn;/bin/rm .vorn;");
    EXPECT_STREQ(hlinkAddressCommand(0x0A141E28u).data(), "/sbin/ifconfig hlink0 down; ifconfig hlink0 10.20.30.40");
    const std::string longest = initScriptCommand(0xFFFFFFFFu).data();
    EXPECT_NE(longest.find("ifconfig hlink0 255.255.255.255/' /etc/init.d/vorn"), std::string::npos);
    EXPECT_EQ(longest.substr(longest.size() - 14), "/bin/rm .vorn;");
}

} // namespace
} // namespace vorn
