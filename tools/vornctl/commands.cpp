// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "commands.h"

#include <array>

namespace vornctl {

namespace {

using enum ArgKind;
using enum ReplyKind;

constexpr std::array kCommands{
    CommandSpec{"time", "", 'T', None, Document, "", "the host's time (seconds since the Epoch)", ""},
    CommandSpec{"hostname", "", 'H', None, Document, "", "the host's name", ""},
    CommandSpec{"version", "features", 'v', None, Document, "", "the agent's feature version", ""},
    CommandSpec{"netstat", "", 'e', None, Document, "", "network devices, IPv4 interfaces and the default gateway", ""},
    CommandSpec{"set-ip", "", 'E', SetIp, Document, "IFACE [ADDR|STATE [NETMASK]]",
                "run ifconfig on the host for IFACE (never hlink0)", ""},
    CommandSpec{"get-dns", "", 'd', None, Document, "", "name servers and search domain of /etc/resolv.conf", ""},
    CommandSpec{"set-dns", "", 'D', SetDns, Document, "ADDR", "make ADDR the SP's name server in /etc/resolv.conf", ""},
    CommandSpec{"set-hlink", "", 'J', SetHlink, Document, "PLAT_ADDR SP_ADDR",
                "move the host link to new addresses (host end, SP end)", ""},
    CommandSpec{"inventory", "", 'L', None, Document, "", "the host's software inventory", ""},
    CommandSpec{"temps", "", 'C', None, Document, "", "CPU temperatures, CPU id value and model number", ""},
    CommandSpec{"cpuid", "", 'c', Cpu, CpuidRecord, "N", "the identity record of CPU N (0 to 3)", ""},
    CommandSpec{"dimm-map", "", 'M', None, DimmMap, "", "the memory-module map (DRAM register values)", ""},
    CommandSpec{"shutdown", "", 's', None, Document, "", "shut the host down in order (shutdown -h now)",
                "shut down the host in order"},
    CommandSpec{"poweroff", "forced-shutdown", 'f', None, Document, "", "take the host to run level 0 (init 0)",
                "take the host down to run level 0"},
    CommandSpec{"reboot", "", 'b', None, Document, "", "reboot the host", "reboot the host"},
    CommandSpec{"forced-reboot", "", 'B', None, Document, "", "reboot the host at once (reboot -f)",
                "force an immediate reboot of the host"},
    CommandSpec{"hb-interval", "", 'h', Interval, Document, "MS", "set the heartbeat interval in milliseconds", ""},
    CommandSpec{"mc-interval", "", 'p', Interval, Document, "MS", "set the MC poll interval in milliseconds", ""},
    CommandSpec{"raw", "", 0, Raw, Any, "BYTES", "send BYTES as the request (escapes: \\xHH \\n \\r \\t \\0 \\\\)", ""},
};

} // namespace

std::span<const CommandSpec> allCommands() noexcept
{
    return kCommands;
}

const CommandSpec* findCommand(std::string_view name) noexcept
{
    for (const CommandSpec& c : kCommands) {
        if (c.name == name || (!c.alias.empty() && c.alias == name)) {
            return &c;
        }
    }
    return nullptr;
}

const CommandSpec* findCommandByLetter(char letter) noexcept
{
    for (const CommandSpec& c : kCommands) {
        if (c.letter != 0 && c.letter == letter) {
            return &c;
        }
    }
    return nullptr;
}

} // namespace vornctl
