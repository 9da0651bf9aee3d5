// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// What one exchange with the agent came to: the shell (connection.cpp)
// fills it, the core (render.cpp) turns it into output and an exit status.
#pragma once

#include <string>

namespace vornctl {

enum class TransferStatus {
    Replied,        // connected, sent, the agent closed after its reply
    Refused,        // the connection was refused
    ConnectTimeout, // no connection within the timeout
    ReplyTimeout,   // connected and sent, but the agent did not close within the timeout
    NoReply,        // connected, but the agent closed (or reset) without a byte
    NetworkError,   // any other failure, described in detail
};

struct TransferResult {
    TransferStatus status = TransferStatus::NetworkError;
    std::string reply;  // the bytes received (possibly a part, for ReplyTimeout)
    std::string detail; // the system's description, for NetworkError
};

} // namespace vornctl
