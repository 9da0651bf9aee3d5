// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Interface address command: a filtered ifconfig on a host interface.
#pragma once

#include <array>
#include <cstdio>
#include <string_view>

#include "request/document.h"

namespace vorn {

void set_ip(OutBuf& outBuf, ReqBuf& buf);

// The request's tokens: param[0] holds the command letter, param[1] to
// param[4] the interface, the address (or state word) and the netmask. A
// token the request does not supply is the empty text.
using SetIpToken = std::array<char, 256>;
struct SetIpParams {
    std::array<SetIpToken, 5> param{};
    int argCount = -1; // tokens stored less one: 0 to 4 (-1: none at all)
};
static_assert(sizeof(SetIpParams) == sizeof(SetIpToken) * 5 + sizeof(int));

// A command line, and the error file's name.
using CommandLine = std::array<char, 256>;

inline constexpr const char* kSetIpLogTemplate = "/tmp/vorn.logXXXXXX";
inline constexpr std::string_view kHlinkRefusal = "<error>Can't change HLINK interface.</error>";

// Splits text in place at blanks, tabs and commas (terminators are written
// over separators only) and copies up to five tokens, each bounded to 255
// characters.
SetIpParams tokenise(char* text) noexcept;

// True when the interface token names the host link exactly.
bool refusesInterface(const SetIpParams& params) noexcept;

// An interface token that begins with '-' and has seven or more characters
// loses its first six and is cut at its first double quote.
void stripInterfacePrefix(SetIpToken& token) noexcept;

// Blanks every character other than an ASCII letter, digit, '.' or '/'.
void cleanse(char* text) noexcept;

// The ifconfig command line for the tokens. Only the request's part is
// cleansed; the redirection of the error output into logFileName follows it
// whole (the request's part is cut to leave room for it). A null
// logFileName: no redirection.
CommandLine buildIfconfigCommand(const SetIpParams& params, const char* logFileName) noexcept;

// Appends the words of the stream, each followed by one blank.
void appendWords(OutBuf& outBuf, std::FILE* in) noexcept;

// Appends the error element made from the error file's words, then removes
// the file. An error file that cannot be opened gives an empty element and
// stays.
void printLog(OutBuf& outBuf, const char* logFileName);

} // namespace vorn
