// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "testbed/board/board.h"

#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testbed/board/files.h"
#include "testbed/common/unique_fd.h"

#ifndef VORN_DAEMON_FILE
#error "VORN_DAEMON_FILE must name the daemon binary"
#endif

namespace testbed {

using namespace detail;

namespace {

constexpr const char* kPidFile = "/var/run/vorn.pid";
constexpr const char* kDaemonOutput = "/run/testbed/daemon.output";

} // namespace

// --- Board ---------------------------------------------------------------------

Board::Board(BoardOptions options)
{
    // Orphans of the daemon's processes come to this process, so that the
    // daemon's exit status can be read and nothing it leaves escapes the board.
    if (prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0)
        failErrno("become a subreaper");
    driver_.reset();
    driver_.setPresent(simdrv::kHlink, true);
    driver_.setPresent(simdrv::kMc, true);
    sp_.reset();
    putFile(kSyslogPath, "", 0644);
    for (const char* name : kFakeNames)
        for (const char* suffix : {".calls", ".status", ".out", ".err"})
            unlink((std::string(kFakeDir) + "/" + name + suffix).c_str());
    unlink(kPidFile);
    if (options.startSp)
        sp_.start();
}

Board::~Board()
{
    sp_.stop();
    killLeftovers();
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it)
        umount2(it->c_str(), MNT_DETACH);
}

void Board::start(StartOptions options)
{
    requireSandbox();
    if (daemon_ > 0 && alive(daemon_))
        fail("the daemon is already running");
    unlink(kPidFile);
    const pid_t launcher = fork();
    if (launcher < 0)
        failErrno("fork the daemon's launcher");
    if (launcher == 0) {
        resetSignalsForExec();
        UniqueFd null(::open("/dev/null", O_RDONLY));
        UniqueFd output(::open(kDaemonOutput, O_WRONLY | O_CREAT | O_APPEND, 0644));
        if (chdir("/") != 0 || !null || !output || dup2(null.get(), 0) < 0 || dup2(output.get(), 1) < 0 ||
            dup2(output.get(), 2) < 0)
            _exit(126);
        close_range(3, ~0U, 0);
        const std::vector<std::string> preload = preloadVariables();
        std::vector<const char*> env = {"PATH=/usr/local/sbin:/usr/local/bin:/sbin:/bin:/usr/sbin:/usr/bin"};
        for (const std::string& v : preload)
            env.push_back(v.c_str());
        env.push_back(nullptr);
        const char* argv[] = {VORN_DAEMON_FILE, nullptr};
        execve(VORN_DAEMON_FILE, const_cast<char* const*>(argv), const_cast<char* const*>(env.data()));
        _exit(127);
    }
    launcher_ = launcher;

    int launcherStatus = -1;
    const bool started = waitUntil(
        [&] {
            if (launcher_ > 0 && waitpid(launcher_, &launcherStatus, WNOHANG) == launcher_)
                launcher_ = 0;
            const pid_t pid = readPid(slurp(kPidFile).value_or(""));
            // A daemon that has already ended stays a zombie until the board reaps it.
            if (pid > 0 && processInfo(pid)) {
                daemon_ = pid;
                return true;
            }
            return launcher_ == 0 && launcherStatus != 0;
        },
        options.timeout);
    if (!started || daemon_ <= 0)
        fail("the daemon did not write " + std::string(kPidFile) +
             " naming its process; its output: " + slurp(kDaemonOutput).value_or(""));
    if (options.waitListening &&
        !waitUntil([&] { return listensOn(daemon_, kServerPort) || !alive(daemon_); }, options.timeout))
        fail("the daemon does not listen on port 6789");
    if (options.waitListening && !alive(daemon_))
        fail("the daemon ended during start-up");
}

pid_t Board::daemonPid() const
{
    return readPid(slurp(kPidFile).value_or(""));
}

std::vector<ProcessInfo> Board::processes() const
{
    const pid_t root = daemon_ > 0 ? daemon_ : daemonPid();
    return root > 0 ? treeOf(root, allProcesses()) : std::vector<ProcessInfo>{};
}

std::vector<ProcessInfo> Board::monitors() const
{
    std::vector<ProcessInfo> out;
    const pid_t root = daemon_ > 0 ? daemon_ : daemonPid();
    const auto self = processInfo(root);
    for (const ProcessInfo& p : allProcesses())
        if (root > 0 && p.ppid == root && self && p.comm == self->comm)
            out.push_back(p);
    return out;
}

bool Board::waitMonitorsEnded(Millis timeout) const
{
    return waitUntil(
        [&] {
            const auto m = monitors();
            return std::all_of(m.begin(), m.end(), [](const ProcessInfo& p) { return p.state == 'Z'; });
        },
        timeout);
}

std::optional<int> Board::waitDaemonExit(Millis timeout)
{
    if (daemon_ <= 0)
        return std::nullopt;
    int status = 0;
    if (!waitUntil([&] { return waitpid(daemon_, &status, WNOHANG) == daemon_; }, timeout))
        return std::nullopt;
    daemon_ = 0;
    return status;
}

void Board::stopDaemon()
{
    if (daemon_ <= 0)
        return;
    kill(daemon_, SIGTERM);
    waitMonitorsEnded(Millis{2000});
    kill(daemon_, SIGKILL);
    waitDaemonExit(Millis{2000});
    killLeftovers();
}

void Board::killLeftovers()
{
#ifdef VORN_TESTBED_COVERAGE
    // The coverage build's daemon writes its counts on SIGTERM.
    if (daemon_ > 0 && alive(daemon_)) {
        kill(daemon_, SIGTERM);
        waitMonitorsEnded(Millis{2000});
    }
#endif
    const pid_t self = getpid();
    const auto deadline = Clock::now() + Millis{3000};
    for (;;) {
        const auto all = allProcesses();
        std::vector<ProcessInfo> left;
        for (const ProcessInfo& p : treeOf(self, all))
            if (p.pid != self && p.pid != sp_.pid() && (p.state != 'Z' || p.ppid == self))
                left.push_back(p);
        // Belt and braces: any copy of the daemon that escaped this process's tree.
        for (const ProcessInfo& p : all)
            if (p.pid != self && p.state != 'Z' && p.ppid != self &&
                readLink("/proc/" + std::to_string(p.pid) + "/exe") == VORN_DAEMON_FILE)
                left.push_back(p);
        if (left.empty() || Clock::now() >= deadline)
            break;
        for (const ProcessInfo& p : left) {
            if (p.state != 'Z')
                kill(p.pid, SIGKILL);
            if (p.ppid == self)
                waitpid(p.pid, nullptr, WNOHANG);
        }
        std::this_thread::sleep_for(Millis{1});
    }
    daemon_ = 0;
    launcher_ = 0;
}

Reply Board::request(std::string_view bytes, From from, Millis timeout)
{
    return requestFrom(from == From::Sp ? kSpAddress : kStrangerAddress, bytes, timeout);
}

Reply Board::requestFrom(const std::string& sourceAddress, std::string_view bytes, Millis timeout)
{
    return exchange(sourceAddress, kPlatAddress, kServerPort, bytes, timeout);
}

Connection Board::connect(From from, Millis timeout)
{
    return Connection(from == From::Sp ? kSpAddress : kStrangerAddress, kPlatAddress, kServerPort, timeout);
}

// --- connections -------------------------------------------------------------

std::vector<LogLine> Board::log() const
{
    std::vector<LogLine> out;
    const std::string text = slurp(kSyslogPath).value_or("");
    std::size_t begin = 0;
    for (std::size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1)
        if (auto m = parseRecord(std::string_view(text).substr(begin, end - begin)))
            out.push_back({fromNs(m->timeNs), m->severity, m->facility, m->ident, m->pid, m->text});
    return out;
}

std::optional<LogLine> Board::waitForLog(std::string_view text, int priority, Millis timeout) const
{
    std::optional<LogLine> found;
    waitUntil(
        [&] {
            for (const LogLine& line : log())
                if (line.text == text && (priority < 0 || line.priority == priority)) {
                    found = line;
                    return true;
                }
            return false;
        },
        timeout);
    return found;
}

std::size_t Board::logCount(std::string_view text, int priority) const
{
    const auto lines = log();
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const LogLine& line) {
        return line.text == text && (priority < 0 || line.priority == priority);
    }));
}

std::vector<std::string> Board::fakeCalls(std::string_view name) const
{
    std::vector<std::string> out;
    std::istringstream in(slurp(std::string(kFakeDir) + "/" + std::string(name) + ".calls").value_or(""));
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

void Board::setFake(std::string_view name, int status, std::string_view output, std::string_view errorOutput)
{
    const std::string base = std::string(kFakeDir) + "/" + std::string(name);
    putFile(base + ".status", std::to_string(status) + "\n", 0644);
    putFile(base + ".out", output, 0644);
    putFile(base + ".err", errorOutput, 0644);
}

void Board::writeFile(const std::string& path, std::string_view content, mode_t mode)
{
    putFile(path, content, mode);
}

std::optional<std::string> Board::readFile(const std::string& path) const
{
    return slurp(path);
}

void Board::removeFile(const std::string& path)
{
    if (unlink(path.c_str()) != 0 && errno != ENOENT)
        failErrno("remove " + path);
}

void Board::bindOver(const std::string& path, std::string_view content)
{
    const std::string fixture = std::string(kFixtureDir) + "/" + std::to_string(++fixtureCount_);
    putFile(fixture, content, 0644);
    if (mount(fixture.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0)
        failErrno("bind a fixture over " + path);
    mounts_.push_back(path);
}

void Board::mountTmpfs(const std::string& path, std::size_t bytes)
{
    makeParents(path + "/");
    const std::string options = "size=" + std::to_string(bytes);
    if (mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0)
        failErrno("mount a tmpfs on " + path);
    mounts_.push_back(path);
}

RunResult Board::run(const std::string& shellCommand) const
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        failErrno("pipe");
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    const pid_t pid = fork();
    if (pid < 0)
        failErrno("fork");
    if (pid == 0) {
        resetSignalsForExec();
        UniqueFd null(::open("/dev/null", O_RDONLY));
        if (!null || dup2(null.get(), 0) < 0 || dup2(writeEnd.get(), 1) < 0 || dup2(writeEnd.get(), 2) < 0)
            _exit(126);
        close_range(3, ~0U, 0);
        execl("/bin/sh", "sh", "-c", shellCommand.c_str(), nullptr);
        _exit(127);
    }
    writeEnd.reset();
    RunResult result{0, {}};
    char buf[4096];
    ssize_t n;
    while ((n = ::read(readEnd.get(), buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            result.output.append(buf, static_cast<std::size_t>(n));
    while (waitpid(pid, &result.status, 0) < 0 && errno == EINTR) {
    }
    return result;
}

void Board::addSpSideAddress(const std::string& dottedQuad)
{
    parseAddress(dottedQuad);
    // The host reaches it over hlink0 also outside the link's subnet.
    const RunResult r =
        run(onSpSide("ip addr add " + dottedQuad + "/" + std::to_string(kLinkPrefix) + " dev " + kSpLinkIf) +
            " && ip route replace " + dottedQuad + " dev " + kHostLinkIf);
    if (r.status != 0)
        fail("cannot add " + dottedQuad + " to " + kSpLinkIf + ": " + r.output);
}

std::string printable(std::string_view bytes)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u == 3)
            out += "<ETX>";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\\')
            out += "\\\\";
        else if (u >= 0x20 && u < 0x7f)
            out += c;
        else {
            out += "\\x";
            out += kHex[u >> 4];
            out += kHex[u & 0xf];
        }
    }
    return out;
}

std::string document(std::string_view body)
{
    return std::string(kPrologue) + "<vorn> " + std::string(body) + " </vorn> " + '\x03';
}

} // namespace testbed
