// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The simulated SP's control and record, in the file kSpStatePath mapped
// MAP_SHARED by the SP (vorn-sim-sp) and the test API. Every access holds `lock`.
#pragma once

#include <cstddef>
#include <cstdint>

#include <mc.h>
#include <pthread.h>

#include "testbed/common/shared_map.h"

namespace testbed::simsp {

inline constexpr const char* kSpStatePath = "/run/testbed/sp/state";
inline constexpr std::uint32_t kMagic = 0x56535350; // "VSSP"
inline constexpr std::uint32_t kVersion = 2;
inline constexpr std::uint16_t kSpPort = 9990;

// How the SP answers a command byte.
enum class Mode : std::uint32_t {
    Reply = 0,         // 'h'/'p': the 4-byte interval; 'x': reads the record; then waits for the close
    CloseWithoutReply, // closes right after the command byte
    Short,             // sends the first shortBytes bytes of the interval, then closes
    Silent,            // accepts and never replies; keeps the connection until the peer closes it
    Reset,             // resets the connection (SO_LINGER 0) right after the command byte
    Trickle,           // sends the interval one byte at a time, trickleDelayMs apart, then closes
};

struct CommandConfig {
    std::uint32_t mode; // Mode
    std::uint32_t interval;
    std::uint32_t shortBytes;
    std::uint32_t trickleDelayMs;
};
static_assert(sizeof(CommandConfig) == 16);

// How an exchange ended.
enum class Outcome : std::uint32_t { Open = 0, PeerClosed, ClosedBySp, ResetBySp, PeerReset };

struct Exchange {
    std::int64_t acceptNs;       // CLOCK_MONOTONIC
    std::int64_t commandNs;      // when the command byte arrived; 0 if none did
    std::int64_t endNs;          // when the connection ended; 0 while open
    std::uint32_t peer;          // peer's IPv4 address, host byte order
    std::int32_t command;        // the command byte, -1 if none arrived
    std::uint32_t bytesReceived; // everything the peer sent, the command byte included
    std::uint32_t bytesSent;
    std::uint32_t outcome; // Outcome
    std::uint32_t pad;
};
static_assert(sizeof(Exchange) == 48);

// One complete 'x' report.
struct Report {
    std::int64_t completeNs; // CLOCK_MONOTONIC when the 156th byte of the record arrived
    std::uint32_t exchange;  // index into exchanges
    std::uint8_t record[sizeof(RegIfVals)];
};
static_assert(sizeof(Report) == 168);

inline constexpr std::size_t kExchangeCapacity = 1024;
inline constexpr std::size_t kReportCapacity = 1024;
inline constexpr std::uint32_t kDefaultInterval = 1000;

struct State {
    std::uint32_t magic;
    std::uint32_t version;
    std::uint64_t size;
    pthread_mutex_t lock;

    std::int32_t serverPid;      // the running SP, 0 if none
    std::uint32_t wantListening; // set by the test
    std::uint32_t listening;     // set by the SP once its listening socket matches wantListening and address
    std::uint32_t address;       // address to listen on, host byte order
    std::uint32_t boundAddress;  // address the SP listens on now
    // 0: every connection is accepted. N: after N - 1 accepted connections
    // the SP stops listening until the kernel has refused one connection
    // attempt (the network namespace's TCP AttemptFails count rose), then
    // listens again; counted from when the setting changed.
    std::uint32_t refuseEvery;
    std::uint64_t refusedCount; // attempts refused so far
    std::uint32_t replyDelayMs; // the answer to a command byte waits this long (0: at once)
    std::uint32_t pad;
    CommandConfig commands[256]; // by command byte

    std::uint64_t exchangeCount; // the first kExchangeCapacity are kept
    Exchange exchanges[kExchangeCapacity];
    std::uint64_t reportCount; // the first kReportCapacity are kept
    Report reports[kReportCapacity];
};
static_assert(offsetof(State, lock) == 16);
static_assert(offsetof(State, exchanges) % 8 == 0);
static_assert(offsetof(State, reports) % 8 == 0);

// A fresh SP: listening on 169.254.101.2, 'h' and 'p' answered with
// kDefaultInterval, 'x' read, any other byte closed without reply; no
// connection refused, every answer at once.
void setDefaults(State& state) noexcept;

// Opens the state file, creating it with a fresh record when it is missing.
SharedMapping openOrCreateState() noexcept;
inline State* stateOf(const SharedMapping& mapping) noexcept
{
    return static_cast<State*>(mapping.get());
}

} // namespace testbed::simsp
