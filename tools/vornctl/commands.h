// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// vornctl's commands: a readable name for each of the agent's one-letter
// requests, what argument it takes and what shape its reply has.
#pragma once

#include <span>
#include <string_view>

namespace vornctl {

// What follows the letter (and its separator blank) in the request.
enum class ArgKind {
    None,     // the bare letter
    Cpu,      // a CPU number: "c 1"
    Interval, // milliseconds: "h 5000"
    SetIp,    // interface, address or state, netmask: "E eth0 10.1.2.3 255.255.0.0"
    SetDns,   // one name-server address, as a line: "D 10.0.0.53\n"
    SetHlink, // platform and SP address: "J p=10.20.30.40 s=10.20.30.1"
    Raw,      // bytes given by the user, escapes decoded
};

// What the agent answers with.
enum class ReplyKind {
    Document,    // the XML response document, ending in the byte 3
    CpuidRecord, // 128-byte CPU identity record(s), or the single byte 0
    DimmMap,     // the 576-byte memory-module map
    Any,         // raw request: whatever comes back
};

struct CommandSpec {
    std::string_view name;
    std::string_view alias; // a second accepted name, or empty
    char letter;            // 0 for the raw command
    ArgKind args;
    ReplyKind reply;
    std::string_view usage;   // arguments as shown by --help
    std::string_view summary; // one line for --help
    std::string_view power;   // what a power command does, for the confirmation; empty otherwise
};

// Every command, in the order --help lists them.
std::span<const CommandSpec> allCommands() noexcept;

// The command with this name or alias; nullptr when there is none.
const CommandSpec* findCommand(std::string_view name) noexcept;

// The command that sends this letter; nullptr when there is none.
const CommandSpec* findCommandByLetter(char letter) noexcept;

} // namespace vornctl
