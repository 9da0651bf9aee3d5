// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "shared/ipv4.h"

#include <cstddef>

namespace vorn {

Ipv4Text ipv4ToText(std::uint32_t hostOrder) noexcept
{
    // "%u.%u.%u.%u", written digit by digit.
    Ipv4Text text{};
    std::size_t at = 0;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const unsigned octet = (hostOrder >> shift) & 0xFFu;
        if (octet >= 100) {
            text[at++] = static_cast<char>('0' + octet / 100);
        }
        if (octet >= 10) {
            text[at++] = static_cast<char>('0' + octet / 10 % 10);
        }
        text[at++] = static_cast<char>('0' + octet % 10);
        if (shift > 0) {
            text[at++] = '.';
        }
    }
    return text;
}

} // namespace vorn
