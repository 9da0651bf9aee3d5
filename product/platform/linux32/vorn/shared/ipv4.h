// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// IPv4 addresses as the agent moves them: dotted-quad text on the wire, in
// files and on command lines; 32-bit numbers in host byte order (first octet
// most significant) to and from the host-link driver.
#pragma once

#include <array>
#include <cstdint>

namespace vorn {

using Ipv4Text = std::array<char, 16>;

// 0xA9FE6503 -> "169.254.101.3".
Ipv4Text ipv4ToText(std::uint32_t hostOrder) noexcept;

} // namespace vorn
