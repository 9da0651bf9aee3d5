// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The Debian package on the simulated board: installed with dpkg into the
// sandbox's copy-on-write root, the daemon started, reported and stopped
// through the installed init script, vornctl talking to it as the SP does.
#include <cstdlib>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testbed/board/board.h"

using namespace testbed;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::string kInstalledDaemon = "/usr/sbin/vorn";
const std::string kVornctl = "/usr/bin/vornctl";
const std::string kInitScript = "/etc/init.d/vorn";
const std::string kPidFile = "/var/run/vorn.pid";
const char* const kPolicy = "/usr/sbin/policy-rc.d";

// The mount that holds path, from this process's mount table: the longest
// mount point that is a prefix of it. Returns its file system type.
std::string fileSystemOf(const std::string& path)
{
    std::ifstream table("/proc/self/mountinfo");
    std::string line;
    std::string best;
    std::string type;
    while (std::getline(table, line)) {
        // id parent major:minor root mount-point options [optional...] - type source super-options
        std::istringstream fields(line);
        std::string id, parent, dev, root, mountPoint;
        fields >> id >> parent >> dev >> root >> mountPoint;
        std::string word;
        while (fields >> word && word != "-") {
        }
        std::string fsType;
        fields >> fsType;
        const bool prefix = mountPoint == "/" || path == mountPoint || path.starts_with(mountPoint + "/");
        if (prefix && mountPoint.size() >= best.size()) {
            best = mountPoint;
            type = fsType;
        }
    }
    return type;
}

// dpkg writes below these; each must be the sandbox's copy-on-write layer,
// never the machine's own file system.
bool dpkgWritesOnlyToTheOverlay(std::string* problem)
{
    for (const std::string path : {"/", "/etc", "/etc/init.d", "/usr", "/usr/sbin", "/usr/bin", "/var", "/var/lib/dpkg",
                                   "/usr/share/man", "/usr/lib/systemd"}) {
        const std::string type = fileSystemOf(path);
        if (type != "overlay") {
            *problem = path + " lies on " + (type.empty() ? std::string("no known mount") : type) +
                       ", not on the sandbox's overlay";
            return false;
        }
    }
    return true;
}

int exitCode(const RunResult& r)
{
    return WIFEXITED(r.status) ? WEXITSTATUS(r.status) : 128 + WTERMSIG(r.status);
}

bool processEnded(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) {
        return true;
    }
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

std::string readLink(const std::string& path)
{
    char buf[4096];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

bool eventually(const std::function<bool()>& condition, Millis timeout = kDefaultTimeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(Millis{10});
    }
    return true;
}

mode_t modeOf(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

class Package : public ::testing::Test {
protected:
    void SetUp() override
    {
        requireSandbox();
        std::string problem;
        if (!dpkgWritesOnlyToTheOverlay(&problem)) {
            const char* ci = std::getenv("CI");
            if (ci != nullptr && std::string(ci) == "true") {
                FAIL() << "cannot install the package safely: " << problem;
            }
            GTEST_SKIP() << "cannot install the package safely: " << problem;
        }
        // The sandbox has no service manager; its local policy, as in any
        // chroot, keeps the maintainer scripts from starting services, so
        // that each test starts the agent itself. Stops are allowed. (Where
        // it cannot tell the run level, invoke-rc.d asks about "(start)".)
        board_.writeFile(kPolicy, "#!/bin/sh\nfor a; do case $a in *start*) exit 101 ;; esac; done\nexit 0\n");
        ASSERT_EQ(exitCode(board_.run(std::string("chmod 0755 ") + kPolicy)), 0);
        // Without the other packages' triggers: rebuilding the manual's index
        // takes seconds and is not this package's doing.
        const RunResult r = board_.run("dpkg --no-triggers -i " VORN_DEB_FILE " " VORNCTL_DEB_FILE);
        ASSERT_EQ(exitCode(r), 0) << r.output;
    }

    void TearDown() override
    {
        if (const pid_t pid = board_.daemonPid(); pid > 0 && !processEnded(pid)) {
            board_.run("/etc/init.d/vorn stop");
        }
    }

    // The init script with the simulated drivers preloaded into the daemon.
    RunResult initScript(const std::string& action) { return board_.run(driverPreload() + kInitScript + " " + action); }

    // vornctl in a session of its own: without a controlling terminal, so
    // that a power command can never wait for an answer on a real one.
    // It runs on the SP's side of the link.
    RunResult vornctl(const std::string& args) { return board_.run(onSpSide("setsid -w " + kVornctl + " " + args)); }

    Board board_;
};

TEST_F(Package, PutsEveryFileInItsPlace)
{
    const RunResult status = board_.run("dpkg-query -W -f='${Status} ${Version}' vorn");
    EXPECT_EQ(status.output, "install ok installed " VORN_VERSION);

    EXPECT_EQ(modeOf(kInstalledDaemon), 0755u);
    EXPECT_EQ(modeOf(kVornctl), 0755u);
    EXPECT_EQ(modeOf(kInitScript), 0755u);
    for (const char* file :
         {"/usr/share/kelmora/vorn/swinventory.xml", "/lib/systemd/system/vorn.service", "/usr/share/man/man8/vorn.8.gz",
          "/usr/share/man/man1/vornctl.1.gz", "/usr/share/bash-completion/completions/vornctl"}) {
        EXPECT_EQ(modeOf(file), 0644u) << file;
    }

    // The configuration file survives an upgrade as the administrator (or
    // the SP's host-link command) left it. The inventory file, which carries
    // the version, is the package's own, linked from where the agent reads
    // it: an upgrade replaces it without asking.
    const RunResult conffiles = board_.run("dpkg-query -W -f='${Conffiles}' vorn");
    EXPECT_THAT(conffiles.output, HasSubstr("/etc/init.d/vorn "));
    EXPECT_THAT(conffiles.output, Not(HasSubstr("swinventory")));
    EXPECT_EQ(readLink("/etc/kelmora/vorn/swinventory.xml"), "/usr/share/kelmora/vorn/swinventory.xml");

    // Exactly one line of the init script is the one that the host-link
    // address command rewrites, and it brings hlink0 up on the host end.
    const std::string script = board_.readFile(kInitScript).value_or("");
    const std::regex rewritten("^.*ifconfig hlink0 [0-9].*$", std::regex::multiline);
    std::vector<std::string> lines;
    for (auto it = std::sregex_iterator(script.begin(), script.end(), rewritten); it != std::sregex_iterator(); ++it) {
        lines.push_back(it->str());
    }
    EXPECT_EQ(lines, std::vector<std::string>{"ifconfig hlink0 169.254.101.3"});
    EXPECT_THAT(script, HasSubstr("PIDFILE=/var/run/vorn.pid"));
    EXPECT_THAT(script, HasSubstr("DAEMON=/usr/sbin/vorn"));

    const std::string unit = board_.readFile("/lib/systemd/system/vorn.service").value_or("");
    EXPECT_THAT(unit, HasSubstr("Type=forking\n"));
    EXPECT_THAT(unit, HasSubstr("PIDFile=/run/vorn.pid\n"));
    EXPECT_THAT(unit, HasSubstr("ConditionPathExists=/dev/hlink\n"));

    // Debian's documentation of the package.
    for (const char* file : {"/usr/share/doc/vorn/copyright", "/usr/share/doc/vorn/changelog.gz",
                             "/usr/share/doc/vornctl/copyright"}) {
        EXPECT_EQ(modeOf(file), 0644u) << file;
    }
    // The maintainer script registered the init script and enabled the
    // unit, as Debian's helpers do; the policy kept it from starting it.
    EXPECT_EQ(readLink("/etc/rc2.d/S01vorn"), "../init.d/vorn");
    EXPECT_EQ(readLink("/etc/rc0.d/K01vorn"), "../init.d/vorn");
    EXPECT_EQ(readLink("/etc/systemd/system/multi-user.target.wants/vorn.service"), "/lib/systemd/system/vorn.service");
    EXPECT_EQ(board_.daemonPid(), 0);
    const RunResult depends = board_.run("dpkg-query -W -f='${Depends}' vorn");
    EXPECT_THAT(depends.output, HasSubstr("net-tools"));
    EXPECT_THAT(unit, HasSubstr("ExecStart=/usr/sbin/vorn\n"));

    const std::string inventory = board_.readFile("/etc/kelmora/vorn/swinventory.xml").value_or("");
    EXPECT_THAT(inventory, HasSubstr("<SWName>vorn</SWName>"));
    EXPECT_THAT(inventory, HasSubstr("<SWRev>" VORN_VERSION "</SWRev>"));

    const RunResult help = vornctl("--help");
    EXPECT_EQ(exitCode(help), 0);
    EXPECT_THAT(help.output, HasSubstr("usage: vornctl"));
    const RunResult man = board_.run("gzip -dc /usr/share/man/man1/vornctl.1.gz");
    EXPECT_THAT(man.output, HasSubstr(".SH \"EXIT STATUS\""));
}

TEST_F(Package, InitScriptStartsReportsAndStopsTheAgent)
{
    EXPECT_EQ(exitCode(initScript("status")), 3);

    const RunResult start = initScript("start");
    ASSERT_EQ(exitCode(start), 0) << start.output;
    const pid_t pid = board_.daemonPid();
    ASSERT_GT(pid, 0);
    EXPECT_THAT(start.output, HasSubstr("vorn started (pid " + std::to_string(pid) + ")"));
    EXPECT_EQ(readLink("/proc/" + std::to_string(pid) + "/exe"), kInstalledDaemon);
    // The script's own hlink0 line runs before the daemon brings the link up.
    const std::vector<std::string> ifconfig = board_.fakeCalls("ifconfig");
    ASSERT_FALSE(ifconfig.empty());
    EXPECT_EQ(ifconfig.front(), "hlink0 169.254.101.3");

    const RunResult running = initScript("status");
    EXPECT_EQ(exitCode(running), 0);
    EXPECT_THAT(running.output, HasSubstr("vorn is running (pid " + std::to_string(pid) + ")"));
    const RunResult again = initScript("start");
    EXPECT_EQ(exitCode(again), 0);
    EXPECT_THAT(again.output, HasSubstr("already running"));
    EXPECT_EQ(board_.daemonPid(), pid);

    ASSERT_TRUE(eventually([&] { return listensOn(pid, kServerPort); }));
    ASSERT_TRUE(eventually([&] { return board_.monitors().size() == 2; }));
    const std::vector<ProcessInfo> monitors = board_.monitors();

    const RunResult stop = initScript("stop");
    EXPECT_EQ(exitCode(stop), 0) << stop.output;
    EXPECT_THAT(stop.output, HasSubstr("vorn stopped"));
    EXPECT_TRUE(processEnded(pid));
    for (const ProcessInfo& m : monitors) {
        EXPECT_TRUE(processEnded(m.pid)) << m.pid;
    }
    EXPECT_FALSE(board_.readFile(kPidFile).has_value());
    EXPECT_EQ(exitCode(initScript("status")), 3);
    EXPECT_EQ(exitCode(initScript("stop")), 0);

    // Started again after a stop, it runs again.
    ASSERT_EQ(exitCode(initScript("restart")), 0);
    EXPECT_GT(board_.daemonPid(), 0);
    EXPECT_NE(board_.daemonPid(), pid);
}

TEST_F(Package, MovedHostLinkComesUpOnItsNewAddressAtTheNextStart)
{
    ASSERT_EQ(exitCode(initScript("start")), 0);
    ASSERT_TRUE(eventually([&] { return listensOn(board_.daemonPid(), kServerPort); }));

    const RunResult moved = vornctl("--source 169.254.101.2 set-hlink 169.254.101.4 169.254.101.2");
    ASSERT_EQ(exitCode(moved), 0) << moved.output;
    // The agent answers first and rewrites its init script afterwards.
    const std::string expected = "ifconfig hlink0 169.254.101.4";
    ASSERT_TRUE(eventually(
        [&] { return board_.readFile(kInitScript).value_or("").find("\n" + expected + "\n") != std::string::npos; }));
    EXPECT_EQ(board_.readFile(kInitScript).value_or("").find("169.254.101.3"), std::string::npos);
    EXPECT_EQ(exitCode(board_.run("sh -n " + kInitScript)), 0);
    EXPECT_EQ(modeOf(kInitScript), 0755u);

    ASSERT_EQ(exitCode(initScript("stop")), 0);
    const std::size_t before = board_.fakeCalls("ifconfig").size();
    const RunResult start = initScript("start");
    ASSERT_EQ(exitCode(start), 0) << start.output;
    const std::vector<std::string> ifconfig = board_.fakeCalls("ifconfig");
    ASSERT_GT(ifconfig.size(), before);
    EXPECT_EQ(ifconfig[before], "hlink0 169.254.101.4");
}

TEST_F(Package, VornctlTalksToTheInstalledAgent)
{
    board_.writeFile("/etc/kelmora/swinventory.xml", "<Inventory>\n<SoftwareInventory>\n<Software>\n"
                                                     "<SWName>Platform</SWName>\n<SWRev>1.4</SWRev>\n</Software>\n"
                                                     "</SoftwareInventory>\n</Inventory>\n");
    // The drivers' packages install theirs.
    board_.writeFile("/etc/kelmora/hlink/swinventory.xml", "<Software> <SWName>hlink</SWName> </Software>\n");
    board_.writeFile("/etc/kelmora/oxa_mc/swinventory.xml", "<Software> <SWName>oxa_mc</SWName> </Software>\n");
    board_.bindOver("/proc/cpuinfo", "processor\t: 0\nvendor_id\t: AuthenticAMD\ncpu family\t: 15\nmodel\t\t: 5\n"
                                     "model name\t: AMD Opteron(tm) Processor 248\nstepping\t: 10\n"
                                     "cpu MHz\t\t: 2193.798\n\n");
    ASSERT_EQ(exitCode(initScript("start")), 0);
    ASSERT_TRUE(eventually([&] { return listensOn(board_.daemonPid(), kServerPort); }));

    // An unknown letter, from the SP's address: the agent's error element.
    const RunResult invalid = vornctl("--source 169.254.101.2 raw x");
    EXPECT_EQ(exitCode(invalid), 1) << invalid.output;
    EXPECT_EQ(invalid.output, "vornctl: agent: Invalid request\n");

    const RunResult json = vornctl("--source 169.254.101.2 --json raw x");
    EXPECT_EQ(exitCode(json), 1);
    EXPECT_THAT(json.output, HasSubstr("\"errors\":[\"Invalid request\"]"));

    const RunResult raw = vornctl("--source 169.254.101.2 --raw raw x");
    EXPECT_EQ(raw.output, document("<error>Invalid request</error>"));

    // The agent's own inventory file, as the package installed it, is one
    // row of the merged inventory.
    const RunResult inventory = vornctl("--source 169.254.101.2 inventory");
    EXPECT_EQ(exitCode(inventory), 0) << inventory.output;
    EXPECT_THAT(inventory.output, HasSubstr("\nPlatform "));
    EXPECT_TRUE(std::regex_search(inventory.output, std::regex("\nvorn +0\\.6 +- +Service processor agent\n")))
        << inventory.output;

    // The CPU identity record, decoded and its checksum verified.
    const RunResult cpuid = vornctl("--source 169.254.101.2 cpuid 0");
    EXPECT_EQ(exitCode(cpuid), 0) << cpuid.output;
    EXPECT_THAT(cpuid.output, HasSubstr("model     AMD Opteron(tm) Processor 248\n"));
    EXPECT_THAT(cpuid.output, HasSubstr("ec        x86 Family 15 Model 5 Stepping 10\n"));
    EXPECT_THAT(cpuid.output, HasSubstr("mhz       2193\n"));
    EXPECT_THAT(cpuid.output, HasSubstr("(ok)"));
    EXPECT_EQ(exitCode(vornctl("--source 169.254.101.2 cpuid 4")), 1);

    // From anywhere else the agent closes the connection unread.
    const RunResult stranger = vornctl("--source 169.254.101.66 raw x");
    EXPECT_EQ(exitCode(stranger), 5) << stranger.output;
    EXPECT_THAT(stranger.output, HasSubstr("closed the connection without a reply"));
    EXPECT_TRUE(board_.waitForLog("Incoming request from wrong IP\n").has_value());

    // Nothing listens on another port.
    const RunResult refused = vornctl("--source 169.254.101.2 --port 6790 raw x");
    EXPECT_EQ(exitCode(refused), 3) << refused.output;
    EXPECT_THAT(refused.output, HasSubstr("connection refused"));

    // A power command is not sent without a terminal to confirm on; with
    // --yes it is.
    const RunResult unconfirmed = vornctl("--source 169.254.101.2 reboot");
    EXPECT_EQ(exitCode(unconfirmed), 8) << unconfirmed.output;
    EXPECT_TRUE(board_.fakeCalls("reboot").empty());
    const RunResult confirmed = vornctl("--source 169.254.101.2 --yes forced-reboot");
    EXPECT_EQ(exitCode(confirmed), 0) << confirmed.output;
    EXPECT_EQ(confirmed.output, "cmdRetVal  0\n");
    EXPECT_EQ(board_.fakeCalls("reboot"), std::vector<std::string>{"-f"});

    ASSERT_EQ(exitCode(initScript("stop")), 0);
    const RunResult stopped = vornctl("--source 169.254.101.2 raw x");
    EXPECT_EQ(exitCode(stopped), 3) << stopped.output;
}

TEST_F(Package, RemovalStopsTheAgentAndPurgeForgetsIt)
{
    ASSERT_EQ(exitCode(initScript("start")), 0);
    const pid_t pid = board_.daemonPid();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(eventually([&] { return board_.monitors().size() == 2; }));

    // The removal stops the agent through invoke-rc.d; the configuration
    // files stay, and so do the init script's links.
    const RunResult removed = board_.run("dpkg --no-triggers -r vorn");
    ASSERT_EQ(exitCode(removed), 0) << removed.output;
    EXPECT_THAT(removed.output, HasSubstr("vorn stopped"));
    EXPECT_TRUE(processEnded(pid));
    EXPECT_EQ(modeOf(kInstalledDaemon), 0u);
    EXPECT_EQ(modeOf(kInitScript), 0755u);
    EXPECT_EQ(readLink("/etc/rc2.d/S01vorn"), "../init.d/vorn");

    // The purge takes the configuration files and every link.
    const RunResult purged = board_.run("dpkg --no-triggers -P vorn");
    ASSERT_EQ(exitCode(purged), 0) << purged.output;
    EXPECT_EQ(modeOf(kInitScript), 0u);
    EXPECT_EQ(readLink("/etc/rc2.d/S01vorn"), "");
    EXPECT_EQ(readLink("/etc/systemd/system/multi-user.target.wants/vorn.service"), "");
}

TEST_F(Package, InitScriptStartsNothingWithoutTheHostLinkDevice)
{
    board_.driver().setPresent(simdrv::kHlink, false);
    const RunResult start = initScript("start");
    EXPECT_EQ(exitCode(start), 0) << start.output;
    EXPECT_EQ(start.output, "vorn: no /dev/hlink on this host: not started\n");
    EXPECT_EQ(board_.daemonPid(), 0);
    EXPECT_EQ(exitCode(initScript("status")), 3);
}

} // namespace
