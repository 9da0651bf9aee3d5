// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// vornctl's output: what a person, a script (--json) and --raw get for each
// kind of reply and failure, and the exit status that goes with it.
#include <string>
#include <string_view>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "envelope.h"
#include "vornctl/exit_status.h"
#include "vornctl/json.h"
#include "vornctl/render.h"

namespace vornctl {
namespace {

using ::testing::HasSubstr;

std::string document(const std::string& body)
{
    return vorn::testsupport::enveloped(body);
}

Invocation invocation(std::vector<std::string_view> args)
{
    const ParsedCommandLine p = parseCommandLine(args);
    EXPECT_EQ(p.action, ParsedCommandLine::Action::Run) << p.message;
    return p.invocation;
}

TransferResult replied(std::string bytes)
{
    return TransferResult{TransferStatus::Replied, std::move(bytes), {}};
}

TEST(VornctlRender, FieldsAreAlignedAndRepeatsKept)
{
    const Rendered r =
        renderOutcome(invocation({"get-dns"}), replied(document("<dns>10.0.0.53</dns> <dns>10.0.0.54</dns> "
                                                                "<searchDns>example.org</searchDns> ")));
    EXPECT_EQ(r.status, kExitOk);
    EXPECT_EQ(r.out, "dns        10.0.0.53\n"
                     "dns        10.0.0.54\n"
                     "searchDns  example.org\n");
    EXPECT_EQ(r.err, "");
}

TEST(VornctlRender, NetworkStatusIsOneParagraphPerInterface)
{
    const Rendered r = renderOutcome(
        invocation({"netstat"}),
        replied(document("<interface>eth1</interface><mac>52:54:00:12:34:56</mac><interface>lo</interface>"
                         "<addr>127.0.0.1</addr><mask>255.0.0.0</mask><defaultGW>10.0.0.1</defaultGW>"
                         "<cmdRetVal>0</cmdRetVal>")));
    EXPECT_EQ(r.status, kExitOk);
    EXPECT_EQ(r.out, "interface  eth1\n"
                     "mac        52:54:00:12:34:56\n"
                     "\n"
                     "interface  lo\n"
                     "addr       127.0.0.1\n"
                     "mask       255.0.0.0\n"
                     "defaultGW  10.0.0.1\n"
                     "cmdRetVal  0\n");
}

TEST(VornctlRender, TimeIsAlsoShownAsADate)
{
    const Rendered r =
        renderOutcome(invocation({"time"}), replied(document("<time>1700000000</time><cmdRetVal>0</cmdRetVal>")));
    EXPECT_THAT(r.out, HasSubstr("time       1700000000 (2023-11-14 22:13:20 UTC)\n"));
}

TEST(VornctlRender, ErrorElementsGoToStandardErrorWithStatus1)
{
    const Rendered r =
        renderOutcome(invocation({"temps"}), replied(document("<temp0>41</temp0><error>CPU1 temp read failed</error>"
                                                              "<temp2>-3</temp2><ModelNumber>248</ModelNumber>")));
    EXPECT_EQ(r.status, kExitAgentError);
    EXPECT_EQ(r.out, "temp0        41\n"
                     "temp2        -3\n"
                     "ModelNumber  248\n");
    EXPECT_EQ(r.err, "vornctl: agent: CPU1 temp read failed\n");
}

TEST(VornctlRender, ANonzeroCommandStatusFailsEvenWithoutAnErrorElement)
{
    // The name-server command reports a failed move only through its status.
    const Rendered r =
        renderOutcome(invocation({"set-dns", "10.0.0.53"}), replied(document("<cmdRetVal>256</cmdRetVal>")));
    EXPECT_EQ(r.status, kExitAgentError);
    EXPECT_EQ(r.out, "cmdRetVal  256 (exit status 1)\n");
    EXPECT_THAT(r.err, HasSubstr("cmdRetVal 256 (exit status 1)"));
}

TEST(VornctlRender, AnEmptyDocumentIsSuccess)
{
    const Rendered r = renderOutcome(invocation({"hb-interval", "5000"}), replied(document("")));
    EXPECT_EQ(r.status, kExitOk);
    EXPECT_EQ(r.out, "ok\n");
}

TEST(VornctlRender, InventoryIsATableWithNestedSoftwareAsRows)
{
    const Rendered r = renderOutcome(
        invocation({"inventory"}),
        replied(document("<Inventory> <SoftwareInventory> <Software> <SWName>Platform</SWName> <SWRev>1.2</SWRev> "
                         "<SWInfo>Platform firmware</SWInfo> <Software> <SWName>vorn</SWName> <SWRev>0.6</SWRev> "
                         "<SWInfo>Service processor agent</SWInfo> </Software> </Software> "
                         "<Software><SWName>Linux</SWName><SWRev>6.1.0</SWRev><SWInfo>Platform OS</SWInfo>"
                         "<SWInstalledDate>1700000000</SWInstalledDate></Software>"
                         "<Software> <SWName>AMD</SWName> <SWRev></SWRev><IIIPartySWRevName>NA</IIIPartySWRevName>"
                         "<SWInfo>AMD-8111 System Management Controller</SWInfo><SWInstalledDate>-1"
                         "</SWInstalledDate><bits>64</bits> </Software> </SoftwareInventory> </Inventory> ")));
    EXPECT_EQ(r.status, kExitOk) << r.err;
    EXPECT_EQ(r.out, "NAME      REVISION  INSTALLED   DESCRIPTION\n"
                     "Platform  1.2       -           Platform firmware\n"
                     "vorn      0.6       -           Service processor agent\n"
                     "Linux     6.1.0     2023-11-14  Platform OS\n"
                     "AMD       -         -           AMD-8111 System Management Controller\n");
}

TEST(VornctlRender, InventoryErrorsStillReachStandardError)
{
    const Rendered r = renderOutcome(invocation({"inventory"}),
                                     replied(document("<error>Can't open /etc/kelmora/swinventory.xml</error>")));
    EXPECT_EQ(r.status, kExitAgentError);
    EXPECT_EQ(r.err, "vornctl: agent: Can't open /etc/kelmora/swinventory.xml\n");
}

TEST(VornctlRender, AnUndecodableDocumentIsPrintedAsReceived)
{
    const std::string reply = document("<hostname>a<b</hostname>");
    const Rendered r = renderOutcome(invocation({"hostname"}), replied(reply));
    EXPECT_EQ(r.status, kExitBadReply);
    EXPECT_EQ(r.out, reply.substr(0, reply.size() - 1) + "\n");
    EXPECT_THAT(r.err, HasSubstr("not a well-formed document"));
}

TEST(VornctlRender, CpuidRecordIsDecoded)
{
    std::string rec;
    const std::string model = "Model X";
    const std::string vendor = "Vendor";
    const std::string ec = "x86 Family 1 Model 2 Stepping 3";
    rec += "\x82";
    rec += static_cast<char>(model.size());
    rec += '\0' + model + "\x90" + static_cast<char>(121 - model.size()) + '\0';
    rec += "MN" + std::string(1, static_cast<char>(vendor.size())) + vendor;
    rec += "EC" + std::string(1, static_cast<char>(ec.size())) + ec;
    rec += std::string("VS\x04\x00\x00\x08\x91", 7);
    rec += "RV" + std::string(1, static_cast<char>(106 - model.size() - vendor.size() - ec.size()));
    unsigned sum = 0;
    for (const char c : rec) {
        sum += static_cast<unsigned char>(c);
    }
    rec += static_cast<char>(-sum & 0xFF);
    rec.resize(127, '\0');
    rec += 'x';

    const Rendered r = renderOutcome(invocation({"cpuid", "2"}), replied(rec));
    EXPECT_EQ(r.status, kExitOk) << r.err;
    EXPECT_THAT(r.out, HasSubstr("cpu       2\n"));
    EXPECT_THAT(r.out, HasSubstr("model     Model X\n"));
    EXPECT_THAT(r.out, HasSubstr("vendor    Vendor\n"));
    EXPECT_THAT(r.out, HasSubstr("ec        x86 Family 1 Model 2 Stepping 3\n"));
    EXPECT_THAT(r.out, HasSubstr("mhz       2193\n"));
    EXPECT_THAT(r.out, HasSubstr("(ok)"));

    // A later record (a long CPU description) wins, with a warning.
    const Rendered two = renderOutcome(invocation({"cpuid", "2"}), replied(rec + rec));
    EXPECT_EQ(two.status, kExitOk);
    EXPECT_THAT(two.err, HasSubstr("2 records"));

    std::string bad = rec;
    bad[5] ^= 1; // a character of the model name
    const Rendered wrong = renderOutcome(invocation({"cpuid", "2"}), replied(bad));
    EXPECT_EQ(wrong.status, kExitBadReply);
    EXPECT_THAT(wrong.out, HasSubstr("(WRONG)"));
}

TEST(VornctlRender, CpuOutOfRangeIsAnAgentError)
{
    const Rendered r = renderOutcome(invocation({"cpuid", "4"}), replied(std::string(1, '\0')));
    EXPECT_EQ(r.status, kExitAgentError);
    EXPECT_THAT(r.err, HasSubstr("no CPU 4"));
}

TEST(VornctlRender, MapOfTheWrongSizeIsABadReply)
{
    const Rendered r = renderOutcome(invocation({"dimm-map"}), replied(std::string(100, '\x01')));
    EXPECT_EQ(r.status, kExitBadReply);
    EXPECT_THAT(r.err, HasSubstr("576"));
}

TEST(VornctlRender, EachTransferFailureHasItsOwnStatusAndMessage)
{
    const Invocation inv = invocation({"--host", "10.9.8.7", "--timeout", "2", "time"});
    const Rendered refused = renderOutcome(inv, TransferResult{TransferStatus::Refused, {}, {}});
    EXPECT_EQ(refused.status, kExitRefused);
    EXPECT_EQ(refused.err, "vornctl: connection refused by 10.9.8.7:6789 (is the agent running there?)\n");
    EXPECT_EQ(refused.out, "");

    const Rendered noConnection = renderOutcome(inv, TransferResult{TransferStatus::ConnectTimeout, {}, {}});
    EXPECT_EQ(noConnection.status, kExitTimeout);
    EXPECT_THAT(noConnection.err, HasSubstr("no connection to 10.9.8.7:6789 within 2 s"));

    const Rendered silent = renderOutcome(inv, TransferResult{TransferStatus::ReplyTimeout, {}, {}});
    EXPECT_EQ(silent.status, kExitTimeout);
    EXPECT_THAT(silent.err, HasSubstr("no reply"));

    const Rendered stranger = renderOutcome(inv, TransferResult{TransferStatus::NoReply, {}, {}});
    EXPECT_EQ(stranger.status, kExitNoReply);
    EXPECT_THAT(stranger.err, HasSubstr("closed the connection without a reply"));
    EXPECT_THAT(stranger.err, HasSubstr("--source"));

    const Rendered other =
        renderOutcome(inv, TransferResult{TransferStatus::NetworkError, {}, "connect: No route to host"});
    EXPECT_EQ(other.status, kExitNetwork);
    EXPECT_EQ(other.err, "vornctl: 10.9.8.7:6789: connect: No route to host\n");
}

TEST(VornctlRender, AWholeDocumentCountsEvenIfTheAgentDidNotClose)
{
    const Rendered r = renderOutcome(
        invocation({"version"}),
        TransferResult{TransferStatus::ReplyTimeout, document("<vornVer>Linux version 0.6</vornVer> "), {}});
    EXPECT_EQ(r.status, kExitOk);
    EXPECT_EQ(r.out, "vornVer  Linux version 0.6\n");

    const Rendered partial =
        renderOutcome(invocation({"version"}), TransferResult{TransferStatus::ReplyTimeout, "<?xml vers", {}});
    EXPECT_EQ(partial.status, kExitTimeout);
    EXPECT_THAT(partial.err, HasSubstr("10 bytes arrived"));
}

TEST(VornctlRender, NoReplyToTheBinaryCommandsNamesTheirOwnCauses)
{
    const Rendered cpu = renderOutcome(invocation({"cpuid", "1"}), TransferResult{TransferStatus::NoReply, {}, {}});
    EXPECT_EQ(cpu.status, kExitNoReply);
    EXPECT_THAT(cpu.err, HasSubstr("without a record"));
    const Rendered map = renderOutcome(invocation({"dimm-map"}), TransferResult{TransferStatus::NoReply, {}, {}});
    EXPECT_THAT(map.err, HasSubstr("without a map"));
}

TEST(VornctlRender, RawWritesTheExactBytesAndKeepsTheStatus)
{
    const std::string reply = document("<error>Invalid request</error>");
    const Rendered r = renderOutcome(invocation({"--raw", "raw", "x"}), replied(reply));
    EXPECT_EQ(r.out, reply);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, kExitAgentError);

    const std::string map(576, '\x03');
    const Rendered m = renderOutcome(invocation({"--raw", "dimm-map"}), replied(map));
    EXPECT_EQ(m.out, map);
    EXPECT_EQ(m.status, kExitOk);
}

TEST(VornctlRender, RawRequestShowsAnythingButADocumentAsHex)
{
    const Rendered r = renderOutcome(invocation({"raw", "c 9"}), replied(std::string(1, '\0')));
    EXPECT_EQ(r.status, kExitOk);
    EXPECT_THAT(r.out, HasSubstr("0000  00 "));
    const Rendered d = renderOutcome(invocation({"raw", "x"}), replied(document("<error>Invalid request</error>")));
    EXPECT_EQ(d.status, kExitAgentError);
    EXPECT_EQ(d.err, "vornctl: agent: Invalid request\n");
}

TEST(VornctlRender, JsonIsOneObjectWithElementsInOrder)
{
    const Rendered r =
        renderOutcome(invocation({"--json", "set-ip", "eth0", "10.1.2.3"}),
                      replied(document("<cmdRetVal>256</cmdRetVal>\n<error>SIOCSIFADDR: \"x\" </error> ")));
    EXPECT_EQ(r.status, kExitAgentError);
    EXPECT_EQ(r.out, "{\"command\":\"set-ip\",\"letter\":\"E\",\"request\":\"E eth0 10.1.2.3\","
                     "\"host\":\"169.254.101.3\",\"port\":6789,"
                     "\"elements\":[{\"name\":\"cmdRetVal\",\"text\":\"256\"},"
                     "{\"name\":\"error\",\"text\":\"SIOCSIFADDR: \\\"x\\\"\"}],\"cmdRetVal\":256,"
                     "\"status\":\"agent-error\",\"exit\":1,\"errors\":[\"SIOCSIFADDR: \\\"x\\\"\"],"
                     "\"warnings\":[]}\n");
    // Standard error stays free of the agent's errors; they are in the object.
    EXPECT_EQ(r.err, "");
}

TEST(VornctlRender, JsonReportsFailuresToo)
{
    const Rendered r = renderOutcome(invocation({"--json", "time"}), TransferResult{TransferStatus::NoReply, {}, {}});
    EXPECT_EQ(r.status, kExitNoReply);
    EXPECT_THAT(r.out, HasSubstr("\"status\":\"no-reply\",\"exit\":5"));
    EXPECT_THAT(r.out, HasSubstr("\"message\":"));
    EXPECT_EQ(r.out.back(), '\n');
}

TEST(VornctlJson, StringsAreAlwaysValidJson)
{
    const auto jsonString = [](const char* text) { return jsonLine(JsonValue(text)); };
    EXPECT_EQ(jsonString("a\"b\\c\n\t\x03"), "\"a\\\"b\\\\c\\n\\t\\u0003\"\n");
    EXPECT_EQ(jsonString("caf\xc3\xa9"), "\"caf\xc3\xa9\"\n"); // valid UTF-8 passes
    // A byte that is not part of valid UTF-8 becomes U+FFFD: a surrogate is no UTF-8.
    EXPECT_EQ(jsonString("\xe9t\xc3"), "\"\xef\xbf\xbdt\xef\xbf\xbd\"\n");
    EXPECT_EQ(jsonString("\xed\xa0\x80"), "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\"\n");
}

TEST(VornctlConfirm, OnlyYesConfirms)
{
    for (const char* yes : {"y", "Y", "yes", "YES\n", " yes \r\n"}) {
        EXPECT_TRUE(isConfirmation(yes)) << yes;
    }
    for (const char* no : {"", "n", "no", "yess", "y y", "\n"}) {
        EXPECT_FALSE(isConfirmation(no)) << no;
    }
}

TEST(VornctlConfirm, PromptNamesTheActionAndTheHost)
{
    const std::string prompt = confirmationPrompt(invocation({"--host", "10.1.1.1", "forced-reboot"}));
    EXPECT_THAT(prompt, HasSubstr("force an immediate reboot of the host at 10.1.1.1"));
    EXPECT_THAT(prompt, HasSubstr("[y/N]"));
}

} // namespace
} // namespace vornctl
