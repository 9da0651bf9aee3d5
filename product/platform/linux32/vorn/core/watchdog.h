// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The service manager's watchdog: while the request server's loop turns, it
// tells the service manager that it is alive ("WATCHDOG=1", one datagram on
// the AF_UNIX socket that NOTIFY_SOCKET names), twice per interval that
// WATCHDOG_USEC gives. Without those variables there is no watchdog.
#pragma once

#include <chrono>
#include <optional>

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

namespace vorn {

// The service manager's notification socket.
struct NotifyAddress {
    sockaddr_un addr;
    socklen_t length;
};

// NOTIFY_SOCKET's value as a socket address: an absolute path, or an
// abstract name written with a leading '@'. Nothing for anything else (unset,
// empty, relative, too long).
std::optional<NotifyAddress> notifyAddress(const char* notifySocket);

// How often to tell the service manager that the agent is alive: half of
// WATCHDOG_USEC (microseconds). Nothing when WATCHDOG_USEC is unset, not a
// positive number, or when WATCHDOG_PID is set and does not name self.
std::optional<std::chrono::microseconds> watchdogInterval(const char* usec, const char* pid, pid_t self);

struct ServiceWatchdog {
    NotifyAddress address;
    std::chrono::microseconds interval; // between two notifications
};

// The watchdog that the three variables ask for, if they all do.
std::optional<ServiceWatchdog> serviceWatchdog(const char* notifySocket, const char* usec, const char* pid, pid_t self);

// Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID once, at start (the
// process that the service manager launched), and removes them from the
// environment so that no program the agent runs takes them for its own.
std::optional<ServiceWatchdog> takeServiceWatchdog();

// Sends "WATCHDOG=1" to the service manager; false when it cannot be sent.
bool notifyWatchdog(const NotifyAddress& address);

// The service manager's watchdog, as the launched process found it at start
// (nothing without one): process-wide, defined in core/globals.cpp. The
// request server tells the service manager that it is alive while its loop
// turns.
extern std::optional<ServiceWatchdog> agentWatchdog;

} // namespace vorn
