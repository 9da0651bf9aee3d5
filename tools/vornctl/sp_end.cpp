// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "sp_end.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "args.h"

namespace vornctl {

namespace {

// A CPU family in decimal, or in hex as "0x0f" or "0Fh".
bool parseFamily(std::string_view text, unsigned& family)
{
    if (text.starts_with("0x") || text.starts_with("0X")) {
        return parseNumber(text.substr(2), family, 16);
    }
    if (text.ends_with('h') || text.ends_with('H')) {
        return parseNumber(text.substr(0, text.size() - 1), family, 16);
    }
    return parseNumber(text, family);
}

bool isOption(std::string_view arg)
{
    return arg.size() > 1 && arg.front() == '-';
}

} // namespace

SpEndCommandLine parseSpEndCommandLine(std::span<const std::string_view> args)
{
    SpEndCommandLine result;
    std::size_t at = args.size();
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--") {
            break;
        }
        if (!isOption(args[i])) {
            at = i;
            break;
        }
    }
    if (at == args.size() || (args[at] != "decode-mce" && args[at] != "sp")) {
        return result;
    }
    const bool decode = args[at] == "decode-mce";
    const std::string_view command = args[at];

    auto usage = [&result, command](std::string text) {
        result.kind = SpEndCommandLine::Kind::Usage;
        result.message = std::string(command) + ": " + std::move(text);
        return result;
    };

    bool optionsEnded = false;
    bool json = false;
    bool probeGiven = false;
    unsigned family = kDefaultMcFamily;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i == at) {
            continue;
        }
        const std::string_view arg = args[i];
        if (optionsEnded || !isOption(arg)) {
            if (!decode) {
                return usage("takes no file or other argument ('" + std::string(arg) + "')");
            }
            result.decode.files.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        OptionReader option(args, i);
        const std::string_view name = option.name();
        std::string_view v;
        if (name == "--json" && option.flag()) {
            json = true;
        } else if (name == "--family") {
            if (!option.value(v) || !parseFamily(v, family) || family > 0xFF) {
                return usage("--family needs a CPU family number (15, 0x0f or 0Fh)");
            }
        } else if (!decode && name == "--address") {
            if (!option.value(v) || !isIpv4Address(v)) {
                return usage("--address needs a local IPv4 address");
            }
            result.sp.address = v;
        } else if (!decode && name == "--port") {
            std::uint16_t port = 0;
            if (!option.value(v) || !parseNumber(v, port) || port == 0) {
                return usage("--port needs a port number from 1 to 65535");
            }
            result.sp.port = port;
        } else if (!decode && (name == "--hb-interval" || name == "--mc-interval")) {
            std::uint32_t ms = 0;
            if (!option.value(v) || !parseNumber(v, ms)) {
                return usage(std::string(name) + " needs milliseconds from 0 to 4294967295");
            }
            (name == "--hb-interval" ? result.sp.hbInterval : result.sp.mcInterval) = ms;
        } else if (!decode && name == "--records") {
            if (!option.value(v) || v.empty()) {
                return usage("--records needs a file");
            }
            result.sp.records = v;
        } else if (!decode && name == "--count") {
            std::uint64_t n = 0;
            if (!option.value(v) || !parseNumber(v, n) || n == 0) {
                return usage("--count needs a number of records greater than 0");
            }
            result.sp.count = n;
        } else if (!decode && name == "--timeout") {
            double s = 0;
            if (!option.value(v) || !parseNumber(v, s) || !std::isfinite(s) || s <= 0 || s > 3600) {
                return usage("--timeout needs a number of seconds greater than 0");
            }
            result.sp.readSeconds = s;
        } else if (!decode && name == "--metrics") {
            if (!option.value(v) || !parseListenAddress(v, result.sp.metricsAddress, result.sp.metricsPort)) {
                return usage("--metrics needs ADDRESS:PORT, an IPv4 address and a port");
            }
        } else if (!decode && name == "--probe-interval") {
            double s = 0;
            if (!option.value(v) || !parseNumber(v, s) || !std::isfinite(s) || s < 0 || s > 3600) {
                return usage("--probe-interval needs seconds from 0 (no probe) to 3600");
            }
            result.sp.probeSeconds = s;
            probeGiven = true;
        } else if (!decode && name == "--agent") {
            if (!option.value(v) || !isIpv4Address(v)) {
                return usage("--agent needs the agent's IPv4 address");
            }
            result.sp.agent = v;
            probeGiven = true;
        } else {
            return usage("unknown option '" + std::string(arg) + "'");
        }
    }
    if (decode) {
        if (result.decode.files.empty()) {
            return usage("no file given (\"-\" reads standard input)");
        }
        result.kind = SpEndCommandLine::Kind::Decode;
        result.decode.json = json;
        result.decode.family = family;
    } else if (probeGiven && result.sp.metricsAddress.empty()) {
        return usage("--probe-interval and --agent feed the metrics: give --metrics");
    } else {
        result.kind = SpEndCommandLine::Kind::Sp;
        result.sp.json = json;
        result.sp.family = family;
    }
    return result;
}

std::array<std::uint8_t, 4> intervalBytes(std::uint32_t ms) noexcept
{
    return {static_cast<std::uint8_t>(ms >> 24), static_cast<std::uint8_t>(ms >> 16),
            static_cast<std::uint8_t>(ms >> 8), static_cast<std::uint8_t>(ms)};
}

std::vector<SpEvent> SpSession::feed(std::string_view bytes)
{
    std::vector<SpEvent> events;
    if (!bytes.empty()) {
        anything_ = true;
    }
    while (!bytes.empty() && !closed_) {
        if (inRecord_) {
            const std::size_t take = std::min(bytes.size(), record_.size() - filled_);
            for (std::size_t k = 0; k < take; ++k) {
                record_[filled_ + k] = static_cast<std::uint8_t>(bytes[k]);
            }
            filled_ += take;
            bytes.remove_prefix(take);
            if (filled_ == record_.size()) {
                SpEvent e;
                e.kind = SpEvent::Kind::Record;
                e.letter = 'x';
                e.record = record_;
                events.push_back(e);
                inRecord_ = false;
                filled_ = 0;
            }
            continue;
        }
        const char letter = bytes.front();
        bytes.remove_prefix(1);
        SpEvent e;
        e.letter = letter;
        if (letter == 'h' || letter == 'p') {
            e.kind = SpEvent::Kind::Interval;
            e.interval = letter == 'h' ? hbInterval_ : mcInterval_;
            e.reply = intervalBytes(e.interval);
            events.push_back(e);
        } else if (letter == 'x') {
            inRecord_ = true;
            filled_ = 0;
        } else {
            e.kind = SpEvent::Kind::Unexpected;
            events.push_back(e);
            closed_ = true;
        }
    }
    return events;
}

std::string exchangeLine(std::int64_t epochMs, std::string_view peer, std::string_view what)
{
    const std::time_t seconds = static_cast<std::time_t>(epochMs / 1000);
    std::tm tm{};
    char stamp[64] = "?";
    if (::gmtime_r(&seconds, &tm) != nullptr) {
        char date[48];
        if (std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &tm) > 0) {
            std::snprintf(stamp, sizeof stamp, "%s.%03dZ", date, static_cast<int>(epochMs % 1000));
        }
    }
    std::string line = stamp;
    line += ' ';
    line += peer;
    line += ' ';
    line += what;
    line += '\n';
    return line;
}

std::string spEndHelpText()
{
    return "The SP's end (the agent's own connections, TCP port 9990):\n"
           "  decode-mce [--family N] FILE...       decode machine-check error records: bare\n"
           "                                        156-byte records, or a capture of the wire\n"
           "                                        ('x' before each); \"-\" reads standard input\n"
           "  sp [--address A] [--port N] [--hb-interval MS] [--mc-interval MS]\n"
           "     [--records FILE] [--count N] [--timeout S] [--family N]\n"
           "                                        be the SP: answer 'h' and 'p' with the\n"
           "                                        intervals (default 4000 and 5000 ms), keep\n"
           "                                        every record in FILE and print it decoded;\n"
           "                                        listens at 169.254.101.2:9990 by default;\n"
           "                                        ends after N records, or at SIGINT or SIGTERM\n"
           "     [--metrics ADDRESS:PORT [--probe-interval S] [--agent A]]\n"
           "                                        serve its counts to Prometheus at\n"
           "                                        http://ADDRESS:PORT/metrics, and ask the\n"
           "                                        agent at A (default 169.254.101.3) for 'v'\n"
           "                                        every S seconds (default 15; 0: never)\n"
           "  Both take --json: one JSON object per record, one per line.\n"
           "  --family N names the banks of CPU family N (default 15, 0Fh: the board's).\n";
}

} // namespace vornctl
