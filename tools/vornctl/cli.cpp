// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "cli.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "args.h"
#include "escape.h"
#include "exit_status.h"
#include "sp_end.h"

namespace vornctl {

namespace {

// A token of the interface address command: the agent splits its request at
// blanks, tabs and commas, so a token must hold none of them.
bool isPlainToken(std::string_view text)
{
    if (text.empty()) {
        return false;
    }
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (c == ' ' || c == '\t' || c == ',' || b < 0x20 || b == 0x7F) {
            return false;
        }
    }
    return true;
}

bool fail(std::string* why, std::string text)
{
    if (why != nullptr) {
        *why = std::move(text);
    }
    return false;
}

bool checkCount(const CommandSpec& command, std::size_t n, std::size_t min, std::size_t max, std::string* why)
{
    if (n >= min && n <= max) {
        return true;
    }
    std::string usage = "usage: vornctl " + std::string(command.name);
    if (!command.usage.empty()) {
        usage += ' ';
        usage += command.usage;
    }
    return fail(why, usage);
}

} // namespace

std::optional<std::string> buildRequest(const CommandSpec& command, std::span<const std::string> args, std::string* why)
{
    std::string request;
    if (command.letter != 0) {
        request += command.letter;
    }
    switch (command.args) {
    case ArgKind::None:
        if (!checkCount(command, args.size(), 0, 0, why)) {
            return std::nullopt;
        }
        break;
    case ArgKind::Cpu: {
        int cpu = 0;
        if (!checkCount(command, args.size(), 1, 1, why)) {
            return std::nullopt;
        }
        if (!parseNumber(args[0], cpu)) {
            fail(why, "cpuid: the CPU number must be a decimal integer, not '" + args[0] + "'");
            return std::nullopt;
        }
        request += ' ';
        request += std::to_string(cpu);
        break;
    }
    case ArgKind::Interval: {
        std::uint32_t ms = 0;
        if (!checkCount(command, args.size(), 1, 1, why)) {
            return std::nullopt;
        }
        if (!parseNumber(args[0], ms)) {
            fail(why, std::string(command.name) + ": the interval must be milliseconds from 0 to 4294967295, not '" +
                          args[0] + "'");
            return std::nullopt;
        }
        request += ' ';
        request += std::to_string(ms);
        break;
    }
    case ArgKind::SetIp:
        if (!checkCount(command, args.size(), 1, 3, why)) {
            return std::nullopt;
        }
        for (const std::string& a : args) {
            if (!isPlainToken(a)) {
                fail(why, "set-ip: '" + showBytes(a) + "' is empty or holds a blank, tab, comma or control character");
                return std::nullopt;
            }
            request += ' ';
            request += a;
        }
        break;
    case ArgKind::SetDns:
        if (!checkCount(command, args.size(), 1, 1, why)) {
            return std::nullopt;
        }
        if (!isPlainToken(args[0])) {
            fail(why, "set-dns: '" + showBytes(args[0]) + "' is not a single name-server address");
            return std::nullopt;
        }
        // The agent writes the text after the separator as the name-server
        // line as it is; the line end keeps it a line of its own.
        request += ' ';
        request += args[0];
        request += '\n';
        break;
    case ArgKind::SetHlink:
        if (!checkCount(command, args.size(), 2, 2, why)) {
            return std::nullopt;
        }
        for (const std::string& a : args) {
            if (!isIpv4Address(a)) {
                fail(why, "set-hlink: '" + showBytes(a) +
                              "' is not an IPv4 address in dotted-quad form (use raw to send anything else)");
                return std::nullopt;
            }
        }
        request += " p=" + args[0] + " s=" + args[1];
        break;
    case ArgKind::Raw: {
        if (!checkCount(command, args.size(), 1, 1, why)) {
            return std::nullopt;
        }
        std::string reason;
        auto bytes = decodeEscapes(args[0], &reason);
        if (!bytes) {
            fail(why, "raw: " + reason);
            return std::nullopt;
        }
        if (bytes->empty()) {
            fail(why, "raw: the request is empty");
            return std::nullopt;
        }
        request = std::move(*bytes);
        break;
    }
    }
    if (command.args != ArgKind::Raw && request.size() > kMaxRequest) {
        fail(why, std::string(command.name) + ": the request would be longer than the " + std::to_string(kMaxRequest) +
                      " bytes that the agent reads");
        return std::nullopt;
    }
    return request;
}

ParsedCommandLine parseCommandLine(std::span<const std::string_view> args)
{
    ParsedCommandLine result;
    Options& o = result.invocation.options;
    bool raw = false;
    bool json = false;
    bool optionsEnded = false;
    const CommandSpec* command = nullptr;
    std::vector<std::string> positional;

    auto usage = [&result](std::string text) {
        result.action = ParsedCommandLine::Action::Usage;
        result.message = std::move(text);
        return result;
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        const bool isOption = !optionsEnded && (arg.starts_with("--") || arg == "-h" || arg == "-y");
        if (!isOption) {
            if (command == nullptr) {
                command = findCommand(arg);
                if (command == nullptr) {
                    return usage("unknown command '" + std::string(arg) + "' (vornctl --help lists them)");
                }
            } else {
                positional.emplace_back(arg);
            }
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        OptionReader option(args, i);
        const std::string_view name = option.name();

        std::string_view v;
        if (name == "--help" || name == "-h") {
            result.action = ParsedCommandLine::Action::Help;
            return result;
        } else if (name == "--version") {
            result.action = ParsedCommandLine::Action::Version;
            return result;
        } else if (name == "--host") {
            if (!option.value(v) || v.empty()) {
                return usage("--host needs an address");
            }
            o.host = v;
        } else if (name == "--port") {
            std::uint16_t port = 0;
            if (!option.value(v) || !parseNumber(v, port) || port == 0) {
                return usage("--port needs a port number from 1 to 65535");
            }
            o.port = port;
        } else if (name == "--source") {
            if (!option.value(v) || v.empty()) {
                return usage("--source needs a local address");
            }
            o.source = v;
        } else if (name == "--timeout") {
            double s = 0;
            if (!option.value(v) || !parseNumber(v, s) || !std::isfinite(s) || s <= 0 || s > 86400) {
                return usage("--timeout needs a number of seconds greater than 0");
            }
            o.timeoutSeconds = s;
        } else if (name == "--raw" && option.flag()) {
            raw = true;
        } else if (name == "--json" && option.flag()) {
            json = true;
        } else if ((name == "--yes" || name == "-y") && option.flag()) {
            o.yes = true;
        } else {
            return usage("unknown option '" + std::string(arg) + "'");
        }
    }

    if (raw && json) {
        return usage("--raw and --json exclude each other");
    }
    o.output = raw ? OutputMode::Raw : json ? OutputMode::Json : OutputMode::Person;
    if (command == nullptr) {
        return usage("no command given (vornctl --help lists them)");
    }
    std::string why;
    auto request = buildRequest(*command, positional, &why);
    if (!request) {
        return usage(why);
    }
    result.action = ParsedCommandLine::Action::Run;
    result.invocation.command = command;
    result.invocation.args = std::move(positional);
    result.invocation.request = std::move(*request);
    return result;
}

std::string helpText()
{
    std::string text = "usage: vornctl [--host ADDR] [--port N] [--source ADDR] [--timeout S]\n"
                       "               [--raw | --json] [--yes] COMMAND [ARGS]\n"
                       "       vornctl decode-mce [--json] [--family N] FILE...\n"
                       "       vornctl sp [--address A] [--hb-interval MS] [--mc-interval MS]\n"
                       "                  [--records FILE] [--count N] [--json] [--metrics ADDRESS:PORT]\n"
                       "\n"
                       "Sends one request to the vorn agent, as the service processor does, and\n"
                       "prints the reply; or plays the service processor's end of the agent's\n"
                       "own connections and decodes the machine-check records that it sends.\n"
                       "\n"
                       "Options:\n"
                       "  --host ADDR    the agent's address (default 169.254.101.3)\n"
                       "  --port N       the agent's port (default 6789)\n"
                       "  --source ADDR  connect from this local address; the agent answers only\n"
                       "                 the SP's address (169.254.101.2 unless moved) over hlink0\n"
                       "  --timeout S    seconds to wait for the connection and the reply (default 10)\n"
                       "  --raw          write the reply's bytes exactly as received\n"
                       "  --json         print the reply as one JSON object\n"
                       "  --yes, -y      run a power command without asking\n"
                       "  --help, -h     this text\n"
                       "  --version      vornctl's version\n"
                       "\n"
                       "Commands (with the request letter that each sends):\n";
    for (const CommandSpec& c : allCommands()) {
        std::string left = "  ";
        left += c.letter != 0 ? c.letter : ' ';
        left += "  " + std::string(c.name);
        if (!c.usage.empty()) {
            left += ' ';
            left += c.usage;
        }
        if (left.size() < 40) {
            left.resize(40, ' ');
        } else {
            left += "\n" + std::string(40, ' ');
        }
        text += left;
        text += c.summary;
        if (!c.alias.empty()) {
            text += " (also: " + std::string(c.alias) + ")";
        }
        text += '\n';
    }
    text += '\n';
    text += spEndHelpText();
    char statuses[1024];
    std::snprintf(statuses, sizeof statuses,
                  "\n"
                  "Power commands (shutdown, poweroff, reboot, forced-reboot) ask for\n"
                  "confirmation on the terminal unless --yes is given.\n"
                  "\n"
                  "Exit status:\n"
                  "  %d  success\n"
                  "  %d  the agent reported an error (error element, nonzero cmdRetVal, no such CPU)\n"
                  "  %d  wrong command line\n"
                  "  %d  connection refused (nothing listens at ADDR:PORT)\n"
                  "  %d  timed out (no connection, or no complete reply)\n"
                  "  %d  connection closed without a reply (the agent drops connections that\n"
                  "     do not come from the SP's address over hlink0: see --source)\n"
                  "  %d  reply that cannot be decoded (decode-mce: a file that ends inside a record)\n"
                  "  %d  other network or system error (decode-mce: a file that cannot be read;\n"
                  "     sp: no listening at the address, or the records file cannot be written)\n"
                  "  %d  power command not confirmed\n",
                  kExitOk, kExitAgentError, kExitUsage, kExitRefused, kExitTimeout, kExitNoReply, kExitBadReply,
                  kExitNetwork, kExitNotConfirmed);
    text += statuses;
    return text;
}

} // namespace vornctl
