// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "request/dispatch.h"

#include <cerrno>
#include <cstdint>

#include <sys/socket.h>
#include <sys/time.h>

#include "request/net_io.h"

namespace vorn {

void buildInvalidRequest(OutBuf& outBuf) noexcept
{
    printStart(outBuf);
    printAppend(outBuf, "<error>Invalid request</error>");
    printEnd(outBuf);
}

int handleRequest(UniqueFd new_sock, const CommandTable& table)
{
    int hlinkChanged = 0;
    ReqBuf buf{};
    OutBuf outBuf{};

    // An admitted peer that never sends must not hold the single-threaded
    // server: a read that times out is handled like a peer that closed.
    timeval timeout{kRequestReadTimeoutSeconds, 0};
    ::setsockopt(new_sock.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    ssize_t n = 0;
    do {
        n = ::recv(new_sock.get(), buf.data(), kRequestSize, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        return 0;
    }

    const Command& command = table[static_cast<std::uint8_t>(buf[0])];
    if (command.hostLink != nullptr) {
        hlinkChanged = command.hostLink(std::move(new_sock), outBuf, buf);
    } else if (command.direct != nullptr) {
        command.direct(new_sock.get(), buf);
    } else {
        if (command.document != nullptr) {
            command.document(outBuf, buf);
        } else {
            buildInvalidRequest(outBuf);
        }
        sendOnce(new_sock.get(), documentText(outBuf));
    }
    return hlinkChanged;
}

} // namespace vorn
