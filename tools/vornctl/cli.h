// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// vornctl's command line: options, the command and its arguments, and the
// request bytes that they make.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "commands.h"

namespace vornctl {

inline constexpr std::string_view kDefaultHost = "169.254.101.3";
inline constexpr std::uint16_t kDefaultPort = 6789;
inline constexpr double kDefaultTimeoutSeconds = 10.0;
// The agent reads one request of at most this many bytes.
inline constexpr std::size_t kMaxRequest = 256;

enum class OutputMode { Person, Raw, Json };

struct Options {
    std::string host{kDefaultHost};
    std::uint16_t port = kDefaultPort;
    std::string source; // local address to connect from; empty: the kernel's choice
    double timeoutSeconds = kDefaultTimeoutSeconds;
    OutputMode output = OutputMode::Person;
    bool yes = false; // power commands run without asking
};

struct Invocation {
    Options options;
    const CommandSpec* command = nullptr;
    std::vector<std::string> args; // as given on the command line
    std::string request;           // the bytes sent to the agent
};

struct ParsedCommandLine {
    enum class Action { Run, Help, Version, Usage };
    Action action = Action::Usage;
    Invocation invocation; // for Run
    std::string message;   // for Usage: what is wrong
};

// Parses the arguments after the program name. Options may stand before or
// after the command; "--" ends them (so a raw request may begin with '-').
ParsedCommandLine parseCommandLine(std::span<const std::string_view> args);

// The request for a command and its arguments; nothing (and the reason in
// *why) when the arguments do not fit the command.
std::optional<std::string> buildRequest(const CommandSpec& command, std::span<const std::string> args,
                                        std::string* why);

// The text of --help.
std::string helpText();

} // namespace vornctl
