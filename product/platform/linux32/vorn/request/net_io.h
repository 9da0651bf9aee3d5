// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Socket output that never raises SIGPIPE: a peer that has reset its end
// must not end the writing process.
#pragma once

#include <cstddef>
#include <string_view>

#include <sys/types.h>

namespace vorn {

// One send of the whole text (as one write would); returns what send returned.
ssize_t sendOnce(int sock, std::string_view bytes) noexcept;
ssize_t sendOnce(int sock, const void* data, std::size_t size) noexcept;

} // namespace vorn
