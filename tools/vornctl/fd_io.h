// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// vornctl's loops over read and write: a whole text out, a whole file in,
// interrupted calls taken up again.
#pragma once

#include <string>
#include <string_view>

namespace vornctl {

// Writes all of text to fd; false when a write fails or writes nothing.
bool writeAll(int fd, std::string_view text);

// Reads from fd to its end; false (and the reason) on a read error.
bool readAll(int fd, std::string& bytes, std::string& why);

} // namespace vornctl
