// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "listener.h"

#include <cerrno>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "dispatch.h"
#include "hlink_shared.h"
#include "log.h"
#include "unique_fd.h"

namespace vorn {

std::array<char, 256> spAddressFilePath()
{
    std::array<char, 256> path{};
    std::snprintf(path.data(), path.size(), HLINK_PROC_ROOT, HLINK_SP_IP_ENTRY);
    return path;
}

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

std::uint32_t readAllowedPeer(const char* path)
{
    UniqueFile file = openFile(path, "r");
    const AllowedPeer peer = parseAllowedPeer(file.get());
    if (peer.formatWrong) {
        logText(LOG_INFO, "config file format wrong\n");
    }
    return peer.addr;
}

namespace {

// Errors that accept reports for a connection that failed before it was
// taken; they say nothing about the listening socket, which stays usable.
bool acceptMayRetry(int err)
{
    switch (err) {
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

} // namespace

void vornHandler()
{
    const std::array<char, 256> confFileName = spAddressFilePath();
    for (;;) {
        int hlinkChanged = 0;
        UniqueFd orig_sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
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
        if (::listen(orig_sock.get(), kListenBacklog) < 0) {
            logText(LOG_CRIT, "listen error\n");
            return;
        }
        std::uint32_t spip = readAllowedPeer(confFileName.data());

        while (hlinkChanged == 0) {
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
            if (client.sin_addr.s_addr != spip) {
                spip = readAllowedPeer(confFileName.data());
                if (client.sin_addr.s_addr != spip) {
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
