// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The request server's listener: TCP port 6789 on every local address,
// one connection at a time, the SP's address only.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>

namespace vorn {

inline constexpr std::uint16_t kRequestPort = 6789;
inline constexpr int kListenBacklog = 5;

// The SP address file of the host-link driver, "/proc/hlink/sp_ip".
std::array<char, 256> spAddressFilePath();

// The allowed peer as read from the SP address file's stream (null when the
// file cannot be opened): its first word as a dotted quad, else the default
// SP address. Addresses are in network byte order.
struct AllowedPeer {
    std::uint32_t addr;
    bool formatWrong; // the file opened but held no word
};
AllowedPeer parseAllowedPeer(std::FILE* file);

// Reads the allowed peer from path, logging a file without a word.
std::uint32_t readAllowedPeer(const char* path);

// Runs the listener; returns only when a socket call fails.
void vornHandler();

} // namespace vorn
