// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "container.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testbed/common/unique_fd.h"

#ifndef VORN_DEB_FILE
#error "VORN_DEB_FILE: the package that the tests install"
#endif
#ifndef VORNCTL_FILE
#error "VORNCTL_FILE: vornctl of this build"
#endif
#ifndef VORN_SIMDRV_FILE
#error "VORN_SIMDRV_FILE: the simulated drivers' library"
#endif

namespace vorn_system {

namespace {

using testbed::UniqueFd;

constexpr const char* kNspawn = "/usr/bin/systemd-nspawn";
constexpr const char* kNsenter = "/usr/bin/nsenter";
constexpr const char* kUnshare = "/usr/bin/unshare";
constexpr const char* kPath = "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
// Where the simulated drivers' library and their drop-in go inside.
constexpr const char* kSimdrvInside = "/usr/local/lib/vorn-system/libvorn_simdrv.so";
constexpr const char* kDropIn = "/etc/systemd/system/vorn.service.d/simulated-drivers.conf";
constexpr const char* kDebInside = "/root/vorn.deb";

void makeDirs(const std::string& path)
{
    for (std::size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/')
            continue;
        const std::string prefix = path.substr(0, pos);
        if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST)
            fail("mkdir " + prefix);
    }
}

void writeFile(const std::string& path, const std::string& content, mode_t mode = 0644)
{
    const auto slash = path.rfind('/');
    makeDirs(path.substr(0, slash));
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (!fd || write(fd.get(), content.data(), content.size()) != static_cast<ssize_t>(content.size()) ||
        fchmod(fd.get(), mode) != 0)
        fail("write " + path);
}

void copyFile(const std::string& from, const std::string& to, mode_t mode)
{
    std::ifstream in(from, std::ios::binary);
    if (!in) {
        errno = ENOENT;
        fail("read " + from);
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    writeFile(to, bytes.str(), mode);
}

std::string readLink(const std::string& path)
{
    char buf[4096];
    const ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

std::vector<pid_t> childrenOf(pid_t parent)
{
    std::vector<pid_t> out;
    std::istringstream list(
        readText("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children"));
    for (pid_t pid; list >> pid;)
        out.push_back(pid);
    return out;
}

// The pid that a process has in its innermost pid namespace.
pid_t innermostPid(pid_t pid)
{
    std::istringstream status(readText("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("NSpid:", 0) == 0) {
            std::istringstream ids(line.substr(6));
            pid_t last = -1;
            for (pid_t id; ids >> id;)
                last = id;
            return last;
        }
    }
    return -1;
}

std::string trimmed(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

} // namespace

std::string unavailableReason()
{
    if (geteuid() != 0)
        return "the system tests boot a container and must run as root";
    for (const char* program : {kNspawn, kNsenter, kUnshare})
        if (access(program, X_OK) != 0)
            return std::string(program) + " is missing (Debian packages systemd-container and util-linux)";
    if (ipProgram().empty())
        return "ip is missing (Debian package iproute2)";
    if (access("/usr/lib/systemd/systemd", X_OK) != 0)
        return "this machine has no systemd to boot in the container";
    if (access(VORN_DEB_FILE, R_OK) != 0)
        return std::string(VORN_DEB_FILE) + " has not been built";
    return {};
}

Container::Container(Options options) : options_(options)
{
    static int count = 0;
    stageDir_ = "/run/vorn-system-" + std::to_string(++count);
    root_ = stageDir_ + "/root";
    try {
        stage();
        boot();
    } catch (...) {
        stop();
        throw;
    }
}

Container::~Container()
{
    stop();
}

void Container::stage()
{
    errno = 0;
    for (const char* dir : {"", "/upper", "/work", "/root", "/testbed", "/dev"})
        makeDirs(stageDir_ + dir);
    // The machine's root, copy-on-write: what the container changes lands
    // in upper/, on this process's private /run.
    const std::string layers = "lowerdir=/,upperdir=" + stageDir_ + "/upper,workdir=" + stageDir_ + "/work";
    if (mount("overlay", root_.c_str(), "overlay", 0, layers.c_str()) != 0)
        fail("mount the overlay of the root");

    // A plain host: no container runtime's markers, no policy that keeps
    // packages from starting their services.
    for (const char* path : {"/.dockerenv", "/usr/sbin/policy-rc.d"})
        if (unlink((root_ + path).c_str()) != 0 && errno != ENOENT)
            fail(std::string("remove ") + path);
    errno = 0;

    // The files come from this process's view of the machine, never through
    // the overlay's lower layer, which may have changed since it was mounted.
    copyFile(VORN_DEB_FILE, root_ + kDebInside, 0644);

    if (options_.devices == Devices::Simulated) {
        copyFile(VORN_SIMDRV_FILE, root_ + kSimdrvInside, 0644);
        writeFile(root_ + kDropIn, std::string("# Test-only: the simulated platform drivers, preloaded into the agent\n"
                                               "# and every program it runs. Never part of the package.\n"
                                               "[Service]\n"
                                               "Environment=LD_PRELOAD=") +
                                       kSimdrvInside + "\n");
        driverState_ = testbed::simdrv::createState((stageDir_ + "/testbed/driver.state").c_str());
        if (!driverState_)
            fail("create the simulated drivers' state");
        // The device files of the simulated drivers.
        writeFile(stageDir_ + "/dev/hlink", testbed::simdrv::kHlinkMagic);
        writeFile(stageDir_ + "/dev/oxa_mc", testbed::simdrv::kMcMagic);
    }

    // The host link: hlink0 in the container, sp0 (the SP's end) here; and
    // eth1, an interface for the interface address command.
    ip("link add hlink0 type veth peer name sp0");
    ip("addr add 169.254.101.2/16 dev sp0");
    ip("link set sp0 up");
    ip("link add eth1 type veth peer name eth1sp");
    ip("link set eth1sp up");

    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        fail("pipe");
    UniqueFd readyRead(ready[0]);
    UniqueFd readyWrite(ready[1]);
    holder_ = fork();
    if (holder_ < 0)
        fail("fork");
    if (holder_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
        if (unshare(CLONE_NEWNET) != 0)
            _exit(1);
        const char byte = 1;
        if (write(readyWrite.get(), &byte, 1) != 1)
            _exit(1);
        for (;;)
            pause();
    }
    readyWrite.reset();
    char byte = 0;
    if (read(readyRead.get(), &byte, 1) != 1)
        fail("make the container's network namespace");
    ip("link set hlink0 netns " + std::to_string(holder_));
    ip("link set eth1 netns " + std::to_string(holder_));
}

void Container::boot()
{
    std::vector<std::string> argv{
        kUnshare, "--pid", "--fork", "--kill-child=SIGKILL", "--", kNspawn, "--quiet", "--directory=" + root_, "--boot",
        "--machine=vorn-system", "--register=no", "--keep-unit",
        // The agent configures interfaces of the
        // container's own network namespace.
        "--capability=CAP_NET_ADMIN", "--network-namespace-path=/proc/" + std::to_string(holder_) + "/ns/net"};
    if (options_.devices == Devices::Simulated) {
        argv.push_back("--bind=" + stageDir_ + "/testbed:/run/testbed");
        argv.push_back("--bind=" + stageDir_ + "/dev/hlink:/dev/hlink");
        argv.push_back("--bind=" + stageDir_ + "/dev/oxa_mc:/dev/oxa_mc");
    } else if (options_.devices == Devices::Dead) {
        // A driver that is there and answers nothing: every request on
        // /dev/null fails.
        argv.push_back("--bind=/dev/null:/dev/hlink");
        argv.push_back("--bind=/dev/null:/dev/oxa_mc");
    }

    const std::string console = stageDir_ + "/console.log";
    const pid_t parent = getpid();
    keeper_ = fork();
    if (keeper_ < 0)
        fail("fork");
    if (keeper_ == 0) {
        // The container must not outlive this process: unshare(1) dies with
        // it, and takes systemd-nspawn, PID 1 of its pid namespace, and so
        // the whole container with it.
        prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
        if (getppid() != parent)
            _exit(127);
        setsid();
        const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
        const int log = open(console.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (null < 0 || log < 0 || dup2(null, 0) < 0 || dup2(log, 1) < 0 || dup2(log, 2) < 0)
            _exit(127);
        execArgv(argv);
    }

    // The container's systemd: PID 1 of its namespace, below systemd-nspawn.
    const bool found = eventually(
        [&] {
            int status = 0;
            if (waitpid(keeper_, &status, WNOHANG) == keeper_) {
                exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                keeper_ = -1;
                return true;
            }
            for (pid_t nspawn : childrenOf(keeper_))
                for (pid_t child : childrenOf(nspawn))
                    if (innermostPid(child) == 1 &&
                        trimmed(readText("/proc/" + std::to_string(child) + "/comm")) == "systemd") {
                        leader_ = child;
                        return true;
                    }
            return false;
        },
        Millis{30000});
    if (!found || leader_ <= 0) {
        errno = 0;
        fail("the container did not start: " + readText(console));
    }
    // The container's processes hold its network namespace now.
    kill(holder_, SIGKILL);
    waitpid(holder_, nullptr, 0);
    holder_ = -1;

    // Until the container's systemd has its bus socket, systemctl cannot
    // even ask; then it waits for the boot to finish.
    std::string word;
    eventually(
        [&] {
            word = trimmed(run("systemctl is-system-running --wait", Millis{90000}).output);
            return word.find("Failed to connect") == std::string::npos;
        },
        Millis{90000}, Millis{100});
    if (word != "running" && word != "degraded") {
        errno = 0;
        fail("the container did not boot (" + word + "): " + readText(console));
    }
}

void Container::stop() noexcept
{
    if (keeper_ > 0) {
        if (leader_ > 0)
            kill(leader_, SIGKILL);
        kill(keeper_, SIGKILL);
        waitpid(keeper_, nullptr, 0);
        keeper_ = -1;
    }
    if (holder_ > 0) {
        kill(holder_, SIGKILL);
        waitpid(holder_, nullptr, 0);
        holder_ = -1;
    }
    leader_ = -1;
    umount2(root_.c_str(), MNT_DETACH);
    // The veth pairs went with the container's network namespace; a
    // container that never booted leaves the far ends here.
    for (const char* link : {"sp0", "eth1sp", "hlink0", "eth1"})
        if (access(("/sys/class/net/" + std::string(link)).c_str(), F_OK) == 0)
            runProgram({ipProgram(), "link", "del", link}, Millis{5000});
}

Ran Container::run(const std::string& command, Millis timeout, const std::string& input) const
{
    if (leader_ <= 0 || !running()) {
        Ran none;
        none.output = "the container is not running";
        return none;
    }
    return runProgram({kNsenter, "--target", std::to_string(leader_), "--mount", "--uts", "--ipc", "--net", "--pid",
                       "--root", "--wd", "--", "/usr/bin/env", "-i", kPath, "LANG=C.UTF-8", "/bin/sh", "-c", command},
                      timeout, input);
}

std::string Container::output(const std::string& command) const
{
    return trimmed(run(command).output);
}

Ran Container::install() const
{
    return run(std::string("dpkg -i ") + kDebInside, Millis{180000});
}

std::string Container::agentJournal() const
{
    return run("journalctl -b -o cat -t VORN --no-pager").output;
}

std::string Container::unitJournal() const
{
    return run("journalctl -b -o cat -u vorn.service --no-pager").output;
}

bool Container::waitForAgentJournal(const std::string& text, Millis timeout) const
{
    return eventually([&] { return agentJournal().find(text) != std::string::npos; }, timeout, Millis{200});
}

Ran Container::vornctl(const std::vector<std::string>& args, const std::string& host) const
{
    std::vector<std::string> argv{VORNCTL_FILE, "--host", host, "--source", "169.254.101.2", "--timeout", "10"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, Millis{30000});
}

testbed::simdrv::State& Container::driver() const
{
    if (!driverState_)
        throw std::logic_error("the container has no simulated drivers");
    return *testbed::simdrv::stateOf(driverState_);
}

std::vector<pid_t> Container::agentProcesses() const
{
    // Every live process named vorn; a monitor that has ended stays a
    // zombie until the request server reaps it, and is not counted.
    const Ran r = run("for p in /proc/[0-9]*; do "
                      "[ \"$(cat $p/comm 2>/dev/null)\" = vorn ] || continue; "
                      "s=$(cat $p/stat 2>/dev/null) || continue; s=${s##*) }; "
                      "[ \"${s%% *}\" = Z ] || echo ${p#/proc/}; done");
    std::vector<pid_t> out;
    std::istringstream list(r.output);
    for (pid_t pid; list >> pid;)
        out.push_back(pid);
    return out;
}

void Container::requireBootedContainer() const
{
    errno = 0;
    if (leader_ <= 1 || !running())
        fail("no container runs");
    const std::string leaderPid = "/proc/" + std::to_string(leader_);
    const std::string containerPidNs = readLink(leaderPid + "/ns/pid");
    if (containerPidNs.empty() || containerPidNs == readLink("/proc/1/ns/pid") ||
        containerPidNs == readLink("/proc/self/ns/pid"))
        fail("the container's systemd does not run in a pid namespace of its own");
    const std::string containerNetNs = readLink(leaderPid + "/ns/net");
    if (containerNetNs.empty() || containerNetNs == readLink("/proc/1/ns/net"))
        fail("the container does not run in a network namespace of its own");
    if (readLink("/proc/self/ns/net") == readLink("/proc/1/ns/net"))
        fail("this test does not run in a network namespace of its own");
    const std::string virt = output("systemd-detect-virt --container");
    if (virt.empty() || virt == "none")
        fail("systemd-detect-virt inside names no container: '" + virt + "'");
    const std::string pid1 = output("cat /proc/1/comm; readlink /proc/1/exe");
    if (pid1 != "systemd\n/usr/lib/systemd/systemd")
        fail("PID 1 inside is not the container's systemd: '" + pid1 + "'");
}

bool Container::running() const
{
    return keeper_ > 0 && !exitCode_;
}

std::optional<int> Container::waitForEnd(Millis timeout)
{
    if (exitCode_)
        return exitCode_;
    if (keeper_ <= 0)
        return std::nullopt;
    eventually(
        [&] {
            int status = 0;
            if (waitpid(keeper_, &status, WNOHANG) != keeper_)
                return false;
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            keeper_ = -1;
            leader_ = -1;
            return true;
        },
        timeout, Millis{100});
    return exitCode_;
}

} // namespace vorn_system
