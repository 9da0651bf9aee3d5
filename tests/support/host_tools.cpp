// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "host_tools.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
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
#include <sys/wait.h>
#include <unistd.h>

#include "testbed/common/unique_fd.h"

namespace vorn_system {

using testbed::UniqueFd;

[[noreturn]] void execArgv(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
    _exit(127);
}

std::string readText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

pid_t startLogged(const std::vector<std::string>& argv, const std::string& logFile)
{
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0)
        fail("fork");
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
        const int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int null = open("/dev/null", O_RDONLY);
        if (getppid() != parent || log < 0 || null < 0 || dup2(null, 0) < 0 || dup2(log, 1) < 0 || dup2(log, 2) < 0)
            _exit(127);
        execArgv(argv);
    }
    return pid;
}

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error(what + (errno ? std::string(": ") + std::strerror(errno) : std::string()));
}

std::string ipProgram()
{
    for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (access(path, X_OK) == 0)
            return path;
    return {};
}

void ip(const std::string& args)
{
    std::vector<std::string> argv{ipProgram()};
    std::istringstream words(args);
    for (std::string w; words >> w;)
        argv.push_back(w);
    const Ran r = runProgram(argv, Millis{10000});
    if (r.exitCode() != 0) {
        errno = 0;
        fail("ip " + args + ": " + r.output);
    }
}

int Ran::exitCode() const
{
    if (status < 0)
        return -1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

Ran runProgram(const std::vector<std::string>& argv, Millis timeout, const std::string& input)
{
    Ran ran;
    int out[2];
    int in[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return ran;
    UniqueFd outRead(out[0]);
    UniqueFd outWrite(out[1]);
    if (pipe2(in, O_CLOEXEC) != 0)
        return ran;
    UniqueFd inRead(in[0]);
    UniqueFd inWrite(in[1]);

    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0)
        return ran;
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
        if (getppid() != parent)
            _exit(127);
        if (dup2(inRead.get(), 0) < 0 || dup2(outWrite.get(), 1) < 0 || dup2(outWrite.get(), 2) < 0)
            _exit(127);
        execArgv(argv);
    }
    outWrite.reset();
    inRead.reset();
    // The inputs here are short texts: they fit the pipe.
    if (!input.empty() && write(inWrite.get(), input.data(), input.size()) < 0) {
        // the program did not read it; its status tells
    }
    inWrite.reset();

    const auto deadline = Clock::now() + timeout;
    char buf[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
        if (left <= 0) {
            ran.timedOut = true;
            break;
        }
        pollfd p{outRead.get(), POLLIN, 0};
        const int n = poll(&p, 1, static_cast<int>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            continue;
        const ssize_t got = read(outRead.get(), buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        ran.output.append(buf, static_cast<std::size_t>(got));
    }
    if (ran.timedOut)
        kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ran.status = ran.timedOut ? -1 : status;
    return ran;
}

bool eventually(const std::function<bool()>& done, Millis timeout, Millis step)
{
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

void enterPrivateNamespaces()
{
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
        fail("unshare the mount and network namespaces");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        fail("make the mounts private");
    // The container's runtime state (systemd-nspawn's own, the staging of
    // its root) goes to a /run of this process's own, not the machine's.
    if (mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
        fail("mount a private /run");
    ip("link set lo up");
}

} // namespace vorn_system
