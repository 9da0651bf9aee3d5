// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "core/host_link.h"

#include <cstdio>

#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>

#include "hlink_shared.h"
#include "shared/ipv4.h"
#include "shared/log.h"
#include "shared/shell.h"

namespace vorn {

std::array<char, 256> spAddressFilePath()
{
    std::array<char, 256> path{};
    std::snprintf(path.data(), path.size(), HLINK_PROC_ROOT, HLINK_SP_IP_ENTRY);
    return path;
}

UniqueFile openSpAddressFile()
{
    return openFile(spAddressFilePath().data(), "r");
}

std::array<char, 256> hostLinkUpCommand(std::uint64_t platIp)
{
    const Ipv4Text addr = ipv4ToText(static_cast<std::uint32_t>(platIp & 0xFFFFFFFFu));
    std::array<char, 256> command{};
    std::snprintf(command.data(), command.size(), "/sbin/ifconfig hlink0 %s", addr.data());
    return command;
}

void getPlatIp()
{
    UniqueFd fd(::open(HLINK_DRIVER_PATH, O_RDWR | O_CLOEXEC));
    if (!fd) {
        logf(LOG_CRIT, "failed to open the driver %s\n", HLINK_DRIVER_PATH);
        return;
    }
    std::uint64_t platIp = 0;
    if (::ioctl(fd.get(), IOCTL_GET_PLAT_IP, &platIp) < 0) {
        logText(LOG_CRIT, "IOCTL_GET_PLAT_IP failed\n");
        return;
    }
    // Only the success of this request matters at start-up.
    std::uint64_t spIp = 0;
    if (::ioctl(fd.get(), IOCTL_GET_SP_IP, &spIp) < 0) {
        logText(LOG_CRIT, "IOCTL_GET_SP_IP failed\n");
        return;
    }
    fd.reset();

    const std::array<char, 256> command = hostLinkUpCommand(platIp);
    if (runShell(command.data()) != 0) {
        logText(LOG_CRIT, "initialization of hlink0 device failed\n");
    }
}

void setDriverAddresses(std::uint32_t platIp, std::uint32_t spIp)
{
    UniqueFd fd(::open(HLINK_DRIVER_PATH, O_RDWR | O_CLOEXEC));
    if (!fd) {
        logf(LOG_CRIT, "failed to open the driver %s\n", HLINK_DRIVER_PATH);
        return;
    }
    if (::ioctl(fd.get(), IOCTL_SET_PLAT_IP, static_cast<unsigned long>(platIp)) < 0) {
        logText(LOG_INFO, "mcPoll: IOCTL_SET_PLAT_IP failed\n");
        return;
    }
    if (::ioctl(fd.get(), IOCTL_SET_SP_IP, static_cast<unsigned long>(spIp)) < 0) {
        logText(LOG_INFO, "mcPoll: IOCTL_SET_SP_IP failed\n");
    }
}

unsigned hostLinkInterface(int sock)
{
    ifreq request{};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", HLINK_IFNAME);
    if (::ioctl(sock, SIOCGIFINDEX, &request) < 0 || request.ifr_ifindex <= 0) {
        return 0;
    }
    return static_cast<unsigned>(request.ifr_ifindex);
}

} // namespace vorn
