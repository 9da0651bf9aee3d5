// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The network status query's table scans over any text: the default-route
// scan of "/proc/net/route", the device scan of "/proc/net/dev", the search
// of the interface list, and the address and hardware-address elements.
#include <arpa/inet.h>

#include "commands/cmd_netstat.h"
#include "commands/netstat_tables.h"
#include "fuzz_support.h"

using namespace vorn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    {
        fuzz::MemFile in(text);
        const DefaultRoute route = scanDefaultRoute(in.get());
        if (route.outcome == DefaultRoute::Outcome::Found) {
            const Ipv4Text addr = storedAddressText(route.gateway);
            in_addr back{};
            fuzz::check(inet_pton(AF_INET, addr.data(), &back) == 1 && back.s_addr == route.gateway,
                        "the gateway text does not read back as the stored address", addr.data());
        } else {
            fuzz::check(route.gateway == 0, "a gateway without a default route");
        }
    }
    {
        fuzz::MemFile in(text);
        NetDevScan scan(in.get());
        std::string_view device;
        std::size_t devices = 0;
        while (scan.next(device)) {
            fuzz::check(++devices <= size, "more devices than bytes");
            fuzz::check(device.size() < 4096 && device.find(':') == std::string_view::npos,
                        "a device name with its colon", device);
            for (const char c : device)
                fuzz::check(std::string_view(" \t\n\v\f\r").find(c) == std::string_view::npos,
                            "a device name with white space", device);
            interfaceListHas(text.data(), size, device);
        }
    }
    OutBuf out{};
    printStart(out);
    for (std::size_t at = 0; at + 6 <= size && at < 6 * 1000; at += 6)
        ether_print(out, data + at);
    printEnd(out);
    fuzz::checkDocument(out);
    return 0;
}
