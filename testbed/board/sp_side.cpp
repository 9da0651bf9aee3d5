// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "testbed/board/sp_side.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include "testbed/common/sandbox_paths.h"

namespace testbed {

namespace {

// True when an interface of the calling thread's namespace has the address:
// a socket can be bound to it. (A bind costs the same however many
// interfaces the host has, which the bench varies.)
bool localAddress(const std::string& dottedQuad)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    if (inet_pton(AF_INET, dottedQuad.c_str(), &addr.sin_addr) != 1)
        return false;
    UniqueFd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    return probe && ::bind(probe.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

// The two namespaces, opened once (the bench opens many connections).
struct Namespaces {
    int own = -1; // this process's
    int sp = -1;
};

const Namespaces* namespaces()
{
    static std::mutex lock;
    static Namespaces ns;
    std::lock_guard<std::mutex> guard(lock);
    if (ns.own < 0)
        ns.own = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (ns.sp < 0)
        ns.sp = ::open(kSpNetnsPath, O_RDONLY | O_CLOEXEC);
    return ns.own >= 0 && ns.sp >= 0 ? &ns : nullptr;
}

} // namespace

UniqueFd spSideSocket(int domain, int type, int protocol)
{
    const Namespaces* ns = namespaces();
    if (!ns || setns(ns->sp, CLONE_NEWNET) != 0)
        return {};
    UniqueFd fd(::socket(domain, type, protocol));
    const int error = errno;
    if (setns(ns->own, CLONE_NEWNET) != 0)
        std::abort(); // a thread left in the SP's namespace would mislead every later check
    errno = error;
    return fd;
}

UniqueFd socketFrom(const std::string& source, int type)
{
    if (localAddress(source))
        return UniqueFd(::socket(AF_INET, type, 0));
    return spSideSocket(AF_INET, type, 0);
}

bool enterSpSide()
{
    UniqueFd sp(::open(kSpNetnsPath, O_RDONLY | O_CLOEXEC));
    return sp && setns(sp.get(), CLONE_NEWNET) == 0;
}

std::string onSpSide(const std::string& command)
{
    return std::string("nsenter --net=") + kSpNetnsPath + " -- " + command;
}

} // namespace testbed
