// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The SP's side of the simulated board: the network namespace that holds sp0
// and the SP's addresses (kSpNetnsPath). What acts as the SP or as a stranger
// on the host link (the simulated SP, vornctl, the tests' clients) opens its
// sockets there, so that its connections reach the daemon over hlink0 as on
// a board.
#pragma once

#include <string>

#include "testbed/common/unique_fd.h"

namespace testbed {

// A socket made in the SP's namespace by the calling thread, which returns
// to its own namespace before this returns. Empty (errno set) on failure.
UniqueFd spSideSocket(int domain, int type, int protocol = 0);

// A socket on the side that holds `source` (a dotted quad): this process's
// own namespace when one of its interfaces has the address, else the SP's.
UniqueFd socketFrom(const std::string& source, int type);

// Moves the calling thread into the SP's namespace for good (a child before
// exec); false (errno set) on failure.
bool enterSpSide();

// `command` as a shell command line that runs it in the SP's namespace.
std::string onSpSide(const std::string& command);

} // namespace testbed
