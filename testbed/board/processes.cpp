// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "testbed/board/processes.h"

#include <charconv>
#include <cstdio>
#include <memory>
#include <set>
#include <sstream>

#include <dirent.h>
#include <signal.h>

#include "testbed/board/files.h"

namespace testbed {

namespace detail {

std::optional<ProcessInfo> processInfo(pid_t pid)
{
    const auto stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    if (!stat)
        return std::nullopt;
    // "PID (COMM) S PPID ..." where COMM may hold blanks and parentheses.
    const auto open = stat->find('(');
    const auto close = stat->rfind(')');
    if (open == std::string::npos || close == std::string::npos || close + 4 > stat->size())
        return std::nullopt;
    ProcessInfo info{pid, 0, (*stat)[close + 2], stat->substr(open + 1, close - open - 1)};
    std::istringstream rest(stat->substr(close + 4));
    rest >> info.ppid;
    return info;
}

std::vector<ProcessInfo> allProcesses()
{
    std::vector<ProcessInfo> out;
    std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
    if (!proc)
        return out;
    while (const dirent* e = readdir(proc.get())) {
        pid_t pid = 0;
        const std::string_view name = e->d_name;
        const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (ec != std::errc{} || end != name.data() + name.size())
            continue;
        if (auto info = processInfo(pid))
            out.push_back(*info);
    }
    return out;
}

// pid and every process below it.
std::vector<ProcessInfo> treeOf(pid_t root, const std::vector<ProcessInfo>& all)
{
    std::vector<ProcessInfo> out;
    std::set<pid_t> members{root};
    for (const ProcessInfo& p : all)
        if (p.pid == root)
            out.push_back(p);
    for (bool grew = true; grew;) {
        grew = false;
        for (const ProcessInfo& p : all)
            if (!members.count(p.pid) && members.count(p.ppid)) {
                members.insert(p.pid);
                out.push_back(p);
                grew = true;
            }
    }
    return out;
}

bool alive(pid_t pid)
{
    const auto info = processInfo(pid);
    return info && info->state != 'Z';
}

pid_t readPid(const std::string& text)
{
    pid_t pid = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), pid);
    return ec == std::errc{} && end == text.data() + text.size() ? pid : 0;
}

void resetSignalsForExec()
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; ++sig)
        signal(sig, SIG_DFL);
}

} // namespace detail

using namespace detail;

namespace {

// Inodes of the IPv4 and IPv6 TCP sockets listening on `port`.
std::set<std::string> listeningInodes(std::uint16_t port)
{
    std::set<std::string> inodes;
    char portHex[8];
    std::snprintf(portHex, sizeof portHex, ":%04X", port);
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::istringstream in(slurp(table).value_or(""));
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string sl, local, remote, st, queues, timer, retr, uid, timeout, inode;
            fields >> sl >> local >> remote >> st >> queues >> timer >> retr >> uid >> timeout >> inode;
            if (st == "0A" && local.size() >= 5 && local.substr(local.size() - 5) == portHex)
                inodes.insert(inode);
        }
    }
    return inodes;
}

} // namespace

unsigned long listeningInode(pid_t pid, std::uint16_t port)
{
    const std::set<std::string> inodes = listeningInodes(port);
    if (inodes.empty())
        return 0;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    std::unique_ptr<DIR, int (*)(DIR*)> fds(opendir(dir.c_str()), closedir);
    if (!fds)
        return 0;
    while (const dirent* e = readdir(fds.get())) {
        const std::string link = readLink(dir + "/" + e->d_name);
        if (link.rfind("socket:[", 0) == 0 && link.back() == ']') {
            const std::string inode = link.substr(8, link.size() - 9);
            if (inodes.count(inode))
                return std::stoul(inode);
        }
    }
    return 0;
}

bool listensOn(pid_t pid, std::uint16_t port)
{
    return listeningInode(pid, port) != 0;
}

} // namespace testbed
