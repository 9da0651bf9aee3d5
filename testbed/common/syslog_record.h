// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The syslog collector's records: how a datagram that a program sent to
// "/dev/log" is taken apart, and the line format of kSyslogPath.
//
// Each message is one line, fields separated by tabs:
//   TIME_NS  SEVERITY  FACILITY  IDENT  PID  TEXT
// TIME_NS is CLOCK_MONOTONIC when the collector received the datagram;
// SEVERITY is 0 (LOG_EMERG) to 7 (LOG_DEBUG); FACILITY is the LOG_xxx facility
// value (LOG_DAEMON is 24); PID is the sender's process id in the sandbox's pid
// namespace (from the socket credentials). IDENT and TEXT are escaped so that
// a line holds no tab or newline: backslash as "\\", newline "\n", tab "\t",
// carriage return "\r", any other byte below 0x20 and 0x7f as "\xHH". The
// message text keeps its trailing newline (escaped as "\n").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace testbed {

inline constexpr const char* kSyslogPath = "/run/testbed/syslog";
inline constexpr const char* kSyslogSocketPath = "/dev/log";

struct SyslogMessage {
    std::int64_t timeNs = 0;
    int severity = 0;
    int facility = 0;
    std::string ident;
    pid_t pid = 0;
    std::string text;
};

// Takes apart "<PRI>Mmm dd hh:mm:ss IDENT[PID]: TEXT" as the C library sends it.
// A datagram of another shape keeps what can be found: everything after the
// priority becomes the text.
SyslogMessage parseDatagram(std::string_view datagram);

std::string escapeField(std::string_view raw);
std::string unescapeField(std::string_view escaped);

// One line of the collector's file, with its newline.
std::string formatRecord(const SyslogMessage& message);
// Parses a line without its newline; nothing for a malformed line.
std::optional<SyslogMessage> parseRecord(std::string_view line);

} // namespace testbed
