// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "request/net_io.h"

#include <cerrno>

#include <sys/socket.h>

namespace vorn {

ssize_t sendOnce(int sock, const void* data, std::size_t size) noexcept
{
    ssize_t n = 0;
    do {
        n = ::send(sock, data, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t sendOnce(int sock, std::string_view bytes) noexcept
{
    return sendOnce(sock, bytes.data(), bytes.size());
}

} // namespace vorn
