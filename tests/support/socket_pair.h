// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Two connected stream sockets, standing in for both ends of a TCP
// connection; a pair that cannot be made fails the test.
#pragma once

#include <utility>

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "shared/unique_fd.h"

namespace vorn::testsupport {

inline std::pair<UniqueFd, UniqueFd> socketPair()
{
    int fds[2] = {-1, -1};
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

} // namespace vorn::testsupport
