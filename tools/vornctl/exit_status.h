// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// vornctl's exit statuses (also listed in --help and in vornctl(1)).
#pragma once

namespace vornctl {

enum ExitStatus : int {
    kExitOk = 0,
    kExitAgentError = 1,  // the agent answered with an error, a nonzero cmdRetVal, or refused the CPU number
    kExitUsage = 2,       // wrong command line
    kExitRefused = 3,     // connection refused: nothing listens at the address and port
    kExitTimeout = 4,     // no connection or no complete reply within the timeout
    kExitNoReply = 5,     // the connection was closed without a reply (the peer filter does this to strangers)
    kExitBadReply = 6,    // a reply that cannot be decoded (malformed document, wrong size, bad checksum)
    kExitNetwork = 7,     // any other network or system error (unreachable host, --source not local, ...)
    kExitNotConfirmed = 8 // a power command was not confirmed
};

} // namespace vornctl
