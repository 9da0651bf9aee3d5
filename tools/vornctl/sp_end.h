// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// vornctl's SP end: the two commands that play the service processor's
// side of the agent's own connections (TCP port 9990) and read what it
// sends there.
//
//   vornctl decode-mce [--json] [--family N] FILE...
//   vornctl sp [--address A] [--port N] [--hb-interval MS] [--mc-interval MS]
//              [--records FILE] [--count N] [--timeout S] [--json]
//              [--metrics ADDRESS:PORT [--probe-interval S] [--agent A]]
//
// The pure parts: their command lines, the bytes of an exchange with the
// agent, and the lines that report it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mc_record.h"

namespace vornctl {

inline constexpr std::string_view kDefaultSpAddress = "169.254.101.2";
inline constexpr std::uint16_t kDefaultSpPort = 9990;
inline constexpr std::uint32_t kDefaultHbInterval = 4000;
inline constexpr std::uint32_t kDefaultMcInterval = 5000;
inline constexpr double kDefaultSpReadSeconds = 5.0;
inline constexpr std::string_view kDefaultAgentAddress = "169.254.101.3";
inline constexpr double kDefaultProbeSeconds = 15.0;

struct DecodeOptions {
    bool json = false;
    unsigned family = kDefaultMcFamily;
    std::vector<std::string> files; // "-": standard input
};

struct SpOptions {
    std::string address{kDefaultSpAddress};
    std::uint16_t port = kDefaultSpPort;
    std::uint32_t hbInterval = kDefaultHbInterval; // the answer to 'h'
    std::uint32_t mcInterval = kDefaultMcInterval; // the answer to 'p'
    std::string records;                           // the records file; empty: none
    std::optional<std::uint64_t> count;            // exit after this many records
    double readSeconds = kDefaultSpReadSeconds;    // the bound of every read
    bool json = false;
    unsigned family = kDefaultMcFamily;
    // Prometheus' text format at http://ADDRESS:PORT/metrics; empty: none.
    std::string metricsAddress;
    std::uint16_t metricsPort = 0;
    // With the metrics: the agent asked for its version ('v') this often
    // (0: never), from `address`, as the SP asks.
    double probeSeconds = kDefaultProbeSeconds;
    std::string agent{kDefaultAgentAddress};
};

struct SpEndCommandLine {
    enum class Kind {
        None,   // not one of these commands: vornctl's request commands parse it
        Decode, // decode-mce
        Sp,     // sp
        Usage,  // one of them, wrongly given: message says why
    };
    Kind kind = Kind::None;
    DecodeOptions decode;
    SpOptions sp;
    std::string message;
};

// Looks for "decode-mce" or "sp" as the command (the first argument that is
// not an option) and parses their options, which may stand anywhere.
SpEndCommandLine parseSpEndCommandLine(std::span<const std::string_view> args);

// A poll interval as the agent reads it: 4 bytes, most significant first.
std::array<std::uint8_t, 4> intervalBytes(std::uint32_t ms) noexcept;

// What one connection from the agent brought, step by step.
struct SpEvent {
    enum class Kind {
        Interval,   // 'h' or 'p': answer `reply`
        Record,     // 'x' and a whole record
        Unexpected, // a first byte that is no request: close
    };
    Kind kind = Kind::Unexpected;
    char letter = 0;            // 'h', 'p', 'x', or the unexpected byte
    std::uint32_t interval = 0; // Interval: milliseconds
    std::array<std::uint8_t, 4> reply{};
    McRecordBytes record{}; // Record
};

// The SP's side of one connection: fed the bytes as they arrive, it says
// what they are. After an unexpected byte it takes nothing more.
class SpSession {
public:
    SpSession(std::uint32_t hbInterval, std::uint32_t mcInterval) noexcept
        : hbInterval_(hbInterval), mcInterval_(mcInterval)
    {
    }

    std::vector<SpEvent> feed(std::string_view bytes);
    // Bytes of a record begun and not finished ('x' not counted).
    [[nodiscard]] std::size_t partialRecordBytes() const noexcept { return inRecord_ ? filled_ : 0; }
    [[nodiscard]] bool closed() const noexcept { return closed_; }
    // Whether anything at all arrived.
    [[nodiscard]] bool anything() const noexcept { return anything_; }

private:
    std::uint32_t hbInterval_;
    std::uint32_t mcInterval_;
    bool inRecord_ = false;
    bool closed_ = false;
    bool anything_ = false;
    std::size_t filled_ = 0;
    McRecordBytes record_{};
};

// One line of the SP's exchange log: "2026-12-09T03:30:00.123Z PEER WHAT\n",
// the time in UTC from milliseconds since the Epoch.
std::string exchangeLine(std::int64_t epochMs, std::string_view peer, std::string_view what);

// The help text of the two commands (appended to vornctl --help).
std::string spEndHelpText();

} // namespace vornctl
