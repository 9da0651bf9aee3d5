#include "ipv4.h"

#include <cstdio>

namespace vorn {

Ipv4Text ipv4ToText(std::uint32_t hostOrder) noexcept
{
    Ipv4Text text{};
    std::snprintf(text.data(), text.size(), "%u.%u.%u.%u", (hostOrder >> 24) & 0xFFu, (hostOrder >> 16) & 0xFFu,
                  (hostOrder >> 8) & 0xFFu, hostOrder & 0xFFu);
    return text;
}

} // namespace vorn
