// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "args.h"

#include <arpa/inet.h>

namespace vornctl {

bool isIpv4Address(std::string_view text)
{
    in_addr a{};
    return ::inet_pton(AF_INET, std::string(text).c_str(), &a) == 1;
}

bool parseListenAddress(std::string_view text, std::string& address, std::uint16_t& port)
{
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        return false;
    }
    const std::string_view host = text.substr(0, colon);
    std::uint16_t p = 0;
    if (!isIpv4Address(host) || !parseNumber(text.substr(colon + 1), p) || p == 0) {
        return false;
    }
    address = host;
    port = p;
    return true;
}

} // namespace vornctl
