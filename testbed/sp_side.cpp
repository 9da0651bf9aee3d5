// SPDX-License-Identifier: Apache-2.0
#include "sp_side.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sandbox_paths.h"

namespace testbed {

namespace {

// True when an interface of the calling thread's namespace has the address.
bool localAddress(const std::string& dottedQuad)
{
    in_addr wanted{};
    if (inet_pton(AF_INET, dottedQuad.c_str(), &wanted) != 1)
        return false;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool found = false;
    for (const ifaddrs* a = list; a && !found; a = a->ifa_next)
        found = a->ifa_addr && a->ifa_addr->sa_family == AF_INET &&
                reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr == wanted.s_addr;
    freeifaddrs(list);
    return found;
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
