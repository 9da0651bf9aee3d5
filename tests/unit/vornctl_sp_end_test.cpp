// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// vornctl's SP end: the command lines of decode-mce and sp, the bytes of an
// exchange with the agent, and the exchange log's lines.
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "vornctl/sp_end.h"
#include "vornctl/sp_tally.h"

using namespace vornctl;

namespace {

SpEndCommandLine parse(std::vector<std::string_view> args)
{
    return parseSpEndCommandLine(args);
}

std::string recordBytes(std::uint8_t fill)
{
    return std::string(kMcRecordSize, static_cast<char>(fill));
}

TEST(SpEndCommandLine, OtherCommandsAreLeftToTheRequestParser)
{
    EXPECT_EQ(parse({}).kind, SpEndCommandLine::Kind::None);
    EXPECT_EQ(parse({"time"}).kind, SpEndCommandLine::Kind::None);
    EXPECT_EQ(parse({"--json", "--host", "10.0.0.1", "netstat"}).kind, SpEndCommandLine::Kind::None);
    // A raw request whose bytes spell a command is still a raw request.
    EXPECT_EQ(parse({"raw", "sp"}).kind, SpEndCommandLine::Kind::None);
    EXPECT_EQ(parse({"--", "sp"}).kind, SpEndCommandLine::Kind::None);
}

TEST(SpEndCommandLine, DecodeTakesFilesAndTheFamily)
{
    const SpEndCommandLine d = parse({"decode-mce", "a.bin", "--json", "-", "--family", "0x10"});
    ASSERT_EQ(d.kind, SpEndCommandLine::Kind::Decode) << d.message;
    EXPECT_EQ(d.decode.files, (std::vector<std::string>{"a.bin", "-"}));
    EXPECT_TRUE(d.decode.json);
    EXPECT_EQ(d.decode.family, 0x10u);

    EXPECT_EQ(parse({"--json", "decode-mce", "x"}).decode.json, true);
    EXPECT_EQ(parse({"decode-mce", "--family=0Fh", "x"}).decode.family, 15u);
    EXPECT_EQ(parse({"decode-mce", "--family", "15", "x"}).decode.family, 15u);
    EXPECT_EQ(parse({"decode-mce", "x"}).decode.family, kDefaultMcFamily);
    // After "--" a file may begin with a dash.
    EXPECT_EQ(parse({"decode-mce", "--", "--json"}).decode.files, std::vector<std::string>{"--json"});

    for (const std::vector<std::string_view>& wrong : {std::vector<std::string_view>{"decode-mce"},
                                                       {"decode-mce", "--family", "x", "f"},
                                                       {"decode-mce", "--family", "256", "f"},
                                                       {"decode-mce", "--count", "1", "f"},
                                                       {"decode-mce", "--bogus", "f"}}) {
        const SpEndCommandLine r = parse(wrong);
        EXPECT_EQ(r.kind, SpEndCommandLine::Kind::Usage) << wrong.back();
        EXPECT_TRUE(r.message.starts_with("decode-mce: ")) << r.message;
    }
}

TEST(SpEndCommandLine, SpDefaultsAndOptions)
{
    const SpEndCommandLine d = parse({"sp"});
    ASSERT_EQ(d.kind, SpEndCommandLine::Kind::Sp);
    EXPECT_EQ(d.sp.address, "169.254.101.2");
    EXPECT_EQ(d.sp.port, 9990);
    EXPECT_EQ(d.sp.hbInterval, 4000u);
    EXPECT_EQ(d.sp.mcInterval, 5000u);
    EXPECT_TRUE(d.sp.records.empty());
    EXPECT_FALSE(d.sp.count.has_value());
    EXPECT_FALSE(d.sp.json);

    const SpEndCommandLine o =
        parse({"sp", "--address", "127.0.0.1", "--port=19990", "--hb-interval", "100", "--mc-interval", "0",
               "--records", "r.cap", "--count", "3", "--json", "--timeout", "0.5"});
    ASSERT_EQ(o.kind, SpEndCommandLine::Kind::Sp) << o.message;
    EXPECT_EQ(o.sp.address, "127.0.0.1");
    EXPECT_EQ(o.sp.port, 19990);
    EXPECT_EQ(o.sp.hbInterval, 100u);
    EXPECT_EQ(o.sp.mcInterval, 0u);
    EXPECT_EQ(o.sp.records, "r.cap");
    EXPECT_EQ(o.sp.count, 3u);
    EXPECT_TRUE(o.sp.json);
    EXPECT_DOUBLE_EQ(o.sp.readSeconds, 0.5);

    for (const std::vector<std::string_view>& wrong : {std::vector<std::string_view>{"sp", "file"},
                                                       {"sp", "--address", "sp.example"},
                                                       {"sp", "--port", "0"},
                                                       {"sp", "--hb-interval", "-1"},
                                                       {"sp", "--mc-interval", "4294967296"},
                                                       {"sp", "--count", "0"},
                                                       {"sp", "--timeout", "0"},
                                                       {"sp", "--records"},
                                                       {"sp", "--yes"}}) {
        const SpEndCommandLine r = parse(wrong);
        EXPECT_EQ(r.kind, SpEndCommandLine::Kind::Usage) << wrong.back();
        EXPECT_TRUE(r.message.starts_with("sp: ")) << r.message;
    }
}

TEST(SpSession, IntervalsGoMostSignificantByteFirst)
{
    EXPECT_EQ(intervalBytes(4000), (std::array<std::uint8_t, 4>{0x00, 0x00, 0x0f, 0xa0}));
    EXPECT_EQ(intervalBytes(0x01020304), (std::array<std::uint8_t, 4>{1, 2, 3, 4}));

    SpSession s(4000, 5000);
    const std::vector<SpEvent> h = s.feed("h");
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0].kind, SpEvent::Kind::Interval);
    EXPECT_EQ(h[0].interval, 4000u);
    EXPECT_EQ(h[0].reply, intervalBytes(4000));
    const std::vector<SpEvent> p = s.feed("p");
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].interval, 5000u);
    EXPECT_FALSE(s.closed());
}

TEST(SpSession, RecordsArriveInPiecesAndSeveralToAConnection)
{
    SpSession s(1, 2);
    std::string bytes = "x" + recordBytes(0xA5) + "x" + recordBytes(0x5A);
    bytes[1] = 7; // the first record's cpuId
    std::vector<SpEvent> events;
    // One byte at a time, then the rest.
    for (std::size_t i = 0; i < 100; ++i) {
        for (const SpEvent& e : s.feed(std::string_view(bytes).substr(i, 1))) {
            events.push_back(e);
        }
    }
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(s.partialRecordBytes(), 99u);
    for (const SpEvent& e : s.feed(std::string_view(bytes).substr(100))) {
        events.push_back(e);
    }
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, SpEvent::Kind::Record);
    EXPECT_EQ(events[0].record[0], 7);
    EXPECT_EQ(events[0].record[155], 0xA5);
    EXPECT_EQ(events[1].record[0], 0x5A);
    EXPECT_EQ(s.partialRecordBytes(), 0u);
}

TEST(SpSession, AConnectionThatEndsInsideARecordLeavesItPartial)
{
    SpSession s(1, 2);
    EXPECT_FALSE(s.anything());
    EXPECT_TRUE(s.feed("x" + recordBytes(0).substr(0, 155)).empty());
    EXPECT_TRUE(s.anything());
    EXPECT_EQ(s.partialRecordBytes(), 155u);
}

TEST(SpSession, AnUnexpectedByteClosesTheSession)
{
    SpSession s(1, 2);
    const std::vector<SpEvent> e = s.feed("Ahx");
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].kind, SpEvent::Kind::Unexpected);
    EXPECT_EQ(e[0].letter, 'A');
    EXPECT_TRUE(s.closed());
    EXPECT_TRUE(s.feed("h").empty());
    EXPECT_EQ(s.partialRecordBytes(), 0u);
}

TEST(ExchangeLine, UtcTimeToTheMillisecondThenPeerAndWhat)
{
    EXPECT_EQ(exchangeLine(0, "169.254.101.3:40000", "'h': heartbeat interval 4000 ms sent"),
              "1970-01-01T00:00:00.000Z 169.254.101.3:40000 'h': heartbeat interval 4000 ms sent\n");
    EXPECT_EQ(exchangeLine(1796783581123, "peer", "what"), "2026-12-09T02:33:01.123Z peer what\n");
}

// A capture frame: 'x' and a record of `cpu` whose bank 4 (or none, 0)
// has this status.
std::string frame(std::uint8_t cpu, std::uint64_t bank4Status)
{
    std::string bytes = "x" + recordBytes(0);
    bytes[1] = static_cast<char>(cpu);
    for (std::size_t i = 0; i < 8; ++i) { // bank 4's status: val[16]
        bytes[1 + 12 + 8 * 16 + i] = static_cast<char>(bank4Status >> (8 * i));
    }
    return bytes;
}

TEST(SpMetrics, OptionsNeedTheMetricsAddress)
{
    const SpEndCommandLine m =
        parse({"sp", "--metrics", "10.0.0.1:9991", "--probe-interval=0.5", "--agent", "10.0.0.2"});
    ASSERT_EQ(m.kind, SpEndCommandLine::Kind::Sp) << m.message;
    EXPECT_EQ(m.sp.metricsAddress, "10.0.0.1");
    EXPECT_EQ(m.sp.metricsPort, 9991);
    EXPECT_DOUBLE_EQ(m.sp.probeSeconds, 0.5);
    EXPECT_EQ(m.sp.agent, "10.0.0.2");
    for (const std::vector<std::string_view>& wrong : {std::vector<std::string_view>{"sp", "--metrics", "9991"},
                                                       {"sp", "--metrics", "host:9991"},
                                                       {"sp", "--metrics", "10.0.0.1:0"},
                                                       {"sp", "--probe-interval", "1"},
                                                       {"sp", "--metrics", "10.0.0.1:1", "--probe-interval", "-1"}}) {
        EXPECT_EQ(parse(wrong).kind, SpEndCommandLine::Kind::Usage) << wrong.back();
    }
}

// Severity from UC (61) and PCC (57); one count per valid bank; the file's
// whole frames only, and a file that is no capture is told apart.
TEST(SpMetrics, ACaptureIsCountedByCpuBankAndSeverity)
{
    const std::string bytes = frame(1, 0x9000000000000000) + frame(1, 0xb000000000000000) +
                              frame(2, 0xb200000000000000) + frame(1, 0x9000000000000000) + frame(3, 0);
    const CaptureTally t = tallyCapture(bytes + "x12");
    EXPECT_FALSE(t.foreign);
    EXPECT_EQ(t.wholeBytes, bytes.size());
    EXPECT_EQ(t.tally.records, 5u);
    const std::map<McErrorKey, std::uint64_t> expected = {
        {{1, 4, McSeverity::Corrected}, 2}, {{1, 4, McSeverity::Uncorrected}, 1}, {{2, 4, McSeverity::Pcc}, 1}};
    EXPECT_EQ(t.tally.errors, expected);

    const CaptureTally foreign = tallyCapture(frame(1, 0) + recordBytes(0));
    EXPECT_TRUE(foreign.foreign);
    EXPECT_EQ(foreign.wholeBytes, 157u);
}

} // namespace
