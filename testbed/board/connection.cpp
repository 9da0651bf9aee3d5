// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "testbed/board/connection.h"
#include "testbed/board/sp_side.h"

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "testbed/board/files.h"
#include "testbed/simdrv/simdrv_state.h"

namespace testbed {

using namespace detail;

std::uint32_t detail::parseAddress(const std::string& dottedQuad)
{
    in_addr a{};
    if (inet_pton(AF_INET, dottedQuad.c_str(), &a) != 1)
        fail("not an IPv4 address: " + dottedQuad);
    return ntohl(a.s_addr);
}

std::string detail::addressText(std::uint32_t hostOrder)
{
    return simdrv::dottedQuad(hostOrder);
}

Connection::Connection(const std::string& source, const std::string& target, std::uint16_t port, Millis timeout)
    : fd_(socketFrom(source, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC))
{
    if (!fd_)
        failErrno("socket");
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(parseAddress(source));
    if (bind(fd_.get(), reinterpret_cast<sockaddr*>(&from), sizeof from) != 0)
        failErrno("bind the source address " + source);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(parseAddress(target));
    if (::connect(fd_.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        connected_ = true;
        return;
    }
    if (errno != EINPROGRESS) {
        refused_ = errno == ECONNREFUSED;
        return;
    }
    pollfd p{fd_.get(), POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    if (poll(&p, 1, static_cast<int>(timeout.count())) == 1 &&
        getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &error, &length) == 0) {
        connected_ = error == 0;
        refused_ = error == ECONNREFUSED;
    }
}

bool Connection::send(std::string_view bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd_.get(), POLLOUT, 0};
            if (poll(&p, 1, static_cast<int>(kDefaultTimeout.count())) != 1)
                return false;
            continue;
        }
        return false;
    }
    return true;
}

void Connection::shutdownWrite()
{
    shutdown(fd_.get(), SHUT_WR);
}

Reply Connection::readToClose(Millis timeout)
{
    Reply reply;
    reply.connected = connected_;
    if (!connected_)
        return reply;
    const auto deadline = Clock::now() + timeout;
    char buf[8192];
    for (;;) {
        const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
        pollfd p{fd_.get(), POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::max<long long>(left, 0))) == 0) {
            reply.timedOut = true;
            break;
        }
        const ssize_t n = recv(fd_.get(), buf, sizeof buf, 0);
        if (n > 0) {
            reply.bytes.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        reply.closed = true;
        reply.reset = n < 0;
        break;
    }
    return reply;
}

Reply exchange(const std::string& source, const std::string& target, std::uint16_t port, std::string_view bytes,
               Millis timeout)
{
    Connection c(source, target, port, timeout);
    if (!c.connected()) {
        Reply reply;
        reply.timedOut = !c.refused();
        return reply;
    }
    c.send(bytes);
    if (bytes.empty())
        c.shutdownWrite();
    return c.readToClose(timeout);
}

} // namespace testbed
