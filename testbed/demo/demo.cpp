// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// vorn-demo: the daemon on the simulated board, driven as the SP drives it.
// Starts the board, the SP and the daemon inside a sandbox, walks through
// every request with vornctl from the SP's address (and once from a
// stranger's), shows a machine-check error reaching the SP and the heartbeats
// counting, prints the log and stops the daemon.
// Run it directly: outside a sandbox it starts itself again through vorn-sandbox.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "testbed/board/board.h"

namespace {

using testbed::Millis;

const char* priorityName(int priority)
{
    switch (priority) {
    case LOG_CRIT:
        return "crit";
    case LOG_INFO:
        return "info";
    default:
        return "other";
    }
}

std::string fileText(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void section(const char* title)
{
    std::printf("\n== %s\n", title);
}

// Runs vornctl from `source` and shows its command line, output and exit status.
void vornctl(testbed::Board& board, const std::string& args, const char* source = testbed::kSpAddress)
{
    std::printf("\n$ vornctl --source %s %s\n", source, args.c_str());
    std::fflush(stdout);
    const testbed::RunResult r =
        board.run(testbed::onSpSide(std::string(VORNCTL_FILE) + " --source " + source + " " + args));
    std::istringstream lines(r.output);
    for (std::string line; std::getline(lines, line);)
        std::printf("  %s\n", line.c_str());
    if (WIFEXITED(r.status) && WEXITSTATUS(r.status) != 0)
        std::printf("  [exit status %d]\n", WEXITSTATUS(r.status));
}

// The board's SP: `vornctl sp`, in the background, keeping the records it
// receives in kRecords, its decoded records in kSpOut and its exchanges in
// kSpLog. Waits until it listens at the SP's end of the link.
constexpr const char* kRecords = "/tmp/records.cap";
constexpr const char* kSpOut = "/tmp/sp.out";
constexpr const char* kSpLog = "/tmp/sp.log";

void startSp(testbed::Board& board, const std::string& args)
{
    std::printf("\n$ vornctl sp %s --records %s &\n", args.c_str(), kRecords);
    board.run(testbed::onSpSide(std::string(VORNCTL_FILE) + " sp " + args + " --records " + kRecords) + " >" + kSpOut +
              " 2>" + kSpLog + " </dev/null & echo $! >/tmp/sp.pid");
    for (int i = 0; i < 500; ++i) {
        if (board.readFile(kSpLog).value_or("").find("listening") != std::string::npos)
            break;
        std::this_thread::sleep_for(Millis{10});
    }
    std::printf("  %s", board.readFile(kSpLog).value_or("(not listening)\n").c_str());
}

// Prints a text indented, a line at a time.
void indented(const std::string& text)
{
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        std::printf("  %s\n", line.c_str());
}

// Heartbeats counted over `span`, as the simulated driver saw them.
void countHeartbeats(testbed::Board& board, Millis span)
{
    const std::uint64_t before = board.driver().heartbeatCount();
    std::this_thread::sleep_for(span);
    const std::uint64_t after = board.driver().heartbeatCount();
    std::printf("  heartbeats: %llu in %lld ms (%llu so far)\n", static_cast<unsigned long long>(after - before),
                static_cast<long long>(span.count()), static_cast<unsigned long long>(after));
}

const char* const kCpuinfo = "processor\t: 0\n"
                             "vendor_id\t: AuthenticAMD\n"
                             "cpu family\t: 15\n"
                             "model\t\t: 5\n"
                             "model name\t: AMD Opteron(tm) Processor 248\n"
                             "stepping\t: 10\n"
                             "cpu MHz\t\t: 2193.798\n"
                             "\n"
                             "processor\t: 1\n"
                             "vendor_id\t: AuthenticAMD\n"
                             "cpu family\t: 15\n"
                             "model\t\t: 5\n"
                             "model name\t: AMD Opteron(tm) Processor 248\n"
                             "stepping\t: 10\n"
                             "cpu MHz\t\t: 2193.798\n"
                             "\n";

const char* const kMainInventory = "<Inventory>\n"
                                   "<SoftwareInventory>\n"
                                   "<Software>\n"
                                   "<SWName>Platform</SWName>\n"
                                   "<SWRev>1.4</SWRev>\n"
                                   "<SWInfo>Board firmware</SWInfo>\n"
                                   "</Software>\n"
                                   "</SoftwareInventory>\n"
                                   "</Inventory>\n";

std::string packageInventory(const char* name, const char* rev, const char* info)
{
    return std::string("<Inventory>\n<SoftwareInventory>\n<Software>\n<SWName>") + name + "</SWName>\n<SWRev>" + rev +
           "</SWRev>\n<SWInfo>" + info + "</SWInfo>\n</Software>\n</SoftwareInventory>\n</Inventory>\n";
}

// The host's files that the commands read, as a small rack server has them.
void prepareHost(testbed::Board& board)
{
    board.writeFile("/etc/init.d/vorn", fileText(VORN_INIT_SCRIPT_FILE), 0755);
    board.writeFile("/etc/kelmora/swinventory.xml", kMainInventory);
    board.writeFile("/etc/kelmora/hlink/swinventory.xml", packageInventory("hlink", "2.0", "Host-link driver"));
    board.writeFile("/etc/kelmora/oxa_mc/swinventory.xml",
                    packageInventory("oxa_mc", "1.1", "Management-controller driver"));
    board.writeFile("/etc/kelmora/vorn/swinventory.xml", fileText(VORN_AGENT_INVENTORY_FILE));
    board.writeFile("/etc/resolv.conf", "search board.example\nnameserver 10.0.0.1\n");
    board.bindOver("/proc/cpuinfo", kCpuinfo);

    const int temps[] = {41, 43, 39, -2};
    for (int cpu = 0; cpu < 4; ++cpu)
        board.driver().setCpuTemp(cpu, temps[cpu]);
    board.driver().setCpuidValue(0x0f);
    platform_data_t map{};
    map.dram_base_reg[0] = 0x00000003;
    map.dram_limit_reg[0] = 0x003f0000;
    map.dram_base_reg[1] = 0x00400003;
    map.dram_limit_reg[1] = 0x007f0001;
    map.dram_cs_base_reg[0][0] = 0x00000001;
    map.dram_cs_base_reg[0][1] = 0x00200001;
    map.dram_cs_mask_reg[0][0] = 0x00783fe0;
    map.dram_cs_mask_reg[0][1] = 0x00783fe0;
    board.driver().setDimmMap(map);
}

testbed::McRecords machineCheck()
{
    testbed::McRecords records{};
    for (std::uint32_t cpu = 0; cpu < MC_RECORDS_PER_POLL; ++cpu) {
        records[cpu].cpuId = cpu;
        records[cpu].version = 1;
    }
    // CPU 1 reports a corrected ECC error in its northbridge bank.
    records[1].errOccurred = 1;
    records[1].val[eMCG_STATUS_REG] = 0x0;
    records[1].val[eMC4_STATUS_REG] = 0x9c00400000000813ull;
    records[1].val[eMC4_ADDR_REG] = 0x000000003f7e1a40ull;
    return records;
}

int demo()
{
    testbed::Board board(testbed::BoardOptions{.startSp = false});
    std::printf("vorn on the simulated board (host %s, SP %s, stranger %s)\n", testbed::kPlatAddress,
                testbed::kSpAddress, testbed::kStrangerAddress);
    prepareHost(board);
    startSp(board, "--hb-interval 500 --mc-interval 250");
    board.start();
    std::printf("daemon started: pid %d (from /var/run/vorn.pid), processes:", board.daemonPid());
    for (const testbed::ProcessInfo& p : board.processes())
        std::printf(" %d(%s,%c)", p.pid, p.comm.c_str(), p.state);
    std::printf("\n");

    section("Small queries");
    vornctl(board, "time");
    vornctl(board, "hostname");
    vornctl(board, "version");

    section("Network and name servers");
    vornctl(board, "netstat");
    vornctl(board, "set-ip eth1 10.1.2.3 255.255.255.0");
    vornctl(board, "set-ip hlink0 10.9.9.9");
    std::printf("  (/sbin/ifconfig, a fake here, was called with:");
    for (const std::string& call : board.fakeCalls("ifconfig"))
        std::printf(" \"%s\"", call.c_str());
    std::printf(")\n");
    vornctl(board, "get-dns");
    vornctl(board, "set-dns 10.0.0.53");
    vornctl(board, "get-dns");

    section("Inventory, sensors, CPU identity, memory map");
    vornctl(board, "inventory");
    vornctl(board, "temps");
    vornctl(board, "cpuid 0");
    vornctl(board, "cpuid 1 --json");
    vornctl(board, "cpuid 7");
    vornctl(board, "dimm-map");

    section("Heartbeats and poll intervals");
    std::printf("  the SP gave the heartbeat monitor 500 ms and the MC monitor 250 ms\n");
    countHeartbeats(board, Millis{1500});
    vornctl(board, "hb-interval 100");
    countHeartbeats(board, Millis{1500});
    vornctl(board, "mc-interval 99");
    vornctl(board, "mc-interval 250");

    section("A machine-check error reaches the SP");
    board.driver().queueMcRecords(machineCheck());
    std::printf("  the MC driver hands out four records; CPU 1's reports an error\n");
    std::printf("  vornctl sp received it, kept it in %s and printed it decoded:\n", kRecords);
    std::string decoded;
    for (int i = 0; i < 500 && decoded.find("\n\n") == std::string::npos; ++i) {
        std::this_thread::sleep_for(Millis{10});
        decoded = board.readFile(kSpOut).value_or("");
    }
    indented(decoded.empty() ? std::string("(no record within 5 s)") : decoded);
    std::printf("\n$ vornctl decode-mce --json %s\n", kRecords);
    std::fflush(stdout);
    indented(board.run(std::string(VORNCTL_FILE) + " decode-mce --json " + kRecords).output);

    section("Power commands (the programs are fakes here; vornctl asks unless --yes)");
    vornctl(board, "--yes shutdown");
    vornctl(board, "--yes poweroff");
    vornctl(board, "--yes reboot");
    vornctl(board, "--yes forced-reboot");
    for (const char* name : {"shutdown", "init", "reboot"}) {
        std::printf("  /sbin/%s was called with:", name);
        for (const std::string& call : board.fakeCalls(name))
            std::printf(" \"%s\"", call.c_str());
        std::printf("\n");
    }

    section("Strangers and unknown letters");
    vornctl(board, "version", testbed::kStrangerAddress);
    board.waitForLog("Incoming request from wrong IP\n", LOG_INFO, Millis{1000});
    vornctl(board, "raw 'x'");

    section("The host link moves");
    vornctl(board, "set-hlink 169.254.101.4 169.254.101.2");
    // The agent answers first; then it rewrites the init script, moves hlink0,
    // tells the driver (SP address last) and sets its listener up afresh.
    for (int i = 0; i < 200 && board.driver().setRequests().size() < 2; ++i)
        std::this_thread::sleep_for(Millis{10});
    const std::string script = board.readFile("/etc/init.d/vorn").value_or("");
    const auto at = script.find("\nifconfig hlink0 ");
    if (at != std::string::npos)
        std::printf("  /etc/init.d/vorn now holds: \"%s\"\n",
                    script.substr(at + 1, script.find('\n', at + 1) - at - 1).c_str());
    std::printf("  the host-link driver now holds: host 0x%08llx, SP 0x%08llx\n",
                static_cast<unsigned long long>(board.driver().platIp()),
                static_cast<unsigned long long>(board.driver().spIp()));
    for (int i = 0; i < 200 && !testbed::listensOn(board.daemonPid(), testbed::kServerPort); ++i)
        std::this_thread::sleep_for(Millis{10});
    std::this_thread::sleep_for(Millis{100});
    vornctl(board, "version");

    board.stopDaemon();
    section("The SP's exchanges (vornctl sp on standard error)");
    board.run("kill -TERM \"$(cat /tmp/sp.pid)\"");
    std::this_thread::sleep_for(Millis{100});
    indented(board.readFile(kSpLog).value_or(""));

    section("Log (priority, ident, pid, text)");
    for (const testbed::LogLine& line : board.log())
        std::printf("  %-5s %s[%d] \"%s\"\n", priorityName(line.priority), line.ident.c_str(), line.pid,
                    testbed::printable(line.text).c_str());
    std::printf("\ndaemon stopped.\n");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (!testbed::insideSandbox()) {
        std::fflush(stdout);
        char self[4096];
        const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0)
            return 1;
        self[n] = '\0';
        (void)argc;
        (void)argv;
        execl(testbed::sandboxProgram(), "vorn-sandbox", self, nullptr);
        std::fprintf(stderr, "vorn-demo: cannot run %s: %s\n", testbed::sandboxProgram(), std::strerror(errno));
        return 1;
    }
    try {
        return demo();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vorn-demo: %s\n", e.what());
        return 1;
    }
}
