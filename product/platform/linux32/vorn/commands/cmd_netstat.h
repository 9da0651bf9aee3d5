// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Network status query: devices, IPv4 interfaces and the default gateway.
#pragma once

#include <cstddef>
#include <string_view>

#include "request/document.h"

namespace vorn {

void get_ip(OutBuf& outBuf);

// Appends "<mac>..</mac>" with the six bytes at data as upper-case hex pairs.
void ether_print(OutBuf& outBuf, const unsigned char* data);

// Whether the interface list (packed struct ifreq records, `used` bytes of
// `list`) holds a record whose name is exactly `name`.
bool interfaceListHas(const char* list, std::size_t used, std::string_view name) noexcept;

} // namespace vorn
