// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The package on a real init system: the built .deb installed with dpkg in a
// booted container, the agent run by its hardened unit, the real programs
// (ifconfig, mv, sed, shutdown, reboot, init) doing what the SP asks, and
// only the platform drivers simulated.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "container.h"

using namespace vorn_system;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

constexpr const char* kInitScript = "/etc/init.d/vorn";

bool inCi()
{
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

class SystemTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string reason = unavailableReason();
        if (!reason.empty()) {
            if (inCi()) {
                FAIL() << "the system tests cannot run: " << reason;
            }
            GTEST_SKIP() << "the system tests cannot run: " << reason;
        }
        static bool entered = false;
        if (!entered) {
            enterPrivateNamespaces();
            entered = true;
        }
    }

    // Boots a container; a failure to boot fails the test.
    void boot(Container::Devices devices)
    {
        try {
            box_ = std::make_unique<Container>(Container::Options{devices});
        } catch (const std::exception& e) {
            FAIL() << e.what();
        }
    }

    // Installs the package and waits until its unit has started the agent
    // and the agent answers.
    void installAndWaitForTheAgent()
    {
        const Ran installed = box_->install();
        ASSERT_EQ(installed.exitCode(), 0) << installed.output;
        ASSERT_TRUE(eventually([&] { return box_->output("systemctl is-active vorn") == "active"; }, Millis{20000}))
            << box_->unitJournal();
        ASSERT_TRUE(eventually([&] { return box_->vornctl({"time"}).exitCode() == 0; }, Millis{20000}))
            << box_->vornctl({"time"}).output << box_->unitJournal();
    }

    std::string mainPid() const { return box_->output("systemctl show -p MainPID --value vorn"); }

    // How long after since the SP is served by an agent other than the one
    // with process id old; nothing if not within timeout.
    std::optional<Millis> servedAgain(const std::string& old, Clock::time_point since, Millis timeout) const
    {
        const bool served = eventually(
            [&] {
                const std::string pid = mainPid();
                return !pid.empty() && pid != "0" && pid != old && box_->vornctl({"time"}).exitCode() == 0;
            },
            timeout, Millis{100});
        if (!served)
            return std::nullopt;
        return std::chrono::duration_cast<Millis>(Clock::now() - since);
    }

    std::unique_ptr<Container> box_;
};

// Installed on a board: enabled, started, confined, serving every letter with
// the real programs, restarted on the address that J wrote, and stopped.
TEST_F(SystemTest, TheUnitRunsTheAgentOnTheBoard)
{
    ASSERT_NO_FATAL_FAILURE(boot(Container::Devices::Simulated));
    ASSERT_NO_FATAL_FAILURE(installAndWaitForTheAgent());
    EXPECT_EQ(box_->output("systemctl is-enabled vorn"), "enabled");

    // Three processes; the pid file names the request server, the unit's
    // main process.
    ASSERT_TRUE(eventually([&] { return box_->agentProcesses().size() == 3; }, Millis{10000}));
    const std::string pid = mainPid();
    EXPECT_EQ(box_->output("cat /run/vorn.pid"), pid);
    EXPECT_EQ(box_->output("cat /proc/" + pid + "/comm"), "vorn");
    // Confined as the unit says: CAP_NET_ADMIN (12) and CAP_SYS_BOOT (22)
    // alone, no new privileges.
    EXPECT_EQ(box_->output("grep -E '^(CapBnd|NoNewPrivs)' /proc/" + pid + "/status"),
              "CapBnd:\t0000000000401000\nNoNewPrivs:\t1");

    // The monitors run on the simulated drivers and log to the journal; no
    // SP listens, so they take the default intervals.
    EXPECT_TRUE(box_->waitForAgentJournal("HB failed to get poll rate from SP"));
    EXPECT_TRUE(box_->waitForAgentJournal("MC failed to get poll rate from SP"));
    testbed::simdrv::State& driver = box_->driver();
    EXPECT_TRUE(eventually(
        [&] {
            testbed::SharedLock lock(driver.lock);
            return driver.heartbeatCount >= 1 && driver.mcPolls >= 1;
        },
        Millis{15000}));

    // Every letter answers under the unit.
    for (const std::vector<std::string>& query : std::vector<std::vector<std::string>>{{"version"},
                                                                                       {"time"},
                                                                                       {"get-dns"},
                                                                                       {"temps"},
                                                                                       {"cpuid", "0"},
                                                                                       {"dimm-map"},
                                                                                       {"hb-interval", "1000"},
                                                                                       {"mc-interval", "1000"}}) {
        const Ran r = box_->vornctl(query);
        EXPECT_EQ(r.exitCode(), 0) << query.front() << ": " << r.output;
    }
    EXPECT_THAT(box_->vornctl({"hostname"}).output, HasSubstr(box_->output("hostname")));
    // The host's name as it is now, not as it was when the agent started
    // (the container's own UTS namespace).
    ASSERT_EQ(box_->run("hostname vorn-renamed").exitCode(), 0);
    EXPECT_EQ(box_->vornctl({"hostname"}).output, "hostname   vorn-renamed\ncmdRetVal  0\n");
    EXPECT_THAT(box_->vornctl({"netstat"}).output, HasSubstr("interface  hlink0\n"));
    EXPECT_THAT(box_->vornctl({"cpuid", "0"}).output, HasSubstr("(ok)"));
    const Ran invalid = box_->vornctl({"raw", "x"});
    EXPECT_EQ(invalid.exitCode(), 1);
    EXPECT_EQ(invalid.output, "vornctl: agent: Invalid request\n");

    // The platform's inventory, and the drivers' packages' own.
    box_->run("mkdir -p /etc/kelmora/hlink /etc/kelmora/oxa_mc && cat > /etc/kelmora/swinventory.xml", Millis{10000},
              "<Inventory>\n<SoftwareInventory>\n<Software>\n<SWName>Platform</SWName>\n<SWRev>1.4</SWRev>\n"
              "</Software>\n</SoftwareInventory>\n</Inventory>\n");
    box_->run("cat > /etc/kelmora/hlink/swinventory.xml", Millis{10000},
              "<Software> <SWName>hlink</SWName> </Software>\n");
    box_->run("cat > /etc/kelmora/oxa_mc/swinventory.xml", Millis{10000},
              "<Software> <SWName>oxa_mc</SWName> </Software>\n");
    const Ran inventory = box_->vornctl({"inventory"});
    EXPECT_EQ(inventory.exitCode(), 0) << inventory.output;
    EXPECT_THAT(inventory.output, HasSubstr("Platform"));
    EXPECT_THAT(inventory.output, HasSubstr("vorn"));

    // D rewrites the container's /etc/resolv.conf through /bin/mv.
    const Ran dns = box_->vornctl({"set-dns", "10.1.2.3"});
    EXPECT_EQ(dns.exitCode(), 0) << dns.output;
    EXPECT_THAT(box_->output("cat /etc/resolv.conf"),
                HasSubstr("; generated by the Service Processor\nnameserver 10.1.2.3"));
    EXPECT_THAT(box_->vornctl({"get-dns"}).output, HasSubstr("10.1.2.3"));

    // E runs the real ifconfig on an interface of the container.
    const Ran setIp = box_->vornctl({"set-ip", "eth1", "10.9.8.7", "255.255.255.0"});
    EXPECT_EQ(setIp.exitCode(), 0) << setIp.output;
    EXPECT_THAT(box_->output("ip -4 -o addr show dev eth1"), HasSubstr("inet 10.9.8.7/24"));

    // J answers, rewrites the init script, moves hlink0 and listens on the
    // new address.
    const Ran moved = box_->vornctl({"set-hlink", "169.254.101.4", "169.254.101.2"});
    EXPECT_EQ(moved.exitCode(), 0) << moved.output;
    EXPECT_TRUE(eventually(
        [&] {
            return box_->output(std::string("cat ") + kInitScript).find("\nifconfig hlink0 169.254.101.4\n") !=
                   std::string::npos;
        },
        Millis{10000}));
    EXPECT_TRUE(eventually(
        [&] { return box_->output("ip -4 -o addr show dev hlink0").find("169.254.101.4/") != std::string::npos; },
        Millis{10000}));
    EXPECT_TRUE(eventually([&] { return box_->vornctl({"time"}, "169.254.101.4").exitCode() == 0; }, Millis{10000}));
    EXPECT_EQ(box_->run(std::string("sh -n ") + kInitScript).exitCode(), 0);
    EXPECT_EQ(box_->run("test -e /.vorn").exitCode(), 1) << "J left its working copy";

    // A restart brings hlink0 up on the address that J wrote. The driver now
    // refuses the host address, so only the init script's line can set it.
    {
        testbed::SharedLock lock(driver.lock);
        driver.failMask |= 1u << testbed::simdrv::kGetPlatIp;
    }
    box_->run("ip addr flush dev hlink0");
    const Ran restarted = box_->run("systemctl restart vorn");
    EXPECT_EQ(restarted.exitCode(), 0) << restarted.output;
    EXPECT_TRUE(box_->waitForAgentJournal("IOCTL_GET_PLAT_IP failed"));
    EXPECT_THAT(box_->output("ip -4 -o addr show dev hlink0"), HasSubstr("inet 169.254.101.4/"));
    EXPECT_TRUE(eventually([&] { return box_->vornctl({"time"}, "169.254.101.4").exitCode() == 0; }, Millis{10000}));

    // A stop leaves no process of the agent, within the unit's timeout.
    ASSERT_TRUE(eventually([&] { return box_->agentProcesses().size() == 3; }, Millis{10000}));
    const auto stopStart = Clock::now();
    const Ran stopped = box_->run("systemctl stop vorn", Millis{30000});
    const auto stopTook = std::chrono::duration_cast<Millis>(Clock::now() - stopStart);
    EXPECT_EQ(stopped.exitCode(), 0) << stopped.output;
    EXPECT_LT(stopTook, Millis{10000});
    EXPECT_TRUE(box_->run("for p in /proc/[0-9]*; do [ \"$(cat $p/comm 2>/dev/null)\" = vorn ] && exit 1; done; "
                          "exit 0")
                    .exitCode() == 0)
        << "a process named vorn is left";
    EXPECT_EQ(box_->output("systemctl is-active vorn"), "inactive") << box_->unitJournal();
    std::printf("systemctl stop took %lld ms\n", static_cast<long long>(stopTook.count()));
}

// Without the host-link device the unit does not start the agent, and says
// why; with device nodes whose driver answers nothing it starts it, and the
// agent logs the failed requests and still serves.
TEST_F(SystemTest, TheUnitStartsTheAgentOnlyWhereTheHostLinkDeviceIs)
{
    ASSERT_NO_FATAL_FAILURE(boot(Container::Devices::None));
    const Ran installed = box_->install();
    ASSERT_EQ(installed.exitCode(), 0) << installed.output;
    EXPECT_EQ(box_->output("systemctl is-enabled vorn"), "enabled");
    EXPECT_TRUE(eventually(
        [&] { return box_->unitJournal().find("ConditionPathExists=/dev/hlink") != std::string::npos; }, Millis{10000}))
        << box_->unitJournal();
    EXPECT_EQ(box_->output("systemctl is-active vorn"), "inactive");
    EXPECT_TRUE(box_->agentProcesses().empty());

    // The driver's nodes appear, but no driver answers behind them.
    ASSERT_EQ(box_->run("mknod -m 0600 /dev/hlink c 1 3 && mknod -m 0600 /dev/oxa_mc c 1 3").exitCode(), 0);
    const Ran started = box_->run("systemctl start vorn");
    EXPECT_EQ(started.exitCode(), 0) << started.output << box_->unitJournal();
    EXPECT_TRUE(box_->waitForAgentJournal("IOCTL_GET_PLAT_IP failed")) << box_->agentJournal();
    EXPECT_TRUE(box_->waitForAgentJournal("IOCTL_HB_BEAT failed")) << box_->agentJournal();
    EXPECT_TRUE(box_->waitForAgentJournal("IOCTL_MC_REG_IF failed")) << box_->agentJournal();
    // The unit's own line of the init script brought hlink0 up.
    EXPECT_THAT(box_->output("ip -4 -o addr show dev hlink0"), HasSubstr("inet 169.254.101.3/"));
    const Ran time = box_->vornctl({"time"});
    EXPECT_EQ(time.exitCode(), 0) << time.output;
    const Ran temps = box_->vornctl({"temps"});
    EXPECT_EQ(temps.exitCode(), 1) << temps.output;
    EXPECT_EQ(box_->output("systemctl is-active vorn"), "active");
}

std::size_t occurrences(const std::string& text, const std::string& word)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + word.size()))
        ++n;
    return n;
}

// An agent whose request server gave up, that was killed, or that hung is
// started again by its unit; each fault's time until the SP is served again
// is printed.
TEST_F(SystemTest, TheUnitBringsTheAgentBackAfterEachFault)
{
    ASSERT_NO_FATAL_FAILURE(boot(Container::Devices::Simulated));
    ASSERT_NO_FATAL_FAILURE(installAndWaitForTheAgent());

    // Port 6789 held by another program when the unit starts: the agent
    // ends with a failure and is started again until the port is free.
    ASSERT_EQ(box_->run("systemctl stop vorn").exitCode(), 0);
    const Ran holder = box_->run("systemd-run --unit=port-holder perl -MIO::Socket::INET -e "
                                 "'@s = IO::Socket::INET->new(LocalPort => 6789, Listen => 1, ReuseAddr => 1); sleep'");
    ASSERT_EQ(holder.exitCode(), 0) << holder.output;
    ASSERT_TRUE(eventually([&] { return !box_->output("ss -Hltn 'sport = :6789'").empty(); }, Millis{10000}))
        << box_->run("ss -ltn; systemctl status port-holder; journalctl -b -u port-holder").output;
    ASSERT_EQ(box_->run("systemctl start --no-block vorn").exitCode(), 0);
    EXPECT_TRUE(eventually([&] { return occurrences(box_->agentJournal(), "bind error") >= 2; }, Millis{20000}))
        << box_->unitJournal();
    EXPECT_THAT(box_->agentJournal(), HasSubstr(" exiting"));
    EXPECT_THAT(box_->unitJournal(), HasSubstr("Scheduled restart job"));
    auto fault = Clock::now();
    ASSERT_EQ(box_->run("systemctl stop port-holder").exitCode(), 0);
    const auto portFreed = servedAgain("", fault, Millis{20000});
    ASSERT_TRUE(portFreed) << box_->unitJournal();
    EXPECT_LT(*portFreed, Millis{10000});

    // The parent killed: no monitor is left, and the agent that the unit
    // starts asks the SP for its intervals again (none answers here).
    ASSERT_TRUE(eventually([&] { return box_->agentProcesses().size() == 3; }, Millis{10000}));
    const std::vector<pid_t> before = box_->agentProcesses();
    const std::string killed = mainPid();
    const std::size_t asked = occurrences(box_->agentJournal(), "HB failed to get poll rate from SP");
    fault = Clock::now();
    ASSERT_EQ(box_->run("kill -KILL " + killed).exitCode(), 0);
    const auto afterKill = servedAgain(killed, fault, Millis{20000});
    ASSERT_TRUE(afterKill) << box_->unitJournal();
    EXPECT_TRUE(eventually(
        [&] {
            const std::vector<pid_t> now = box_->agentProcesses();
            return std::none_of(now.begin(), now.end(),
                                [&](pid_t p) { return std::count(before.begin(), before.end(), p) > 0; });
        },
        Millis{10000}))
        << "a process of the killed agent is left";
    EXPECT_TRUE(
        eventually([&] { return occurrences(box_->agentJournal(), "HB failed to get poll rate from SP") > asked; },
                   Millis{10000}));

    // The request server stopped: the watchdog (30 s) ends the agent, and the
    // unit starts it again after its restart delay (2 s).
    const std::string stopped = mainPid();
    fault = Clock::now();
    ASSERT_EQ(box_->run("kill -STOP " + stopped).exitCode(), 0);
    const auto afterHang = servedAgain(stopped, fault, Millis{60000});
    ASSERT_TRUE(afterHang) << box_->unitJournal();
    EXPECT_LT(*afterHang, Millis{30000 + 2000 + 3000}) << "and 3 s to start";
    EXPECT_THAT(box_->unitJournal(), HasSubstr("Watchdog timeout"));

    std::printf("served again %lld ms after the port was freed, %lld ms after SIGKILL, %lld ms after SIGSTOP\n",
                static_cast<long long>(portFreed->count()), static_cast<long long>(afterKill->count()),
                static_cast<long long>(afterHang->count()));
}

// The real power programs, inside the booted container only. shutdown,
// init 0 and reboot ask the container's systemd, and return: the SP gets
// its reply, then the container goes down in order. reboot -f restarts it
// at once with the reboot() system call, the agent with it, which may not
// live to reply.
class Power : public SystemTest {
protected:
    // command: vornctl's; nspawnExit: systemd-nspawn's exit code, 0 after a
    // power-off, 133 after a reboot.
    void sendAndWaitForTheEnd(const std::string& command, bool replies, int nspawnExit)
    {
        ASSERT_NO_FATAL_FAILURE(boot(Container::Devices::Simulated));
        ASSERT_NO_FATAL_FAILURE(installAndWaitForTheAgent());
        try {
            box_->requireBootedContainer();
        } catch (const std::exception& e) {
            FAIL() << "no power request is sent: " << e.what();
        }
        const Ran reply = box_->vornctl({"--yes", command});
        if (replies) {
            EXPECT_EQ(reply.exitCode(), 0) << reply.output;
            EXPECT_EQ(reply.output, "cmdRetVal  0\n");
        } else if (reply.exitCode() != 0) {
            // Closed (5) or cut off with the link (4). On a machine the
            // restart is immediate; in a container the agent may still get
            // its reply out while the kernel ends the container's processes.
            EXPECT_THAT(reply.exitCode(), ::testing::AnyOf(4, 5)) << reply.output;
            EXPECT_THAT(reply.output, Not(HasSubstr("cmdRetVal")));
        } else {
            EXPECT_EQ(reply.output, "cmdRetVal  0\n");
        }
        const std::optional<int> end = box_->waitForEnd(Millis{90000});
        ASSERT_TRUE(end.has_value()) << "the container is still running";
        EXPECT_EQ(*end, nspawnExit);
    }
};

TEST_F(Power, ShutdownPowersTheContainerOff)
{
    sendAndWaitForTheEnd("shutdown", true, 0);
}

TEST_F(Power, InitZeroPowersTheContainerOff)
{
    sendAndWaitForTheEnd("poweroff", true, 0);
}

TEST_F(Power, RebootRestartsTheContainer)
{
    sendAndWaitForTheEnd("reboot", true, 133);
}

TEST_F(Power, ForcedRebootRestartsTheContainerAtOnce)
{
    sendAndWaitForTheEnd("forced-reboot", false, 133);
}

} // namespace
