// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// TCP connections from a chosen local address of the sandbox, and their replies.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "testbed/board/timing.h"
#include "testbed/common/unique_fd.h"

namespace testbed {

struct Reply {
    std::string bytes;
    bool connected = false; // the connection was established
    bool closed = false;    // the daemon closed it (end of stream or reset) before the timeout
    bool reset = false;     // by a reset: the daemon closed with unread input
    bool timedOut = false;
};

// A TCP connection from a chosen local address, for exchanges step by step.
class Connection {
public:
    // Connects from `source` to target:port; check connected().
    Connection(const std::string& source, const std::string& target, std::uint16_t port,
               Millis timeout = kDefaultTimeout);
    bool connected() const { return connected_; }
    bool refused() const { return refused_; }
    // Sends everything (false if the peer has closed or reset the connection).
    bool send(std::string_view bytes);
    void shutdownWrite();
    // Reads until the peer closes the connection or the timeout passes.
    Reply readToClose(Millis timeout = kDefaultTimeout);

private:
    UniqueFd fd_;
    bool connected_ = false;
    bool refused_ = false;
};

// One exchange: connect, send `bytes` (none: shut the sending side), read to the close.
Reply exchange(const std::string& source, const std::string& target, std::uint16_t port, std::string_view bytes,
               Millis timeout = kDefaultTimeout);

namespace detail {
std::uint32_t parseAddress(const std::string& dottedQuad); // host order; throws if it is none
std::string addressText(std::uint32_t hostOrder);
} // namespace detail

} // namespace testbed
