// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Host-link address command: moves both ends of the host link.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "request/document.h"
#include "shared/unique_fd.h"

namespace vorn {

// Owns the connection: answers and closes it, then moves the link.
// Returns 1 once a valid request has been answered, else 0.
int set_hlink_ip(UniqueFd new_sock, OutBuf& outBuf, ReqBuf& buf);

// The two address texts as sent. A missing key gives the empty text.
struct HlinkFields {
    const char* platIp = "";
    const char* spIp = "";
};
static_assert(sizeof(HlinkFields) == 2 * sizeof(const char*));

// Finds the first "p=" and the first "s=" in text and writes a terminator
// over the 's' of "s=", so that the platform text ends there when it comes
// first.
HlinkFields findHlinkFields(char* text) noexcept;

// Both texts have at least three characters.
bool hlinkFieldsValid(const HlinkFields& fields) noexcept;

// The reply: the refusal naming both texts and -1, or 0 for a valid request.
void buildHlinkReply(OutBuf& outBuf, const HlinkFields& fields, bool valid) noexcept;

// The platform text as an address in host byte order, only when it is a
// dotted quad of four decimal numbers followed by nothing but white space.
std::optional<std::uint32_t> parsePlatformAddress(const char* text) noexcept;

// The address the driver receives for a text: as parsed in numbers-and-dots
// notation (up to the first white space), else the fallback.
std::uint32_t driverAddress(const char* text, std::uint32_t fallback) noexcept;

inline constexpr const char* kInitScriptPath = "/etc/init.d/vorn";

// The size of the init script once its host-link lines name address: every
// line that holds "ifconfig hlink0 " followed by a digit becomes
// "ifconfig hlink0 " and the address; other lines and the line ends stay.
std::uint64_t rewrittenInitScriptSize(std::string_view script, std::string_view address) noexcept;

// The shell steps, each given the parsed platform address.
using CommandLine = std::array<char, 256>;
CommandLine initScriptCommand(std::uint32_t platIp) noexcept;
CommandLine hlinkAddressCommand(std::uint32_t platIp) noexcept;

} // namespace vorn
