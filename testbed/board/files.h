// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The testbed's file helpers and its failures.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace testbed::detail {

// Throws std::runtime_error("testbed: what"), with strerror(errno) for failErrno.
[[noreturn]] void fail(const std::string& what);
[[noreturn]] void failErrno(const std::string& what);
// The whole file; empty when it cannot be opened.
std::optional<std::string> slurp(const std::string& path);
std::string readLink(const std::string& path); // empty when it is no link
// Makes the directories above path.
void makeParents(const std::string& path);
// Writes the file (and the directories above it) with this mode.
void putFile(const std::string& path, std::string_view content, mode_t mode);

} // namespace testbed::detail
