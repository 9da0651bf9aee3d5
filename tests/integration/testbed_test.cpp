// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The simulated board itself: the sandbox, the fakes, the log collector, the
// simulated drivers (through a small program that calls them as the daemon
// does) and the simulated SP.
#include <cstring>
#include <sstream>

#include <arpa/inet.h>
#include <linux/capability.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "testbed/board/board.h"

using namespace testbed;

namespace {

// Runs the probe with the simulated drivers preloaded; returns its output line.
std::string probe(const Board& board, const std::string& args)
{
    const RunResult r = board.run(driverPreload() + SIMDRV_PROBE_FILE + " " + args);
    EXPECT_EQ(r.status, 0) << args << ": " << r.output;
    std::string line = r.output;
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
    return line;
}

std::string hex(const void* data, std::size_t size)
{
    std::ostringstream out;
    for (std::size_t i = 0; i < size; ++i) {
        char byte[3];
        std::snprintf(byte, sizeof byte, "%02x", static_cast<const unsigned char*>(data)[i]);
        out << byte;
    }
    return out.str();
}

std::string hexText(std::string_view text)
{
    return hex(text.data(), text.size());
}

std::string errText(int error)
{
    return "err " + std::to_string(error);
}

McRecords flaggedRecords(std::uint32_t cpu)
{
    McRecords records{};
    records[cpu].cpuId = cpu;
    records[cpu].version = 7;
    records[cpu].errOccurred = 1;
    for (std::size_t k = 0; k < eREG_IF_FIELDS_COUNT; ++k)
        records[cpu].val[k] = 0x1111111111111111ull * (k % 15 + 1);
    return records;
}

} // namespace

TEST(Sandbox, IsolatesThisProcess)
{
    EXPECT_TRUE(insideSandbox()) << sandboxProblem();
    EXPECT_EQ(prctl(PR_CAPBSET_READ, CAP_SYS_BOOT, 0, 0, 0), 0);
    char name[64] = {};
    ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
    EXPECT_STREQ(name, kHostname);
    Board board;
    // The host's end of the link here, the SP's end in the SP's namespace.
    const RunResult addresses = board.run("ip -o -4 addr show");
    EXPECT_NE(addresses.output.find("hlink0    inet 169.254.101.3/16"), std::string::npos) << addresses.output;
    EXPECT_EQ(addresses.output.find("sp0"), std::string::npos) << addresses.output;
    const RunResult sp = board.run(onSpSide("ip -o -4 addr show"));
    EXPECT_NE(sp.output.find("sp0    inet 169.254.101.2/16"), std::string::npos) << sp.output;
    EXPECT_NE(sp.output.find("sp0    inet 169.254.101.66/16"), std::string::npos) << sp.output;
    EXPECT_EQ(sp.output.find("hlink0"), std::string::npos) << sp.output;
    // The machine's files are seen through a copy-on-write overlay.
    constexpr long kOverlayMagic = 0x794c7630;
    for (const char* path : {"/usr/sbin", "/etc"}) {
        struct statfs fs {};
        ASSERT_EQ(statfs(path, &fs), 0) << path;
        EXPECT_EQ(static_cast<long>(fs.f_type), kOverlayMagic) << path;
    }
}

TEST(Sandbox, PowerProgramsAreRecordingFakes)
{
    Board board;
    std::string problem;
    EXPECT_TRUE(powerProgramsAreFakes(&problem)) << problem;
    board.setFake("reboot", 3, "going down\n", "oops\n");
    const RunResult r = board.run("/sbin/reboot -f now");
    EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 3) << r.status;
    EXPECT_EQ(r.output, "going down\noops\n");
    EXPECT_EQ(board.fakeCalls("reboot"), std::vector<std::string>{"-f now"});
    EXPECT_EQ(board.run("/sbin/init 0").status, 0);
    EXPECT_EQ(board.run("/sbin/shutdown -h now").status, 0);
    EXPECT_EQ(board.fakeCalls("init"), std::vector<std::string>{"0"});
    EXPECT_EQ(board.fakeCalls("shutdown"), std::vector<std::string>{"-h now"});
    EXPECT_TRUE(board.fakeCalls("ifconfig").empty());
}

TEST(SandboxDeathTest, BoardRefusesOutsideTheSandbox)
{
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_DEATH(
        {
            if (unshare(CLONE_NEWNS) == 0)
                requireSandbox();
        },
        "REFUSING TO RUN: this process is not in the sandbox's mnt namespace");
}

TEST(SandboxDeathTest, BoardRefusesARealPowerProgram)
{
    GTEST_FLAG_SET(death_test_style, "fast");
    Board board;
    board.bindOver("/sbin/reboot", "#!/bin/sh\nexit 0\n");
    EXPECT_DEATH(board.start(), "REFUSING TO RUN: /sbin/reboot is not the sandbox's fake");
}

TEST(Syslog, CollectorRecordsPriorityFacilityIdentPidAndText)
{
    Board board;
    openlog("probe", 0, LOG_LOCAL3);
    syslog(LOG_CRIT, "%s", "first line\n");
    syslog(LOG_INFO, "%s", "tab\there, backslash \\ and \x01 kept\n");
    closelog();
    ASSERT_TRUE(board.waitForLog("first line\n", LOG_CRIT));
    const auto second = board.waitForLog("tab\there, backslash \\ and \x01 kept\n", LOG_INFO);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->ident, "probe");
    EXPECT_EQ(second->facility, LOG_LOCAL3);
    EXPECT_EQ(second->pid, getpid());
    EXPECT_EQ(board.log().size(), 2u);
}

TEST(SimDriver, HostLinkAddressesAndSetLog)
{
    Board board;
    EXPECT_EQ(probe(board, "get-plat"), "ok " + std::to_string(0xA9FE6503u));
    EXPECT_EQ(probe(board, "get-sp"), "ok " + std::to_string(0xA9FE6502u));
    EXPECT_EQ(probe(board, "set-plat 0x0A000001"), "ok ");
    EXPECT_EQ(probe(board, "get-plat"), "ok " + std::to_string(0x0A000001u));
    board.driver().failRequest(simdrv::kSetSpIp);
    EXPECT_EQ(probe(board, "set-sp 0x0A000002"), errText(EIO));
    EXPECT_EQ(board.driver().spIp(), 0xA9FE6502u);
    const auto sets = board.driver().setRequests();
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0].request, simdrv::kSetPlatIp);
    EXPECT_EQ(sets[0].value, 0x0A000001u);
    EXPECT_FALSE(sets[0].refused);
    EXPECT_EQ(sets[1].request, simdrv::kSetSpIp);
    EXPECT_TRUE(sets[1].refused);
    EXPECT_EQ(board.driver().opens(simdrv::kHlink), 5u);
}

TEST(SimDriver, SpAddressFile)
{
    Board board;
    EXPECT_EQ(probe(board, "spip"), "ok " + hexText("169.254.101.2\n"));
    board.driver().setSpIp(0x0A000063u);
    EXPECT_EQ(probe(board, "spip-open"), "ok " + hexText("10.0.0.99\n"));
    board.driver().setSpIpFile(" 10.9.8.7 extra\n");
    EXPECT_EQ(probe(board, "spip"), "ok " + hexText(" 10.9.8.7 extra\n"));
    board.driver().removeSpIpFile();
    EXPECT_EQ(probe(board, "spip"), errText(ENOENT));
    EXPECT_EQ(probe(board, "spip-open"), errText(ENOENT));
}

TEST(SimDriver, AbsentDevicesAndForeignDescriptors)
{
    Board board;
    board.driver().setPresent(simdrv::kMc, false);
    EXPECT_EQ(probe(board, "beat"), errText(ENOENT));
    board.driver().setPresent(simdrv::kMc, true);
    EXPECT_EQ(probe(board, "beat"), "ok ");
    EXPECT_EQ(probe(board, "mc-on-hlink"), errText(ENOTTY));
    EXPECT_EQ(probe(board, "regular-file"), errText(ENOTTY));
}

TEST(SimDriver, SensorsCpuidAndMemoryMap)
{
    Board board;
    board.driver().setCpuTemp(2, -7);
    EXPECT_EQ(probe(board, "temp 2"), "ok -7");
    EXPECT_EQ(probe(board, "temp 4"), errText(EINVAL));
    board.driver().setCpuidValue(0x1234);
    EXPECT_EQ(probe(board, "cpuid"), "ok 3412000000000000");
    platform_data_t map{};
    map.dram_base_reg[0] = 0x01020304;
    map.dram_cs_mask_reg[7][7] = 0xA0B0C0D0;
    board.driver().setDimmMap(map);
    EXPECT_EQ(probe(board, "dimm"), "ok " + hex(&map, sizeof map));
    board.driver().failRequest(simdrv::kGetDimmMap);
    EXPECT_EQ(probe(board, "dimm"), errText(EIO));
    const auto calls = board.driver().calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().request, simdrv::kGetDimmMap);
    EXPECT_EQ(calls.back().result, -1);
    EXPECT_EQ(calls.back().error, EIO);
}

TEST(SimDriver, McRecordsAndHeartbeats)
{
    Board board;
    const McRecords none{};
    EXPECT_EQ(probe(board, "mcpoll"), "ok " + hex(none.data(), sizeof none));
    const McRecords first = flaggedRecords(1);
    const McRecords second = flaggedRecords(3);
    board.driver().queueMcRecords(first);
    board.driver().queueMcRecords(second);
    const auto before = Clock::now();
    EXPECT_EQ(probe(board, "mcpoll"), "ok " + hex(first.data(), sizeof first));
    EXPECT_EQ(probe(board, "mcpoll"), "ok " + hex(second.data(), sizeof second));
    EXPECT_EQ(probe(board, "mcpoll"), "ok " + hex(none.data(), sizeof none));
    const auto sets = board.driver().mcSets();
    ASSERT_EQ(sets.size(), 2u);
    ASSERT_TRUE(sets[0].handedOut && sets[1].handedOut);
    EXPECT_LE(before, *sets[0].handedOut);
    EXPECT_LE(*sets[0].handedOut, *sets[1].handedOut);
    EXPECT_EQ(board.driver().mcPolls(), 4u);

    EXPECT_EQ(probe(board, "beat"), "ok ");
    EXPECT_EQ(probe(board, "beat"), "ok ");
    EXPECT_EQ(board.driver().heartbeatCount(), 2u);
    const auto beats = board.driver().heartbeats();
    ASSERT_EQ(beats.size(), 2u);
    EXPECT_LE(beats[0], beats[1]);
    board.driver().failRequest(simdrv::kHbBeat);
    EXPECT_EQ(probe(board, "beat"), errText(EIO));
    EXPECT_EQ(board.driver().heartbeatCount(), 2u);
}

TEST(SimSp, AnswersIntervalsAndRecordsReports)
{
    Board board;
    board.sp().setInterval('h', 4000);
    const Reply h = exchange(kPlatAddress, kSpAddress, simsp::kSpPort, "h");
    EXPECT_EQ(hexText(h.bytes), "00000fa0");
    EXPECT_TRUE(h.closed);

    const McRecords records = flaggedRecords(2);
    std::string report = "x";
    report.append(reinterpret_cast<const char*>(&records[2]), sizeof(RegIfVals));
    const Reply x = exchange(kPlatAddress, kSpAddress, simsp::kSpPort, report, Millis{200});
    EXPECT_TRUE(x.bytes.empty());
    ASSERT_TRUE(board.sp().waitForReports(1));
    const SpReport r = board.sp().reports().at(0);
    EXPECT_EQ(std::memcmp(&r.record, &records[2], sizeof(RegIfVals)), 0);

    ASSERT_TRUE(board.sp().waitForExchanges(2));
    const auto exchanges = board.sp().exchanges();
    EXPECT_EQ(exchanges[0].command, 'h');
    EXPECT_EQ(exchanges[0].peer, kPlatAddress);
    EXPECT_EQ(exchanges[0].bytesSent, 4u);
    EXPECT_EQ(exchanges[1].command, 'x');
    EXPECT_EQ(exchanges[1].bytesReceived, 157u);
    EXPECT_EQ(r.exchange, 1u);
}

TEST(SimSp, MisbehavesAsTold)
{
    Board board;
    board.sp().setInterval('p', 0x01020304);
    board.sp().setMode('p', SpMode::CloseWithoutReply);
    Reply r = exchange(kPlatAddress, kSpAddress, simsp::kSpPort, "p");
    EXPECT_TRUE(r.bytes.empty() && r.closed);

    board.sp().setMode('p', SpMode::Short, 3);
    r = exchange(kPlatAddress, kSpAddress, simsp::kSpPort, "p");
    EXPECT_EQ(hexText(r.bytes), "010203");

    board.sp().setMode('p', SpMode::Reset);
    r = exchange(kPlatAddress, kSpAddress, simsp::kSpPort, "p");
    EXPECT_TRUE(r.bytes.empty() && r.reset);

    board.sp().setMode('p', SpMode::Silent);
    r = exchange(kPlatAddress, kSpAddress, simsp::kSpPort, "p", Millis{150});
    EXPECT_TRUE(r.bytes.empty() && r.timedOut);

    board.sp().setMode('p', SpMode::Trickle, 0, Millis{30});
    const auto start = Clock::now();
    r = exchange(kPlatAddress, kSpAddress, simsp::kSpPort, "p");
    EXPECT_EQ(hexText(r.bytes), "01020304");
    EXPECT_GE(Clock::now() - start, Millis{90});

    board.sp().setListening(false);
    Connection refused(kPlatAddress, kSpAddress, simsp::kSpPort);
    EXPECT_TRUE(refused.refused());
    board.sp().setListening(true);
    board.sp().setMode('p', SpMode::Reply);
    r = exchange(kPlatAddress, kSpAddress, simsp::kSpPort, "p");
    EXPECT_EQ(hexText(r.bytes), "01020304");

    // Every second attempt refused: the SP sees the refusal on the host's
    // side, counts it and serves again.
    board.sp().setRefuseEvery(2);
    EXPECT_TRUE(waitUntil([&] { return Connection(kPlatAddress, kSpAddress, simsp::kSpPort).refused(); }));
    EXPECT_TRUE(waitUntil([&] { return board.sp().refusedConnections() >= 1; }));
    EXPECT_TRUE(waitUntil(
        [&] { return hexText(exchange(kPlatAddress, kSpAddress, simsp::kSpPort, "p").bytes) == "01020304"; }));
}

TEST(Board, EndsEveryProcessOfTheDaemon)
{
    std::vector<ProcessInfo> processes;
    {
        Board board;
        board.start();
        processes = board.processes();
        ASSERT_GE(processes.size(), 1u);
    }
    for (const ProcessInfo& p : processes)
        EXPECT_NE(kill(p.pid, 0), 0) << "process " << p.pid << " (" << p.comm << ") survived the board";
}

TEST(Board, FixturesLandOnTheRealPathsInsideTheSandbox)
{
    {
        Board board;
        board.writeFile("/etc/resolv.conf", "nameserver 10.0.0.53\n");
        board.writeFile("/etc/kelmora/fixture/VERSION", "1.2.3\n", 0600);
        board.bindOver("/proc/cpuinfo", "model name\t: Test Processor 248\n");
        board.mountTmpfs("/var/lib/vorn-full", 4096);
        EXPECT_EQ(board.readFile("/etc/resolv.conf"), "nameserver 10.0.0.53\n");
        EXPECT_EQ(board.run("cat /etc/kelmora/fixture/VERSION /proc/cpuinfo").output,
                  "1.2.3\nmodel name\t: Test Processor 248\n");
        // The small file system fills up.
        EXPECT_NE(board.run("head -c 65536 /dev/zero > /var/lib/vorn-full/big").status, 0);
        board.removeFile("/etc/kelmora/fixture/VERSION");
        EXPECT_FALSE(board.readFile("/etc/kelmora/fixture/VERSION"));
    }
    // The board's mounts go with it.
    const auto cpuinfo = Board().readFile("/proc/cpuinfo");
    ASSERT_TRUE(cpuinfo);
    EXPECT_EQ(cpuinfo->find("Test Processor 248"), std::string::npos);
}
