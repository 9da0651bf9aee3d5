// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Byte escapes: the raw command's argument, and bytes shown to a person.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vornctl {

// Decodes \xHH, \n, \r, \t, \0 and \\ in text; every other character stands
// for itself. Returns nothing for a malformed escape (with the reason in
// *why when given).
std::optional<std::string> decodeEscapes(std::string_view text, std::string* why = nullptr);

// The bytes as printable text: printable ASCII as it is, \n \r \t \\ as such,
// every other byte as \xHH.
std::string showBytes(std::string_view bytes);

// A hex dump, 16 bytes a line: offset, hex bytes, printable characters.
std::string hexDump(std::string_view bytes);

} // namespace vornctl
