// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "request/listener.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <optional>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "core/host_link.h"
#include "core/watchdog.h"
#include "hlink_shared.h"
#include "request/dispatch.h"
#include "shared/log.h"
#include "shared/unique_fd.h"

namespace vorn {

AllowedPeer parseAllowedPeer(std::FILE* file)
{
    const AllowedPeer fallback{htonl(HLINK_DEFAULT_SP_IP), false};
    if (file == nullptr) {
        return fallback;
    }
    std::array<char, 256> addr{};
    if (std::fscanf(file, "%255s", addr.data()) != 1) {
        return {fallback.addr, true};
    }
    in_addr parsed{};
    if (::inet_aton(addr.data(), &parsed) == 0) {
        return fallback;
    }
    return {parsed.s_addr, false};
}

std::uint32_t readAllowedPeer()
{
    UniqueFile file = openSpAddressFile();
    const AllowedPeer peer = parseAllowedPeer(file.get());
    if (peer.formatWrong) {
        logText(LOG_INFO, "config file format wrong\n");
    }
    return peer.addr;
}

bool fromSp(std::uint32_t peer, std::uint32_t spip, unsigned arrival, unsigned hostLink)
{
    return peer == spip && hostLink != 0 && arrival == hostLink;
}

namespace {

// Errors that accept reports for a connection that failed before it was
// taken; they say nothing about the listening socket, which stays usable.
bool acceptMayRetry(int err)
{
    switch (err) {
    case EAGAIN: // the connection that poll saw went away before accept
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

bool reuseAddress(int sock)
{
    const int val = 1;
    return ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &val, sizeof val) >= 0;
}

// Makes the connections that sock accepts keep the interface that each
// arrived on (their SYN's), for arrivalInterface.
void keepArrivalInterface(int sock)
{
    const int val = 1;
    // Should it fail, no connection has a known interface and none is served.
    static_cast<void>(::setsockopt(sock, IPPROTO_IP, IP_PKTINFO, &val, sizeof val));
}

// The index of the interface that an accepted connection arrived on; 0 when
// it cannot be learnt.
unsigned arrivalInterface(int sock)
{
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(in_pktinfo)) * 2> control{};
    socklen_t length = control.size();
    if (::getsockopt(sock, IPPROTO_IP, IP_PKTOPTIONS, control.data(), &length) < 0) {
        return 0;
    }
    msghdr msg{};
    msg.msg_control = control.data();
    msg.msg_controllen = length;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            return info.ipi_ifindex > 0 ? static_cast<unsigned>(info.ipi_ifindex) : 0;
        }
    }
    return 0;
}

// Tells the service manager, while the listener's loop turns, that the
// request server is alive: at the first turn after each interval.
class AliveNotice {
public:
    using Clock = std::chrono::steady_clock;

    explicit AliveNotice(const std::optional<ServiceWatchdog>& watchdog) : watchdog_(watchdog)
    {
        if (watchdog_) {
            due_ = Clock::now() + watchdog_->interval;
        }
    }

    // Sends the notice when it is due. Returns how long the listener may
    // wait for its next connection, in milliseconds (-1: without a bound).
    int sendIfDue()
    {
        if (!watchdog_) {
            return -1;
        }
        Clock::time_point now = Clock::now();
        if (now >= due_) {
            // Should it fail, the service manager ends the agent once the
            // interval has passed, and starts it again.
            static_cast<void>(notifyWatchdog(watchdog_->address));
            now = Clock::now();
            due_ = now + watchdog_->interval;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(due_ - now).count();
        return left < INT_MAX ? static_cast<int>(left) : INT_MAX;
    }

private:
    std::optional<ServiceWatchdog> watchdog_;
    Clock::time_point due_{};
};

// Waits up to timeoutMs (-1: without a bound) for a connection to accept.
// False when the wait itself failed; a wait that ends without one is true,
// and the accept that follows finds nothing and is retried.
bool waitForConnection(int sock, int timeoutMs)
{
    pollfd ready{sock, POLLIN, 0};
    return ::poll(&ready, 1, timeoutMs) >= 0 || errno == EINTR || errno == ENOMEM;
}

} // namespace

void vornHandler()
{
    AliveNotice alive(agentWatchdog);
    for (;;) {
        int hlinkChanged = 0;
        // Non-blocking, so that an accept after the wait never blocks the
        // loop; the connections it accepts block as before.
        UniqueFd orig_sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!orig_sock) {
            logText(LOG_CRIT, "generate error\n");
            return;
        }
        if (!reuseAddress(orig_sock.get())) {
            logText(LOG_CRIT, "can't reuse socket\n");
            return;
        }
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_addr.s_addr = htonl(INADDR_ANY);
        server.sin_port = htons(kRequestPort);
        if (::bind(orig_sock.get(), reinterpret_cast<const sockaddr*>(&server), sizeof server) < 0) {
            logText(LOG_CRIT, "bind error\n");
            return;
        }
        keepArrivalInterface(orig_sock.get());
        if (::listen(orig_sock.get(), kListenBacklog) < 0) {
            logText(LOG_CRIT, "listen error\n");
            return;
        }
        std::uint32_t spip = readAllowedPeer();

        while (hlinkChanged == 0) {
            if (!waitForConnection(orig_sock.get(), alive.sendIfDue())) {
                return;
            }
            sockaddr_in client{};
            socklen_t length = sizeof client;
            UniqueFd new_sock(::accept4(orig_sock.get(), reinterpret_cast<sockaddr*>(&client), &length, SOCK_CLOEXEC));
            if (!new_sock) {
                if (acceptMayRetry(errno)) {
                    continue;
                }
                return;
            }
            if (!reuseAddress(new_sock.get())) {
                logText(LOG_CRIT, "can't reuse socket\n");
                return;
            }
            // hlink0 looked up for each connection: a new driver can give
            // it another index.
            const unsigned arrival = arrivalInterface(new_sock.get());
            const unsigned hostLink = hostLinkInterface(new_sock.get());
            if (!fromSp(client.sin_addr.s_addr, spip, arrival, hostLink)) {
                spip = readAllowedPeer();
                if (!fromSp(client.sin_addr.s_addr, spip, arrival, hostLink)) {
                    new_sock.reset();
                    logText(LOG_INFO, "Incoming request from wrong IP\n");
                    continue;
                }
            }
            hlinkChanged = handleRequest(std::move(new_sock));
        }
    }
}

} // namespace vorn
