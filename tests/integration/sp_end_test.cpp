// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// vornctl's SP end against the real daemon: `vornctl sp` is the board's SP,
// answers the monitors' interval requests, keeps the record that the MC
// monitor forwards and prints it decoded; `vornctl decode-mce` reads the
// file it kept.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testbed/board/board.h"
#include "testbed/common/unique_fd.h"

#ifndef VORNCTL_FILE
#error "VORNCTL_FILE: vornctl of this build"
#endif

using namespace testbed;
using ::testing::HasSubstr;

namespace {

constexpr const char* kRecords = "/tmp/records.cap";
constexpr const char* kOut = "/tmp/sp.out";
constexpr const char* kErr = "/tmp/sp.err";
constexpr const char* kStatus = "/tmp/sp.status";

// A record of CPU 1 with a corrected data-cache error (memory form: data
// read, data, L1) in bank 0 with its address, and an uncorrected
// northbridge bus error in bank 4; the banks between are not valid.
RegIfVals flaggedRecord()
{
    RegIfVals r{};
    r.cpuId = 1;
    r.version = 2;
    r.errOccurred = 1;
    r.val[eMCG_STATUS_REG] = 0x4; // MCIP
    r.val[eMC0_CTL_REG] = 0x7f;
    r.val[eMC0_STATUS_REG] = 0x9400000000000135; // valid, enabled, addrValid; 0x0135
    r.val[eMC0_ADDR_REG] = 0x1234abc0;
    r.val[eMC1_STATUS_REG] = 0x0000000000000135; // not valid
    r.val[eMC4_STATUS_REG] = 0xb200000000070f0f; // valid, uncorrected, enabled, pcc; 0x0f0f
    return r;
}

McRecords pollWith(const RegIfVals& flagged)
{
    RegIfVals quiet{};
    return {quiet, flagged, quiet, quiet};
}

const char* const kExpectedJson =
    R"({"cpuId":1,"version":2,"errOccurred":1,"mcgStatus":{"ripv":false,"eipv":false,"mcip":true},"banks":[)"
    R"({"bank":0,"name":"data cache","status":"0x9400000000000135","ctl":"0x000000000000007f",)"
    R"("addr":"0x000000001234abc0","valid":true,"overflow":false,"uncorrected":false,"enabled":true,)"
    R"("miscValid":false,"addrValid":true,"pcc":false,"errorCode":"0x0135","errorClass":"memory",)"
    R"("request":"data-read","transaction":"data","level":"L1"},)"
    R"({"bank":4,"name":"northbridge","status":"0xb200000000070f0f","ctl":"0x0000000000000000","valid":true,)"
    R"("overflow":false,"uncorrected":true,"enabled":true,"miscValid":false,"addrValid":false,"pcc":true,)"
    R"("errorCode":"0x0f0f","errorClass":"bus","participation":"generic","timeout":true,"request":"generic",)"
    R"("space":"generic","level":"generic"}]})"
    "\n";

class SpEnd : public ::testing::Test {
protected:
    SpEnd() : board_(BoardOptions{.startSp = false}) {}

    // Starts `vornctl sp ARGS` in the background; returns its pid once it
    // listens at the SP's end of the link. Its exit status goes to kStatus.
    pid_t startSp(const std::string& args)
    {
        board_.run("( " + onSpSide(std::string(VORNCTL_FILE) + " sp " + args) + " >" + kOut + " 2>" + kErr +
                   " </dev/null & echo $! >/tmp/sp.pid; wait $!; echo $? >" + kStatus + " ) >/dev/null 2>&1 &");
        pid_t pid = 0;
        EXPECT_TRUE(waitUntil([&] {
            pid = static_cast<pid_t>(std::strtol(board_.readFile("/tmp/sp.pid").value_or("0").c_str(), nullptr, 10));
            return pid > 0 && listening();
        })) << board_.readFile(kErr).value_or("");
        return pid;
    }

    std::string exitStatus() const
    {
        std::string status;
        waitUntil([&] { return !(status = board_.readFile(kStatus).value_or("")).empty(); });
        return status;
    }

    bool listening() const
    {
        // 169.254.101.2:9990 in the SP's table, in the LISTEN state (0A).
        const std::string table = board_.run(onSpSide("cat /proc/net/tcp")).output;
        return table.find("0265FEA9:2706 00000000:0000 0A") != std::string::npos;
    }

    static bool ended(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

    Board board_;
};

TEST_F(SpEnd, TheDaemonsRecordArrivesDecodedAndKept)
{
    const pid_t sp = startSp(std::string("--json --count 1 --mc-interval 100 --records ") + kRecords);
    const RegIfVals flagged = flaggedRecord();
    board_.driver().queueMcRecords(pollWith(flagged));
    board_.start();

    ASSERT_TRUE(waitUntil([&] { return !board_.readFile(kOut).value_or("").empty(); }, Millis{10000}))
        << board_.readFile(kErr).value_or("");
    // It ends by itself after the one record.
    ASSERT_TRUE(waitUntil([&] { return ended(sp); }));
    EXPECT_EQ(exitStatus(), "0\n");
    EXPECT_EQ(board_.readFile(kOut).value_or(""), kExpectedJson);
    // In JSON mode standard error stays quiet.
    EXPECT_EQ(board_.readFile(kErr).value_or(""), "");

    // The file holds the record as it came over the wire: 'x' and the
    // driver's 156 bytes.
    const std::string kept = board_.readFile(kRecords).value_or("");
    ASSERT_EQ(kept.size(), 157u);
    EXPECT_EQ(kept[0], 'x');
    EXPECT_EQ(std::memcmp(kept.data() + 1, &flagged, sizeof flagged), 0);

    const RunResult decoded = board_.run(std::string(VORNCTL_FILE) + " decode-mce --json " + kRecords);
    EXPECT_EQ(WEXITSTATUS(decoded.status), 0);
    EXPECT_EQ(decoded.output, kExpectedJson);

    // The monitors fetched their intervals from it: the poll came at 100 ms.
    EXPECT_FALSE(board_.waitForLog("MC failed to get poll rate from SP\n", -1, Millis{200}).has_value());
}

TEST_F(SpEnd, PlainModeLogsEveryExchangeAndEndsAtSigterm)
{
    const pid_t sp = startSp("--hb-interval 150 --mc-interval 100");
    board_.driver().queueMcRecords(pollWith(flaggedRecord()));
    board_.start();

    ASSERT_TRUE(
        waitUntil([&] { return board_.readFile(kOut).value_or("").find("\n\n") != std::string::npos; }, Millis{10000}));
    const std::string out = board_.readFile(kOut).value_or("");
    EXPECT_THAT(out, HasSubstr("bank 0       data cache\n"));
    EXPECT_THAT(out, HasSubstr("bank 4       northbridge\n"));
    EXPECT_THAT(out, HasSubstr("  addr       0x000000001234abc0\n"));

    // The heartbeat runs at the interval it was given.
    ASSERT_TRUE(waitUntil([&] { return board_.driver().heartbeatCount() >= 3; }));
    const auto beats = board_.driver().heartbeats();
    const long long ms = std::chrono::duration_cast<Millis>(beats.at(2) - beats.at(1)).count();
    EXPECT_GE(ms, 140);
    EXPECT_LE(ms, 1000);

    const std::string log = board_.readFile(kErr).value_or("");
    EXPECT_THAT(log, HasSubstr("vornctl sp: listening at 169.254.101.2:9990 ('h' 150 ms, 'p' 100 ms)\n"));
    // Time, peer, what.
    EXPECT_TRUE(
        std::regex_search(log, std::regex("\n[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z "
                                          "169\\.254\\.101\\.[0-9]+:[0-9]+ 'h': heartbeat interval 150 ms sent\n")))
        << log;
    EXPECT_THAT(log, HasSubstr(" 'p': MC poll interval 100 ms sent\n"));
    EXPECT_THAT(log, HasSubstr(" 'x': record of CPU 1, 2 valid banks\n"));

    ASSERT_EQ(::kill(sp, SIGTERM), 0);
    EXPECT_TRUE(waitUntil([&] { return ended(sp); }));
    EXPECT_EQ(exitStatus(), "0\n");
}

// A peer that connects and stays silent holds the SP for one read bound at
// most; the agent's record, which waits behind it, still arrives.
TEST_F(SpEnd, ASilentPeerIsDroppedAfterTheReadBound)
{
    startSp("--timeout 0.5 --mc-interval 100");
    UniqueFd silent(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sp{};
    sp.sin_family = AF_INET;
    sp.sin_port = htons(9990);
    ASSERT_EQ(::inet_pton(AF_INET, kSpAddress, &sp.sin_addr), 1);
    ASSERT_EQ(::connect(silent.get(), reinterpret_cast<const sockaddr*>(&sp), sizeof sp), 0) << std::strerror(errno);
    const auto connected = Clock::now();

    board_.driver().queueMcRecords(pollWith(flaggedRecord()));
    board_.start();
    ASSERT_TRUE(waitUntil(
        [&] { return board_.readFile(kErr).value_or("").find("silent for 500 ms: closed") != std::string::npos; },
        Millis{5000}));
    // The SP closed the silent connection.
    char byte = 0;
    EXPECT_EQ(::recv(silent.get(), &byte, 1, 0), 0);
    EXPECT_LT(std::chrono::duration_cast<Millis>(Clock::now() - connected).count(), 3000);
    EXPECT_TRUE(
        waitUntil([&] { return board_.readFile(kOut).value_or("").find("\n\n") != std::string::npos; }, Millis{10000}));
}

} // namespace
