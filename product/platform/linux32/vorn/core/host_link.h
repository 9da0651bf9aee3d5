// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The host-link driver as the agent uses it: its device "/dev/hlink" and
// its address requests, its SP address file "/proc/hlink/sp_ip", and the
// interface hlink0 that it provides. Every access to the driver is here.
#pragma once

#include <array>
#include <cstdint>

#include "shared/unique_fd.h"

namespace vorn {

// The SP address file of the host-link driver, "/proc/hlink/sp_ip".
std::array<char, 256> spAddressFilePath();

// The SP address file opened for reading (empty when it cannot be opened).
UniqueFile openSpAddressFile();

// The command that brings up hlink0 with the host address the driver
// reports (host byte order, in the low 32 bits).
std::array<char, 256> hostLinkUpCommand(std::uint64_t platIp);

// Brings up hlink0 with the host address the host-link driver reports.
void getPlatIp();

// Hands both addresses (host byte order) to the driver: the platform
// address first, the SP address only when the platform address was taken.
void setDriverAddresses(std::uint32_t platIp, std::uint32_t spIp);

// The index of hlink0 as sock's namespace has it now; 0 when there is no
// hlink0. Asked through the given socket: it needs no descriptor of its
// own, so that a server at its descriptor limit still serves the SP.
unsigned hostLinkInterface(int sock);

} // namespace vorn
