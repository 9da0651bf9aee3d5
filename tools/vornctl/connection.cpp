// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "connection.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "unique_fd.h"

namespace vornctl {

namespace {

// Owns a getaddrinfo result.
class AddressList {
public:
    AddressList() = default;
    AddressList(const AddressList&) = delete;
    AddressList& operator=(const AddressList&) = delete;
    ~AddressList()
    {
        if (list_ != nullptr) {
            ::freeaddrinfo(list_);
        }
    }
    addrinfo** out() noexcept { return &list_; }
    [[nodiscard]] const addrinfo* get() const noexcept { return list_; }

private:
    addrinfo* list_ = nullptr;
};

using Clock = std::chrono::steady_clock;

TransferResult result(TransferStatus status, std::string detail = {})
{
    TransferResult r;
    r.status = status;
    r.detail = std::move(detail);
    return r;
}

std::string systemError(const char* what, int err)
{
    return std::string(what) + ": " + std::strerror(err);
}

// Resolves an IPv4 address (dotted quad or host name).
bool resolve(const std::string& host, std::uint16_t port, sockaddr_in& addr, std::string& why)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    AddressList list;
    const std::string service = std::to_string(port);
    const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, list.out());
    if (rc != 0 || list.get() == nullptr) {
        why = "cannot resolve " + host + ": " + (rc != 0 ? ::gai_strerror(rc) : "no IPv4 address");
        return false;
    }
    std::memcpy(&addr, list.get()->ai_addr, sizeof addr);
    return true;
}

// Milliseconds left until the deadline, at least 0.
int remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, 1 << 30)) : 0;
}

// Waits for an event on the socket; false when the deadline passed.
bool waitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int rc = ::poll(&p, 1, remainingMs(deadline));
        if (rc > 0) {
            return true;
        }
        if (rc == 0) {
            return false;
        }
        if (errno != EINTR) {
            return true; // let the following call report the error
        }
    }
}

} // namespace

TransferResult exchange(const Options& options, std::string_view request)
{
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(options.timeoutSeconds));

    sockaddr_in peer{};
    std::string why;
    if (!resolve(options.host, options.port, peer, why)) {
        return result(TransferStatus::NetworkError, why);
    }

    const UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!sock.valid()) {
        return result(TransferStatus::NetworkError, systemError("socket", errno));
    }

    if (!options.source.empty()) {
        sockaddr_in local{};
        if (!resolve(options.source, 0, local, why)) {
            return result(TransferStatus::NetworkError, "--source: " + why);
        }
        if (::bind(sock.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            const int err = errno;
            return result(TransferStatus::NetworkError,
                          "cannot connect from " + options.source + " (" + std::strerror(err) +
                              (err == EADDRNOTAVAIL ? "; it is not an address of this host)" : ")"));
        }
    }

    if (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        if (errno != EINPROGRESS) {
            const int err = errno;
            return err == ECONNREFUSED ? result(TransferStatus::Refused)
                                       : result(TransferStatus::NetworkError, systemError("connect", err));
        }
        if (!waitFor(sock.get(), POLLOUT, deadline)) {
            return result(TransferStatus::ConnectTimeout);
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(sock.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
            err = errno;
        }
        if (err == ECONNREFUSED) {
            return result(TransferStatus::Refused);
        }
        if (err != 0) {
            return result(TransferStatus::NetworkError, systemError("connect", err));
        }
    }

    // The agent reads the request with a single read: send it in one piece.
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = ::send(sock.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(sock.get(), POLLOUT, deadline)) {
                return result(TransferStatus::ReplyTimeout);
            }
            continue;
        }
        // A connection closed on us before the request was out: the
        // agent's peer filter does this to strangers.
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) {
            return result(TransferStatus::NoReply);
        }
        return result(TransferStatus::NetworkError, systemError("send", errno));
    }

    // Read until the agent closes the connection. Replies are small; the
    // bound only keeps a misbehaving peer from filling memory.
    constexpr std::size_t kMaxReply = 1 << 20;
    TransferResult r;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::recv(sock.get(), chunk, sizeof chunk, 0);
        if (n > 0) {
            r.reply.append(chunk, static_cast<std::size_t>(n));
            if (r.reply.size() > kMaxReply) {
                r.status = TransferStatus::NetworkError;
                r.detail = "the reply is longer than 1 MiB";
                return r;
            }
            continue;
        }
        if (n == 0) {
            break;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!waitFor(sock.get(), POLLIN, deadline)) {
                r.status = TransferStatus::ReplyTimeout;
                return r;
            }
            continue;
        }
        if (errno == ECONNRESET) {
            break; // what arrived before the reset (if anything) is the reply
        }
        r.status = TransferStatus::NetworkError;
        r.detail = systemError("recv", errno);
        return r;
    }
    r.status = r.reply.empty() ? TransferStatus::NoReply : TransferStatus::Replied;
    return r;
}

} // namespace vornctl
