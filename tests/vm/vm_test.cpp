// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The agent on a real kernel: Debian 12's own kernel in a QEMU guest, both
// packages installed as a user installs them (DKMS built the drivers for
// that kernel), the agent run by its unit against the real device nodes,
// nothing preloaded. Everything is checked from the SP's side of the link,
// as a board's SP sees it: vornctl sends the requests over hlink0, and
// vornctl sp answers the agent's own connections and keeps its records.
//
// One boot serves every test, in the order written: the agent at start, the
// letters, machine checks, the host link moved, then a reboot and a
// power-off. A test that needs the earlier ones' state says so.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "guest.h"
#include "mc.h"
#include "vornctl/mc_record.h"

#ifndef VORNCTL_FILE
#error "VORNCTL_FILE: vornctl of this build"
#endif
#ifndef VORN_VM_IMAGE_DIR
#error "VORN_VM_IMAGE_DIR: where tests/vm/make-image put the guest"
#endif

using namespace vorn_vm;
using ::testing::HasSubstr;
using ::testing::Not;
using vorn_system::eventually;
using vorn_system::runProgram;

namespace {

constexpr const char* kHbInterval = "200"; // ms, as the SP gives it
constexpr const char* kMcInterval = "300"; // ms
constexpr const char* kSysfs = "/sys/class/misc/oxa_mc/";

bool inCi()
{
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

// The SP's end of the agent's own connections, in the background.
class SpEnd {
public:
    SpEnd(const std::string& runDir, const std::string& address, const char* mcInterval = kMcInterval)
        : records_(runDir + "/records.cap"), log_(runDir + "/sp.log")
    {
        unlink(records_.c_str());
        pid_ = vorn_system::startLogged({VORNCTL_FILE, "sp", "--address", address, "--hb-interval", kHbInterval,
                                         "--mc-interval", mcInterval, "--records", records_},
                                        log_);
    }
    SpEnd(const SpEnd&) = delete;
    SpEnd& operator=(const SpEnd&) = delete;
    ~SpEnd()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    std::string log() const { return vorn_system::readText(log_); }
    // The records kept, each 'x' and its 156 bytes.
    std::vector<RegIfVals> records() const
    {
        std::vector<RegIfVals> out;
        for (const vornctl::McRecordBytes& bytes : vornctl::splitMcRecords(vorn_system::readText(records_)).records) {
            RegIfVals r{};
            std::memcpy(&r, bytes.data(), sizeof r);
            out.push_back(r);
        }
        return out;
    }
    const std::string& recordsFile() const { return records_; }

private:
    std::string records_;
    std::string log_;
    pid_t pid_ = -1;
};

std::unique_ptr<Guest> guest;
std::unique_ptr<SpEnd> sp;
std::string setupFailure;

std::string runDir()
{
    return std::string(VORN_VM_IMAGE_DIR) + "/run";
}

// vornctl from the SP's end of the link.
Ran vornctl(const std::vector<std::string>& args, const std::string& host = "169.254.101.3",
            const std::string& source = "169.254.101.2")
{
    std::vector<std::string> argv{VORNCTL_FILE, "--host", host, "--source", source, "--timeout", "30"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, Millis{60000});
}

long sysfsNumber(const std::string& name)
{
    const std::string text = guest->output(std::string("cat ") + kSysfs + name);
    try {
        return std::stol(text);
    } catch (const std::exception&) {
        return -999;
    }
}

class VmTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        const std::string reason = unavailableReason(VORN_VM_IMAGE_DIR);
        if (!reason.empty()) {
            setupFailure = "the VM tests cannot run: " + reason;
            return;
        }
        try {
            vorn_system::enterPrivateNamespaces();
            mkdir(runDir().c_str(), 0755);
            guest = std::make_unique<Guest>(Guest::Options{VORN_VM_IMAGE_DIR, runDir()});
            // The SP listens before the guest's agent starts.
            sp = std::make_unique<SpEnd>(runDir(), "169.254.101.2");
            if (!guest->waitForShell(Millis{240000})) {
                setupFailure = "the guest did not come up in 240 s; its console:\n" + guest->console();
                return;
            }
            // The LAN is another host's: the guest's eth1 leads to a
            // namespace of its own. QEMU keeps its tap across the move, once
            // it holds it: its shell answers only after it opened its taps
            // (moved before, the tap would be left without its QEMU, which
            // would make a new one of that name here).
            vorn_system::ip("netns add lan");
            vorn_system::ip(std::string("link set ") + kLanTap + " netns lan");
            vorn_system::ip(std::string("-n lan addr add 10.9.8.1/24 dev ") + kLanTap);
            vorn_system::ip(std::string("-n lan link set ") + kLanTap + " up");
            vorn_system::ip("-n lan link set lo up");
            const auto lanLink = [] {
                return runProgram({vorn_system::ipProgram(), "-n", "lan", "link", "show", kLanTap}, Millis{5000})
                    .output;
            };
            if (!eventually([&] { return lanLink().find("LOWER_UP") != std::string::npos; }, Millis{10000}))
                setupFailure = "the LAN's tap has no QEMU behind it: " + lanLink();
        } catch (const std::exception& e) {
            setupFailure = e.what();
        }
    }
    static void TearDownTestSuite()
    {
        sp.reset();
        guest.reset();
    }
    void SetUp() override
    {
        if (!setupFailure.empty()) {
            if (inCi() || setupFailure.rfind("the VM tests cannot run", 0) != 0)
                FAIL() << setupFailure;
            GTEST_SKIP() << setupFailure;
        }
        ASSERT_TRUE(guest->running()) << "the guest has ended; its console:\n" << guest->console();
    }
    void TearDown() override
    {
        if (HasFailure() && guest)
            std::fprintf(stderr, "--- the guest's console (last 6000 bytes) ---\n%s\n--- the SP's log ---\n%s\n",
                         tail(guest->console(), 6000).c_str(), sp ? sp->log().c_str() : "");
    }
    static std::string tail(const std::string& s, std::size_t n) { return s.size() > n ? s.substr(s.size() - n) : s; }
};

TEST_F(VmTest, TheUnitStartsTheAgentOnTheRealDrivers)
{
    ASSERT_TRUE(
        eventually([] { return guest->output("systemctl is-active vorn") == "active"; }, Millis{120000}, Millis{1000}))
        << guest->output("systemctl status vorn; journalctl -b -u vorn");
    EXPECT_EQ(guest->output("uname -r").rfind("6.1.", 0), 0u) << "Debian 12's kernel";
    EXPECT_EQ(guest->output("systemd-detect-virt --vm"), "qemu");
    // The drivers: loaded at boot from DKMS's build, their nodes root's only.
    EXPECT_THAT(guest->output("lsmod"), HasSubstr("hlink"));
    EXPECT_THAT(guest->output("lsmod"), HasSubstr("oxa_mc"));
    EXPECT_THAT(guest->output("modinfo -n hlink oxa_mc"), HasSubstr("updates/dkms"));
    EXPECT_THAT(guest->output("stat -c '%A %U' /dev/hlink /dev/oxa_mc"), "crw------- root\ncrw------- root");
    EXPECT_EQ(guest->output("cat /proc/hlink/sp_ip"), "169.254.101.2");
    // Three processes; the pid file names the unit's main process; nothing
    // preloaded.
    const std::string pids = guest->output("pidof vorn");
    EXPECT_EQ(std::count(pids.begin(), pids.end(), ' '), 2) << pids;
    const std::string mainPid = guest->output("systemctl show -p MainPID --value vorn");
    EXPECT_EQ(guest->output("cat /run/vorn.pid"), mainPid);
    EXPECT_EQ(guest->output("grep -c vorn_simdrv /proc/" + mainPid + "/maps"), "0");
    EXPECT_THAT(guest->output("journalctl -b -o cat -u vorn"), HasSubstr("Started"));
    EXPECT_THAT(guest->output("ip -4 -o addr show hlink0"), HasSubstr("169.254.101.3/16"));
    // The heartbeat at the SP's interval: 200 ms, so about 20 beats in 4 s.
    // An emulated guest on a loaded machine wakes late, which the lower
    // bound allows; the default interval (4000 ms) would give one.
    ASSERT_TRUE(eventually([] { return sysfsNumber("heartbeats") > 0; }, Millis{60000}, Millis{1000}))
        << sp->log() << guest->output("journalctl -b -t VORN");
    const long before = sysfsNumber("heartbeats");
    std::this_thread::sleep_for(Millis{4000});
    const long beats = sysfsNumber("heartbeats") - before;
    EXPECT_GE(beats, 5);
    EXPECT_LE(beats, 24);
    EXPECT_LT(sysfsNumber("heartbeat_age_ms"), 2000);
    EXPECT_THAT(sp->log(), HasSubstr("'h'"));
    EXPECT_THAT(sp->log(), HasSubstr("'p'"));
}

// Every letter over the real link, answered by the agent under its unit
// with the real programs and drivers.
TEST_F(VmTest, EveryLetterAnswersOverTheHostLink)
{
    const Ran time = vornctl({"time"});
    EXPECT_EQ(time.exitCode(), 0) << time.output;
    EXPECT_EQ(vornctl({"hostname"}).output, "hostname   vorn-guest\ncmdRetVal  0\n");
    EXPECT_EQ(vornctl({"version"}).exitCode(), 0);
    const Ran netstat = vornctl({"netstat"});
    EXPECT_EQ(netstat.exitCode(), 0) << netstat.output;
    EXPECT_THAT(netstat.output, HasSubstr("hlink0"));
    EXPECT_THAT(netstat.output, HasSubstr("169.254.101.3"));
    EXPECT_THAT(netstat.output, HasSubstr("eth1"));
    EXPECT_THAT(vornctl({"get-dns"}).output, HasSubstr("10.99.0.53"));
    EXPECT_EQ(vornctl({"set-dns", "10.9.9.53"}).exitCode(), 0);
    EXPECT_THAT(guest->output("cat /etc/resolv.conf"),
                HasSubstr("; generated by the Service Processor\nnameserver 10.9.9.53"));
    const Ran setIp = vornctl({"set-ip", "eth1", "10.9.8.7", "255.255.255.0"});
    EXPECT_EQ(setIp.exitCode(), 0) << setIp.output;
    EXPECT_THAT(guest->output("ip -4 -o addr show eth1"), HasSubstr("10.9.8.7/24"));
    // The inventory: the platform's main file is not the packages'; with one
    // in place, the reply holds the agent's and both drivers' entries.
    EXPECT_THAT(vornctl({"--raw", "inventory"}).output, HasSubstr("/etc/kelmora/swinventory.xml"));
    ASSERT_EQ(
        guest
            ->shell("printf '<Inventory><SoftwareInventory>\\n<Software>\\n<SWName>board</SWName>\\n</Software>\\n"
                    "</SoftwareInventory></Inventory>\\n' >/etc/kelmora/swinventory.xml")
            .status,
        0);
    const Ran inventory = vornctl({"--raw", "inventory"});
    for (const char* name : {"board", "hlink", "oxa_mc", "vorn"})
        EXPECT_THAT(inventory.output, HasSubstr(std::string("<SWName>") + name + "</SWName>")) << inventory.output;
    // The guest's CPUs have no thermal sensor the driver reads (and no CPU 2
    // or 3): each index is reported failed. The CPU id value is the low byte
    // of CPU 0's CPUID signature: model and stepping.
    const Ran temps = vornctl({"--raw", "temps"});
    for (int cpu = 0; cpu < 4; ++cpu)
        EXPECT_THAT(temps.output, HasSubstr("<error>CPU" + std::to_string(cpu) + " temp read failed</error>"));
    const std::string signature = guest->output(
        "m=$(sed -n 's/^model[[:space:]]*: //p' /proc/cpuinfo | head -1); "
        "s=$(sed -n 's/^stepping[[:space:]]*: //p' /proc/cpuinfo | head -1); printf '%02x' $(( ((m & 15) << 4) | s ))");
    EXPECT_THAT(temps.output, HasSubstr("<cpuid>" + signature + "</cpuid>"));
    EXPECT_EQ(vornctl({"cpuid", "0"}).exitCode(), 0);
    const Ran map = vornctl({"--raw", "dimm-map"});
    EXPECT_EQ(map.output.size(), 576u);
    EXPECT_EQ(vornctl({"hb-interval", "200"}).exitCode(), 0);
    EXPECT_EQ(vornctl({"mc-interval", "300"}).exitCode(), 0);
    EXPECT_THAT(vornctl({"--raw", "raw", "x"}).output, HasSubstr("<error>Invalid request</error>"));
}

// A host on the LAN that is the guest's gateway and claims the SP's
// address is never served, on the guest's LAN address or on the host link's,
// with hlink0 up (its handshake is answered over hlink0 and never completes)
// or administratively down (the agent closes it unread and logs it); the SP
// over hlink0 is served before and after.
TEST_F(VmTest, ALanNeighbourClaimingTheSpsAddressIsNeverServed)
{
    ASSERT_EQ(vornctl({"set-ip", "eth1", "10.9.8.7", "255.255.255.0"}).exitCode(), 0);
    ASSERT_EQ(guest->shell("ip route replace default via 10.9.8.1 dev eth1").status, 0);
    vorn_system::ip(std::string("-n lan addr add 169.254.101.2/16 dev ") + kLanTap);
    vorn_system::ip("-n lan route add 169.254.101.3/32 via 10.9.8.7");
    // Both ends know each other's hardware address: an emulated guest on a
    // loaded machine may answer ARP too late for the attempts below.
    vorn_system::ip(std::string("-n lan link set ") + kLanTap + " address 52:54:00:76:6f:fe");
    vorn_system::ip(std::string("-n lan neigh replace 10.9.8.7 lladdr ") + kEth1Mac + " dev " + kLanTap +
                    " nud permanent");
    ASSERT_EQ(guest->shell("ip neigh replace 10.9.8.1 lladdr 52:54:00:76:6f:fe dev eth1 nud permanent").status, 0);
    const auto fromNeighbour = [](const std::string& host) {
        return runProgram({vorn_system::ipProgram(), "netns", "exec", "lan", VORNCTL_FILE, "--host", host, "--source",
                           "169.254.101.2", "--timeout", "5", "version"},
                          Millis{30000});
    };
    const auto refusals = [] {
        const std::string n = guest->output("journalctl -b -t VORN -o cat | grep -c 'Incoming request from wrong IP'");
        return n.empty() ? -1 : std::atoi(n.c_str());
    };
    const int before = refusals();
    for (const char* host : {"10.9.8.7", "169.254.101.3"}) {
        const Ran r = fromNeighbour(host);
        EXPECT_NE(r.exitCode(), 0) << host << " served the neighbour with hlink0 up: " << r.output;
        EXPECT_THAT(r.output, Not(HasSubstr("version"))) << host;
    }
    ASSERT_EQ(guest->shell("ip link set hlink0 down").status, 0);
    for (const char* host : {"10.9.8.7", "169.254.101.3"}) {
        const Ran r = fromNeighbour(host);
        EXPECT_EQ(r.exitCode(), 5) << host << " with hlink0 down: " << r.output; // closed without a reply
    }
    EXPECT_TRUE(eventually([&] { return refusals() == before + 2; }, Millis{10000}, Millis{500}))
        << guest->output("journalctl -b -t VORN -o cat | tail -5");
    std::fprintf(stderr, "--- the agent's log of the refused attempts ---\n%s\n",
                 guest->output("journalctl -b -t VORN | grep 'wrong IP' | tail -2").c_str());
    ASSERT_EQ(guest->shell("ip link set hlink0 up && ip route del default via 10.9.8.1").status, 0);
    EXPECT_TRUE(eventually([] { return vornctl({"version"}).exitCode() == 0; }, Millis{20000}, Millis{500}));
}

RegIfVals const* recordOf(const std::vector<RegIfVals>& records, unsigned bank)
{
    for (const RegIfVals& r : records)
        if (r.val[eMC0_STATUS_REG + 3 * bank] != 0)
            return &r;
    return nullptr;
}

// Machine checks reach the SP from both ends of the kernel's path, each
// once: corrected errors that the CPU reports (QEMU's monitor puts them in
// the banks; the kernel's poll finds them) and errors that the kernel's own
// injector logs. An error in a bank that the record cannot hold is counted.
TEST_F(VmTest, MachineChecksReachTheSpOnce)
{
    struct Injected {
        unsigned cpu;
        unsigned bank;
        std::uint64_t status;
        std::uint64_t addr;
    };
    const Injected fromCpu[] = {{0, 1, 0x9400000000000151ull, 0x12345000ull},
                                {1, 2, 0x940000000000080full, 0x6789a000ull}};
    const Injected fromKernel{1, 3, 0x9400000000000135ull, 0xabcd000ull};

    // The kernel polls the banks every second instead of every 5 minutes.
    ASSERT_EQ(
        guest->shell("for f in /sys/devices/system/machinecheck/machinecheck*/check_interval; do echo 1 >$f; done")
            .status,
        0);
    for (const Injected& e : fromCpu) {
        char command[128];
        std::snprintf(command, sizeof command, "mce %u %u 0x%llx 0 0x%llx 0", e.cpu, e.bank,
                      static_cast<unsigned long long>(e.status), static_cast<unsigned long long>(e.addr));
        const std::string said = guest->monitor(command);
        EXPECT_THAT(said, Not(HasSubstr("nvalid"))) << command;
    }
    const long unmappedBefore = sysfsNumber("records_unmapped");
    char inject[512];
    std::snprintf(inject, sizeof inject,
                  "modprobe mce-inject && cd /sys/kernel/debug/mce-inject && echo sw >flags && "
                  "echo 0x%llx >status && echo 0x%llx >addr && echo %u >cpu && echo %u >bank && "
                  "echo 0x9000000000000001 >status && echo 0 >addr && echo 0 >cpu && echo 6 >bank",
                  static_cast<unsigned long long>(fromKernel.status), static_cast<unsigned long long>(fromKernel.addr),
                  fromKernel.cpu, fromKernel.bank);
    const Ran injected = guest->shell(inject);
    ASSERT_EQ(injected.status, 0) << injected.output;

    ASSERT_TRUE(eventually([] { return sp->records().size() >= 3; }, Millis{60000}, Millis{500}))
        << sp->log() << guest->output("journalctl -k -b | grep -i mce");
    // Each once: nothing more arrives over several more polls.
    std::this_thread::sleep_for(Millis{3000});
    const std::vector<RegIfVals> records = sp->records();
    EXPECT_EQ(records.size(), 3u) << sp->log();
    EXPECT_EQ(sysfsNumber("records_unmapped"), unmappedBefore + 1);

    const std::string decoded = runProgram({VORNCTL_FILE, "decode-mce", sp->recordsFile()}, Millis{10000}).output;
    std::vector<Injected> all(std::begin(fromCpu), std::end(fromCpu));
    all.push_back(fromKernel);
    for (const Injected& e : all) {
        const RegIfVals* r = recordOf(records, e.bank);
        ASSERT_NE(r, nullptr) << "no record of bank " << e.bank << "\n" << sp->log();
        EXPECT_EQ(r->cpuId, e.cpu);
        EXPECT_EQ(r->errOccurred, 1u);
        EXPECT_EQ(r->val[eMC0_STATUS_REG + 3 * e.bank], e.status);
        EXPECT_EQ(r->val[eMC0_ADDR_REG + 3 * e.bank], e.addr);
        char status[80];
        char addr[80];
        std::snprintf(status, sizeof status, "status     0x%016llx", static_cast<unsigned long long>(e.status));
        std::snprintf(addr, sizeof addr, "addr       0x%016llx", static_cast<unsigned long long>(e.addr));
        EXPECT_THAT(decoded, HasSubstr(status));
        EXPECT_THAT(decoded, HasSubstr(addr));
        EXPECT_THAT(decoded, HasSubstr("bank " + std::to_string(e.bank)));
    }
    // What the CPU reported carries its global registers (QEMU's MCG_CAP:
    // 10 banks); the software injector's record has none.
    EXPECT_EQ(recordOf(records, 1)->val[eMCG_CAP_REG] & 0xff, 10u);
    std::fprintf(stderr, "--- decoded at the SP's end ---\n%s\n", decoded.c_str());
}

// Throws unless the agent that would act is the guest's: the power letters
// go over the tap of this process's own namespace to a QEMU guest.
void requireTheGuest()
{
    ASSERT_EQ(guest->output("systemd-detect-virt --vm"), "qemu");
    ASSERT_TRUE(guest->running());
}

// Records at the SP's end whose bank holds this status.
std::size_t arrived(std::uint64_t status, unsigned bank)
{
    std::size_t n = 0;
    for (const RegIfVals& r : sp->records())
        n += r.val[eMC0_STATUS_REG + 3 * bank] == status ? 1 : 0;
    return n;
}

// The kernel's own injector logs one error (mce-inject, software).
std::string injectCommand(unsigned cpu, unsigned bank, std::uint64_t status, std::uint64_t addr)
{
    char command[256];
    std::snprintf(command, sizeof command,
                  "modprobe mce-inject && cd /sys/kernel/debug/mce-inject && echo sw >flags && echo 0x%llx >status && "
                  "echo 0x%llx >addr && echo %u >cpu && echo %u >bank",
                  static_cast<unsigned long long>(status), static_cast<unsigned long long>(addr), cpu, bank);
    return command;
}

void inject(unsigned cpu, unsigned bank, std::uint64_t status, std::uint64_t addr)
{
    const Ran r = guest->shell(injectCommand(cpu, bank, status, addr));
    ASSERT_EQ(r.status, 0) << r.output;
}

void startAgent()
{
    ASSERT_EQ(guest->shell("systemctl start vorn").status, 0);
    ASSERT_TRUE(
        eventually([] { return guest->output("systemctl is-active vorn") == "active"; }, Millis{60000}, Millis{500}));
}

// An error that the kernel reported while oxa_mc was not loaded reaches the
// SP once the driver loads and the agent starts, exactly once: a reload
// brings it no second time.
TEST_F(VmTest, AnErrorFromBeforeTheDriverArrivesOnce)
{
    constexpr std::uint64_t kStatus = 0x9400000000000123ull;
    ASSERT_EQ(guest->shell("systemctl stop vorn && rmmod oxa_mc").status, 0);
    ASSERT_NO_FATAL_FAILURE(inject(1, 2, kStatus, 0x5000));
    EXPECT_THAT(guest->output("dmesg | tail -5"), HasSubstr("9400000000000123")) << "the kernel saw it";
    ASSERT_EQ(guest->shell("modprobe oxa_mc").status, 0);
    EXPECT_EQ(sysfsNumber("records_recovered"), 1);
    ASSERT_NO_FATAL_FAILURE(startAgent());
    ASSERT_TRUE(eventually([&] { return arrived(kStatus, 2) > 0; }, Millis{30000}, Millis{500})) << sp->log();
    for (const RegIfVals& r : sp->records()) {
        if (r.val[eMC2_STATUS_REG] != kStatus)
            continue;
        EXPECT_EQ(r.cpuId, 1u);
        EXPECT_EQ(r.val[eMC2_ADDR_REG], 0x5000u);
        EXPECT_EQ(r.val[eMCG_CAP_REG] & 0xff, 10u) << "MCG_CAP read from the CPU";
    }
    ASSERT_EQ(guest->shell("systemctl stop vorn && rmmod oxa_mc && modprobe oxa_mc").status, 0);
    EXPECT_EQ(sysfsNumber("records_recovered"), 0);
    ASSERT_NO_FATAL_FAILURE(startAgent());
    std::this_thread::sleep_for(Millis{3000});
    EXPECT_EQ(arrived(kStatus, 2), 1u);
    std::fprintf(stderr, "--- the driver's log at the reload ---\n%s\n",
                 guest->output("dmesg | grep oxa_mc | tail -4").c_str());
}

// 200 corrected errors and one uncorrected among them, as fast as the
// kernel's injector goes, at the agent's default interval (5000 ms): the
// uncorrected one arrives, and every corrected one arrives or is counted.
TEST_F(VmTest, ABurstArrivesWithItsUncorrectedError)
{
    constexpr std::uint64_t kCorrected = 0x9400000000000135ull;
    constexpr std::uint64_t kUncorrected = 0xbc00000000000135ull; // UC without PCC: no panic
    sp.reset();
    sp = std::make_unique<SpEnd>(runDir(), "169.254.101.2", "5000");
    ASSERT_EQ(guest->shell("systemctl restart vorn").status, 0);
    ASSERT_TRUE(eventually([] { return sp->log().find("'p'") != std::string::npos; }, Millis{30000}, Millis{500}));
    const long droppedBefore = sysfsNumber("records_dropped");
    const auto start = std::chrono::steady_clock::now();
    const Ran burst = guest->shell(injectCommand(0, 3, kCorrected, 0) +
                                       " && i=1; while [ $i -le 200 ]; do if [ $i = 100 ]; then "
                                       "echo 0xbc00000000000135 >status; echo 0x100 >addr; echo 4 >bank; fi; "
                                       "echo 0x9400000000000135 >status; echo $i >addr; echo 3 >bank; i=$((i+1)); done",
                                   Millis{300000});
    ASSERT_EQ(burst.status, 0) << burst.output;
    const double injectedS = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(eventually([&] { return arrived(kUncorrected, 4) == 1; }, Millis{30000}, Millis{200})) << sp->log();
    const double ucS = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The burst's first error came before the loop: 201 corrected in all.
    const auto settled = [&] {
        return arrived(kCorrected, 3) + static_cast<std::size_t>(sysfsNumber("records_dropped") - droppedBefore);
    };
    EXPECT_TRUE(eventually([&] { return settled() == 201; }, Millis{60000}, Millis{1000}))
        << "received " << arrived(kCorrected, 3) << ", dropped " << sysfsNumber("records_dropped") - droppedBefore;
    std::fprintf(stderr,
                 "burst: 201 corrected and 1 uncorrected injected in %.1f s; received %zu corrected, %ld "
                 "dropped; the uncorrected one arrived %.1f s after the start\n",
                 injectedS, arrived(kCorrected, 3), sysfsNumber("records_dropped") - droppedBefore, ucS);
    sp.reset();
    sp = std::make_unique<SpEnd>(runDir(), "169.254.101.2");
    ASSERT_EQ(guest->shell("systemctl restart vorn").status, 0);
}

// A reader stalled in the driver's copy (its buffer's page fault is never
// resolved) holds up neither the kernel's machine-check processing nor the
// records: an error meanwhile is logged and queued at once, and reaches the
// SP once the agent runs again. Another opener polling in a loop while the
// agent runs takes nothing from it.
TEST_F(VmTest, OtherReadersTakeNothingAndHoldNothingUp)
{
    constexpr std::uint64_t kStatus = 0x9400000000000124ull;
    ASSERT_EQ(guest->shell("systemctl stop vorn").status, 0);
    ASSERT_EQ(guest->shell("vorn-test-mcreader stall >/tmp/stall.out 2>&1 & echo $! >/tmp/stall.pid").status, 0);
    ASSERT_TRUE(
        eventually([] { return guest->output("cat /tmp/stall.out") == "stalling"; }, Millis{10000}, Millis{200}));
    ASSERT_NO_FATAL_FAILURE(inject(0, 2, kStatus, 0x6000));
    EXPECT_TRUE(eventually([] { return guest->output("dmesg").find("Bank 2: 9400000000000124") != std::string::npos; },
                           Millis{10000}, Millis{200}));
    EXPECT_TRUE(eventually([] { return sysfsNumber("records_queued") == 1; }, Millis{10000}, Millis{200}));
    EXPECT_EQ(guest->output("cat /tmp/stall.out"), "stalling") << "the reader is still stalled";
    ASSERT_EQ(guest->shell("kill -9 $(cat /tmp/stall.pid)").status, 0);
    ASSERT_NO_FATAL_FAILURE(startAgent());
    EXPECT_TRUE(eventually([&] { return arrived(kStatus, 2) == 1; }, Millis{20000}, Millis{200})) << sp->log();

    ASSERT_EQ(guest->shell("vorn-test-mcreader loop 3000 >/tmp/loop.out 2>&1 &").status, 0);
    constexpr std::uint64_t kThree = 0x9400000000000140ull;
    for (unsigned i = 1; i <= 3; ++i)
        ASSERT_NO_FATAL_FAILURE(inject(1, 1, kThree + i, 0));
    EXPECT_TRUE(
        eventually([&] { return arrived(kThree + 1, 1) + arrived(kThree + 2, 1) + arrived(kThree + 3, 1) == 3; },
                   Millis{20000}, Millis{200}))
        << sp->log();
    ASSERT_TRUE(eventually([] { return !guest->output("cat /tmp/loop.out").empty(); }, Millis{60000}, Millis{500}));
    EXPECT_THAT(guest->output("cat /tmp/loop.out"), HasSubstr("taken 0 busy 3000"));
}

// The driver's own edges: an unknown request, a bad pointer (the records
// stay queued, and reach the SP when the agent runs), removal while open,
// a bad module parameter.
TEST_F(VmTest, TheDriversEdges)
{
    constexpr std::uint64_t kStatus = 0x9400000000000125ull;
    ASSERT_EQ(guest->shell("systemctl stop vorn").status, 0);
    ASSERT_NO_FATAL_FAILURE(inject(0, 0, kStatus, 0));
    ASSERT_TRUE(eventually([] { return sysfsNumber("records_queued") == 1; }, Millis{10000}, Millis{200}));
    EXPECT_EQ(guest->output("vorn-test-mcreader edges"), "ENOTTY EFAULT");
    EXPECT_EQ(sysfsNumber("records_queued"), 1);
    EXPECT_NE(guest->shell("(sleep 30 </dev/oxa_mc & sleep 1; rmmod oxa_mc; s=$?; kill $!; exit $s)").status, 0);
    EXPECT_NE(guest->shell("rmmod hlink && modprobe hlink plat_ip=300.1.2.3").status, 0);
    ASSERT_EQ(guest->shell("modprobe hlink").status, 0);
    EXPECT_EQ(guest->output("cat /proc/hlink/sp_ip"), "169.254.101.2");
    ASSERT_NO_FATAL_FAILURE(startAgent());
    EXPECT_TRUE(eventually([&] { return arrived(kStatus, 0) == 1; }, Millis{20000}, Millis{200})) << sp->log();

    // The agent killed: an error queued before its unit brings it back
    // reaches the SP after the restart.
    constexpr std::uint64_t kWhileDown = 0x9400000000000126ull;
    const std::string pid = guest->output("systemctl show -p MainPID --value vorn");
    const Ran down = guest->shell("systemctl kill -s KILL vorn && " + injectCommand(0, 1, kWhileDown, 0) +
                                  " && sleep 0.2 && cat /sys/class/misc/oxa_mc/records_queued");
    EXPECT_THAT(down.output, testing::EndsWith("1\n")) << "queued while the agent was down";
    EXPECT_TRUE(eventually([&] { return arrived(kWhileDown, 1) == 1; }, Millis{30000}, Millis{200})) << sp->log();
    EXPECT_NE(guest->output("systemctl show -p MainPID --value vorn"), pid);
}

// An uncorrected, fatal error panics the guest's kernel, which restarts in
// the same QEMU; the banks keep the error across the reset, the kernel logs
// it at boot (mce=bootlog), and the driver, loaded later, sends it on.
TEST_F(VmTest, TheErrorThatResetTheHostArrivesAfterTheReboot)
{
    constexpr std::uint64_t kFatal = 0xbe00000000000c0bull; // VAL UC EN MISCV ADDRV PCC
    ASSERT_NO_FATAL_FAILURE(requireTheGuest());
    const int bootsBefore = guest->boots();
    guest->monitor("mce 0 4 0xbe00000000000c0b 0x5 0x8000 0");
    ASSERT_TRUE(eventually([&] { return guest->boots() > bootsBefore; }, Millis{120000}, Millis{500}))
        << guest->console();
    ASSERT_TRUE(guest->waitForShell(Millis{180000})) << guest->console();
    EXPECT_TRUE(eventually([] { return arrived(kFatal, 4) == 1; }, Millis{120000}, Millis{1000}))
        << sp->log() << guest->output("dmesg | grep -i -e mce -e 'Hardware Error' -e oxa_mc");
}

// 'J' moves both ends of the link: the driver's addresses and its proc file,
// hlink0, the init script's line, the listener; the agent then answers at
// the new address, the SP's end having moved with it.
TEST_F(VmTest, TheHostLinkMoves)
{
    const Ran moved = vornctl({"set-hlink", "169.254.101.4", "169.254.101.5"});
    ASSERT_EQ(moved.exitCode(), 0) << moved.output;
    vorn_system::ip(std::string("addr add 169.254.101.5/16 dev ") + kSpTap);
    EXPECT_TRUE(eventually([] { return guest->output("cat /proc/hlink/sp_ip") == "169.254.101.5"; }, Millis{20000},
                           Millis{500}));
    EXPECT_TRUE(eventually(
        [] { return guest->output("ip -4 -o addr show hlink0").find("169.254.101.4/") != std::string::npos; },
        Millis{20000}, Millis{500}));
    EXPECT_THAT(guest->output("grep 'ifconfig hlink0' /etc/init.d/vorn"), HasSubstr("ifconfig hlink0 169.254.101.4"));
    EXPECT_TRUE(eventually([] { return vornctl({"time"}, "169.254.101.4", "169.254.101.5").exitCode() == 0; },
                           Millis{30000}, Millis{500}))
        << vornctl({"time"}, "169.254.101.4", "169.254.101.5").output;
}

// 'b' reboots the guest (its kernel starts again in the same QEMU), after
// the reply; 's' then powers it off, and QEMU ends with the guest.
TEST_F(VmTest, RebootAndShutdownActOnTheGuest)
{
    ASSERT_NO_FATAL_FAILURE(requireTheGuest());
    const std::string host =
        guest->output("cat /proc/hlink/sp_ip") == "169.254.101.5" ? "169.254.101.4" : "169.254.101.3";
    const std::string source = host == "169.254.101.4" ? "169.254.101.5" : "169.254.101.2";
    const int bootsBefore = guest->boots();
    const Ran reboot = vornctl({"--yes", "reboot"}, host, source);
    ASSERT_EQ(reboot.exitCode(), 0) << reboot.output;
    ASSERT_TRUE(eventually([&] { return guest->boots() > bootsBefore; }, Millis{120000}, Millis{500}));
    ASSERT_TRUE(guest->waitForShell(Millis{180000})) << guest->console();
    // The reference driver starts from its parameters again: the agent
    // brings hlink0 up on 169.254.101.3, and the SP is 169.254.101.2.
    ASSERT_TRUE(eventually([] { return vornctl({"time"}).exitCode() == 0; }, Millis{120000}, Millis{1000}))
        << guest->output("systemctl status vorn; journalctl -b -u vorn");

    ASSERT_NO_FATAL_FAILURE(requireTheGuest());
    const Ran shutdown = vornctl({"--yes", "shutdown"});
    ASSERT_EQ(shutdown.exitCode(), 0) << shutdown.output;
    const std::optional<int> ended = guest->waitForEnd(Millis{120000});
    ASSERT_TRUE(ended.has_value()) << "the guest did not power off";
    EXPECT_TRUE(WIFEXITED(*ended) && WEXITSTATUS(*ended) == 0) << *ended;
    EXPECT_THAT(guest->console(), HasSubstr("reboot: Power down"));
}

} // namespace
