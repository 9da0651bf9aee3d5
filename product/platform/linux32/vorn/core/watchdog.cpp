// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "core/watchdog.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <unistd.h>

#include "shared/unique_fd.h"

namespace vorn {

namespace {

constexpr const char* kNotifySocket = "NOTIFY_SOCKET";
constexpr const char* kWatchdogUsec = "WATCHDOG_USEC";
constexpr const char* kWatchdogPid = "WATCHDOG_PID";
constexpr char kWatchdogMessage[] = "WATCHDOG=1";

// A decimal number of digits only, within max.
std::optional<std::uint64_t> decimal(const char* text, std::uint64_t max)
{
    if (text == nullptr || *text == '\0') {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(*c - '0');
        if (value > (max - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

} // namespace

std::optional<NotifyAddress> notifyAddress(const char* notifySocket)
{
    if (notifySocket == nullptr || (notifySocket[0] != '/' && notifySocket[0] != '@')) {
        return std::nullopt;
    }
    NotifyAddress out{};
    out.addr.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(notifySocket);
    const bool abstract = notifySocket[0] == '@';
    // A path needs room for its terminating zero; an abstract name has none.
    if (length > sizeof out.addr.sun_path - (abstract ? 0 : 1) || (abstract && length < 2)) {
        return std::nullopt;
    }
    std::memcpy(out.addr.sun_path, notifySocket, length);
    if (abstract) {
        out.addr.sun_path[0] = '\0';
    }
    out.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (abstract ? 0 : 1));
    return out;
}

std::optional<std::chrono::microseconds> watchdogInterval(const char* usec, const char* pid, pid_t self)
{
    const std::optional<std::uint64_t> total =
        decimal(usec, static_cast<std::uint64_t>(std::numeric_limits<std::chrono::microseconds::rep>::max()));
    if (!total || *total / 2 == 0) {
        return std::nullopt;
    }
    if (pid != nullptr) {
        const std::optional<std::uint64_t> owner =
            decimal(pid, static_cast<std::uint64_t>(std::numeric_limits<pid_t>::max()));
        if (!owner || static_cast<pid_t>(*owner) != self) {
            return std::nullopt;
        }
    }
    return std::chrono::microseconds(static_cast<std::chrono::microseconds::rep>(*total / 2));
}

std::optional<ServiceWatchdog> serviceWatchdog(const char* notifySocket, const char* usec, const char* pid, pid_t self)
{
    const std::optional<NotifyAddress> address = notifyAddress(notifySocket);
    const std::optional<std::chrono::microseconds> interval = watchdogInterval(usec, pid, self);
    if (!address || !interval) {
        return std::nullopt;
    }
    return ServiceWatchdog{*address, *interval};
}

std::optional<ServiceWatchdog> takeServiceWatchdog()
{
    const std::optional<ServiceWatchdog> watchdog =
        serviceWatchdog(std::getenv(kNotifySocket), std::getenv(kWatchdogUsec), std::getenv(kWatchdogPid), ::getpid());
    for (const char* name : {kNotifySocket, kWatchdogUsec, kWatchdogPid}) {
        ::unsetenv(name);
    }
    return watchdog;
}

bool notifyWatchdog(const NotifyAddress& address)
{
    const UniqueFd sock(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock) {
        return false;
    }
    ssize_t sent = 0;
    do {
        sent = ::sendto(sock.get(), kWatchdogMessage, sizeof kWatchdogMessage - 1, MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address.addr), address.length);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(sizeof kWatchdogMessage - 1);
}

} // namespace vorn
