// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "client.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "testbed/board/sp_side.h"
#include "testbed/common/unique_fd.h"

namespace bench {

namespace {

constexpr int kTimeoutMs = 5000;

bool waitFor(int fd, short events)
{
    pollfd p{fd, events, 0};
    int r = 0;
    do {
        r = ::poll(&p, 1, kTimeoutMs);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

bool sendAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Reads until the end of the stream (or, with line set, until the answer
// ends in a newline). A reset after some bytes still ends the answer.
bool readAnswer(int fd, std::string& out, bool line)
{
    char buf[8192];
    for (;;) {
        if (!waitFor(fd, POLLIN))
            return false;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno == ECONNRESET && !out.empty();
        if (n == 0)
            return !line || (!out.empty() && out.back() == '\n');
        out.append(buf, static_cast<std::size_t>(n));
        if (line && out.back() == '\n')
            return true;
    }
}

testbed::UniqueFd connectTcp(const Target& t)
{
    // Made in the SP's namespace, where the source addresses lie; switching
    // there and back costs about 2.5 us, the same for every server.
    testbed::UniqueFd fd(testbed::spSideSocket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC));
    if (!fd)
        return fd;
    // The port is chosen at connect, knowing the peer, so that the many
    // short connections of a batch do not run out of ports.
    const int one = 1;
    ::setsockopt(fd.get(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (::inet_pton(AF_INET, t.source.c_str(), &local.sin_addr) != 1 ||
        ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        return {};
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(t.port);
    if (::inet_pton(AF_INET, t.host.c_str(), &peer.sin_addr) != 1)
        return {};
    int r = 0;
    do {
        r = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    } while (r < 0 && errno == EINTR);
    if (r != 0) {
        const int error = errno;
        fd.reset();
        errno = error;
        return {};
    }
    return fd;
}

testbed::UniqueFd connectUnix(const Target& t)
{
    testbed::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return fd;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (t.path.size() >= sizeof addr.sun_path)
        return {};
    std::memcpy(addr.sun_path, t.path.c_str(), t.path.size());
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        return {};
    return fd;
}

} // namespace

double monotonicSeconds()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

Exchange exchangeOnce(const Target& target, std::string_view request)
{
    Exchange e;
    const double start = monotonicSeconds();
    {
        const bool line = target.kind == Target::Kind::UnixLine;
        errno = 0;
        testbed::UniqueFd fd = target.kind == Target::Kind::Tcp ? connectTcp(target) : connectUnix(target);
        e.ok = fd && sendAll(fd.get(), request) && readAnswer(fd.get(), e.bytes, line);
        if (!e.ok)
            e.error = errno;
    }
    e.seconds = monotonicSeconds() - start;
    return e;
}

Batch runBatch(const Target& target, std::string_view request, unsigned n)
{
    Batch b;
    b.each.reserve(n);
    const double start = monotonicSeconds();
    for (unsigned i = 0; i < n; ++i) {
        Exchange e = exchangeOnce(target, request);
        if (!e.ok)
            ++b.failures;
        if (i == 0)
            b.firstAnswer = std::move(e.bytes);
        b.each.push_back(e.seconds);
    }
    b.seconds = monotonicSeconds() - start;
    return b;
}

} // namespace bench
