// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Network status query: devices, IPv4 interfaces and the default gateway.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "request/document.h"
#include "shared/ipv4.h"
#include "shared/unique_fd.h"

namespace vorn {

void get_ip(OutBuf& outBuf);

// Appends "<mac>..</mac>" with the six bytes at data as upper-case hex pairs.
void ether_print(OutBuf& outBuf, const unsigned char* data);

// Reads the device names of a stream in the format of "/proc/net/dev": two
// header lines, then one line per device whose first blank-separated word is
// the name followed by a ':' (and, on some kernels, the first counter glued
// to it: "eth0:123456"). Lines whose first word has no ':' are passed over.
class NetDevScan {
public:
    // Reads and discards the two header lines.
    explicit NetDevScan(std::FILE* in);

    // The next device name (valid until the next call); false at the end.
    bool next(std::string_view& device);

private:
    std::FILE* in_;
    // Not cleared: each is read only after the scan has filled it.
    std::array<char, 4096> name_; // NOLINT(cppcoreguidelines-pro-type-member-init)
    std::array<char, 4096> line_; // NOLINT(cppcoreguidelines-pro-type-member-init)
};

// Whether the interface list (packed struct ifreq records, `used` bytes of
// `list`) holds a record whose name is exactly `name`.
bool interfaceListHas(const char* list, std::size_t used, std::string_view name) noexcept;

// The first default route ("00000000" destination) of a stream in the
// format of "/proc/net/route" (header line, then eleven columns a line).
struct DefaultRoute {
    enum class Outcome { None, Found, FormatWrong };
    Outcome outcome;
    std::uint32_t gateway; // the column's value: the address as stored in memory
};
DefaultRoute scanDefaultRoute(std::FILE* in);

// Dotted-quad text of an address stored as the route table prints it (the
// in-memory value of the address, so 0101A8C0 on a little-endian host is
// 192.168.1.1).
Ipv4Text storedAddressText(std::uint32_t stored) noexcept;

} // namespace vorn
