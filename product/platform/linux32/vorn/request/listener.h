// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The request server's listener: TCP port 6789 on every local address,
// one connection at a time, the SP's address only, and only over hlink0.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>

namespace vorn {

inline constexpr std::uint16_t kRequestPort = 6789;
inline constexpr int kListenBacklog = 5;

// The allowed peer as read from the SP address file's stream (null when the
// file cannot be opened): its first word as a dotted quad, else the default
// SP address. Addresses are in network byte order.
struct AllowedPeer {
    std::uint32_t addr;
    bool formatWrong; // the file opened but held no word
};
AllowedPeer parseAllowedPeer(std::FILE* file);

// Reads the allowed peer from the SP address file, logging a file without a
// word.
std::uint32_t readAllowedPeer();

// Whether an accepted connection is the SP's: its peer address is the
// allowed one and it arrived over hlink0. Addresses in network byte order;
// interfaces as indexes, 0 for one that is unknown or absent (never a match),
// so that a LAN host claiming the SP's address is a stranger.
bool fromSp(std::uint32_t peer, std::uint32_t spip, unsigned arrival, unsigned hostLink);

// Runs the listener; returns only when a socket call fails. While its loop
// turns it tells the service manager that the agent is alive, when the
// service manager asked for that (agentWatchdog); it waits for each
// connection no longer than until the next notice is due.
void vornHandler();

} // namespace vorn
