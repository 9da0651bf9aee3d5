// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Network status query ('e'): first every network device without an IPv4
// address (name and hardware address), then every IPv4 interface of the
// kernel's interface list, then the default gateway, then the result code.
#include "commands/cmd_netstat.h"

#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <syslog.h>

#include "commands/netstat_tables.h"
#include "shared/ipv4.h"
#include "shared/log.h"
#include "shared/unique_fd.h"

namespace vorn {

namespace {

constexpr const char* kNetDevPath = "/proc/net/dev";
constexpr const char* kRoutePath = "/proc/net/route";

constexpr int kNoInterfaceList = -14;
constexpr int kNoRouteTable = -2;

// The interface list: packed struct ifreq records.
constexpr std::size_t kIfListSize = 4096;
static_assert(sizeof(ifreq) == 40, "interface list records are 40 bytes");
static_assert(kIfListSize / sizeof(ifreq) == 102, "102 records fit in the interface list");

std::string_view recordName(const ifreq& record) noexcept
{
    return {record.ifr_name, ::strnlen(record.ifr_name, IFNAMSIZ)};
}

// A zeroed request record naming the interface. Kernel names never exceed
// 15 characters; the copy is bounded so that the name stays terminated.
ifreq requestFor(std::string_view name) noexcept
{
    ifreq req{};
    const std::size_t n = name.size() < IFNAMSIZ - 1 ? name.size() : IFNAMSIZ - 1;
    std::memcpy(req.ifr_name, name.data(), n);
    return req;
}

int nameLength(std::string_view name) noexcept
{
    return static_cast<int>(name.size());
}

// A name as "%.*s" prints it: up to its first zero byte.
std::string_view textBeforeZero(std::string_view text) noexcept
{
    return text.substr(0, ::strnlen(text.data(), text.size()));
}

// Once the document has reached its bound, further elements would all be
// dropped: they need not be formatted, and an interface's requests, whose
// only effect is its elements, need not be issued.
bool documentFull(const OutBuf& outBuf) noexcept
{
    return documentLength(outBuf) >= kResponseSize - 1;
}

// The kernel's tables are read through a stream buffer that holds about a
// hundred and forty lines, so that a table takes a few reads rather than one
// per kilobyte, while a scan that ends early does not make the kernel
// format the whole table of a host with hundreds of devices or routes.
constexpr std::size_t kTableStreamBuffer = std::size_t{16} * 1024;
using TableStreamBuffer = std::array<char, kTableStreamBuffer>;

UniqueFile openTable(const char* path, TableStreamBuffer& streamBuf)
{
    UniqueFile table = openFile(path, "r");
    if (table) {
        std::setvbuf(table.get(), streamBuf.data(), _IOFBF, streamBuf.size());
    }
    return table;
}

// Appends the elements of one IPv4 interface of the list.
void print_if(OutBuf& outBuf, int s, const ifreq& ifr, std::string_view ifname)
{
    sockaddr_in addr{};
    std::memcpy(&addr, &ifr.ifr_addr, sizeof addr);
    const Ipv4Text addrText = ipv4ToText(ntohl(addr.sin_addr.s_addr));
    printAppendAll(outBuf, {"<interface>", ifname, "</interface><addr>", addrText.data(), "</addr>"});

    ifreq ifr2 = requestFor(ifname);
    if (::ioctl(s, SIOCGIFFLAGS, &ifr2) < 0) {
        printAppend(outBuf, "<error>SIOCGIFFLAGS failure</error>");
    }
    // After a failure the flags read as 0: the record was zeroed, so a
    // loopback interface is then handled as any other.
    const bool loopback = (static_cast<unsigned short>(ifr2.ifr_flags) & IFF_LOOPBACK) != 0;

    if (!loopback) {
        ifr2 = requestFor(ifname);
        if (::ioctl(s, SIOCGIFHWADDR, &ifr2) < 0) {
            printAppend(outBuf, "<error>SIOCGIFHWADDR failure</error>");
        } else {
            ether_print(outBuf, reinterpret_cast<const unsigned char*>(ifr2.ifr_hwaddr.sa_data));
        }
    }

    ifr2 = requestFor(ifname);
    if (::ioctl(s, SIOCGIFNETMASK, &ifr2) < 0) {
        printAppend(outBuf, "<error>SIOCGIFNETMASK failure</error>");
    } else {
        sockaddr_in mask{};
        std::memcpy(&mask, &ifr2.ifr_netmask, sizeof mask);
        const Ipv4Text maskText = ipv4ToText(ntohl(mask.sin_addr.s_addr));
        printAppendAll(outBuf, {"<mask>", maskText.data(), "</mask>"});
    }
}

// Devices that have no record in the interface list: name and hardware
// address. A device whose hardware address cannot be read is reported on
// the standard streams only.
void reportDevicesWithoutAddress(OutBuf& outBuf, int s, const char* list, std::size_t used)
{
    TableStreamBuffer streamBuf; // outlives the stream, which is declared after it
    UniqueFile netDev = openTable(kNetDevPath, streamBuf);
    if (!netDev) {
        return;
    }
    NetDevScan scan(netDev.get());
    std::string_view device;
    // Once the document is full, no further device can reach the reply, so
    // the rest of the file is not read. (A device that cannot be found is
    // reported on the standard streams, which are the null device in the
    // running agent.)
    while (!documentFull(outBuf) && scan.next(device)) {
        if (interfaceListHas(list, used, device)) {
            continue;
        }
        ifreq req = requestFor(device);
        if (::ioctl(s, SIOCGIFHWADDR, &req) == 0) {
            printAppendAll(outBuf, {"<interface>", textBeforeZero(device), "</interface>"});
            ether_print(outBuf, reinterpret_cast<const unsigned char*>(req.ifr_hwaddr.sa_data));
        } else {
            std::printf("unable to find %.*s\n", nameLength(device), device.data());
            std::fflush(stdout);
            std::perror("ioctl");
        }
    }
}

// Appends the device and interface elements; 0, or -14 without an
// interface list.
int appendInterfaces(OutBuf& outBuf)
{
    UniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!s) {
        printAppend(outBuf, "<error>Unable to get ip addresses</error>");
        return kNoInterfaceList;
    }

    alignas(ifreq) std::array<char, kIfListSize> buf{};
    ifconf ifc{};
    ifc.ifc_len = static_cast<int>(buf.size());
    ifc.ifc_buf = buf.data();
    if (::ioctl(s.get(), SIOCGIFCONF, &ifc) < 0) {
        printAppend(outBuf, "<error>Unable to get ip addresses</error>");
        return kNoInterfaceList;
    }
    const std::size_t used = ifc.ifc_len > 0 ? static_cast<std::size_t>(ifc.ifc_len) : 0;

    reportDevicesWithoutAddress(outBuf, s.get(), buf.data(), used);

    const char* cp = buf.data();
    const char* const cplim = buf.data() + used;
    for (; cp + sizeof(ifreq) <= cplim && !documentFull(outBuf); cp += sizeof(ifreq)) {
        ifreq record;
        std::memcpy(&record, cp, sizeof record);
        if (record.ifr_addr.sa_family == AF_INET) {
            print_if(outBuf, s.get(), record, recordName(record));
        }
    }
    return 0;
}

// Appends the default gateway; 0, or -2 when the route table cannot be read.
int getRoute(OutBuf& outBuf)
{
    TableStreamBuffer streamBuf; // outlives the stream, which is declared after it
    UniqueFile route = openTable(kRoutePath, streamBuf);
    if (!route) {
        printAppend(outBuf, "<error>Unable to get route</error>");
        return kNoRouteTable;
    }
    const DefaultRoute found = scanDefaultRoute(route.get());
    switch (found.outcome) {
    case DefaultRoute::Outcome::Found:
        printAppendf(outBuf, "<defaultGW>%s</defaultGW>", storedAddressText(found.gateway).data());
        break;
    case DefaultRoute::Outcome::FormatWrong:
        logf(LOG_INFO, "%s file format wrong\n", kRoutePath);
        break;
    case DefaultRoute::Outcome::None:
        break;
    }
    return 0;
}

} // namespace

void ether_print(OutBuf& outBuf, const unsigned char* data)
{
    // "%02X:%02X:%02X:%02X:%02X:%02X", written digit by digit.
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::array<char, 17> mac{};
    for (std::size_t i = 0; i < 6; ++i) {
        mac[3 * i] = kHex[data[i] >> 4];
        mac[3 * i + 1] = kHex[data[i] & 0x0F];
        if (i < 5) {
            mac[3 * i + 2] = ':';
        }
    }
    printAppendAll(outBuf, {"<mac>", std::string_view(mac.data(), mac.size()), "</mac>"});
}

bool interfaceListHas(const char* list, std::size_t used, std::string_view name) noexcept
{
    for (std::size_t off = 0; off + sizeof(ifreq) <= used; off += sizeof(ifreq)) {
        const char* recName = list + off + offsetof(ifreq, ifr_name);
        if (::strnlen(recName, IFNAMSIZ) == name.size() && std::memcmp(recName, name.data(), name.size()) == 0) {
            return true;
        }
    }
    return false;
}

void get_ip(OutBuf& outBuf)
{
    printStart(outBuf);
    int rc = appendInterfaces(outBuf);
    if (rc == 0) {
        rc = getRoute(outBuf);
    }
    printAppendf(outBuf, "<cmdRetVal>%d</cmdRetVal>", rc);
    printEnd(outBuf);
}

} // namespace vorn
