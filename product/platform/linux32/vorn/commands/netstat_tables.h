// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The kernel's tables that the network status query reads, parsed:
// "/proc/net/dev" (the devices) and "/proc/net/route" (the default gateway).
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "shared/ipv4.h"

namespace vorn {

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
    std::array<char, 4096> name_;
    std::array<char, 4096> line_;
};

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
