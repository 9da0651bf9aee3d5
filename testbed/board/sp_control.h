// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The simulated SP's controls: its process and the settings and records it
// shares with the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <mc.h>
#include <sys/types.h>

#include "testbed/board/timing.h"
#include "testbed/common/shared_map.h"
#include "testbed/sim_sp/sim_sp_state.h"

namespace testbed {

using SpMode = simsp::Mode;

struct SpExchange {
    Clock::time_point accepted;
    std::optional<Clock::time_point> commandTime;
    std::optional<Clock::time_point> ended;
    std::string peer;            // dotted quad
    int command;                 // -1 if no byte arrived
    std::uint32_t bytesReceived; // the command byte included
    std::uint32_t bytesSent;
    simsp::Outcome outcome;
};

struct SpReport {
    Clock::time_point complete; // when the 156th byte of the record arrived
    RegIfVals record;
    std::size_t exchange; // index into exchanges()
};

// The SP process (vorn-sim-sp) and its settings.
class SimSp {
public:
    SimSp();
    SimSp(const SimSp&) = delete;
    SimSp& operator=(const SimSp&) = delete;
    ~SimSp();

    void start(); // runs vorn-sim-sp and waits until it serves as set
    void stop();
    bool running() const;
    pid_t pid() const { return pid_; }
    void reset(); // default settings, records cleared

    void setInterval(char command, std::uint32_t milliseconds);
    // How the SP answers `command`. shortBytes: for SpMode::Short; delay: for SpMode::Trickle.
    void setMode(char command, SpMode mode, std::uint32_t shortBytes = 0, Millis trickleDelay = Millis{50});
    // Stops or starts listening (refused connections while not listening);
    // returns once the SP has done it.
    void setListening(bool listening, Millis timeout = kDefaultTimeout);
    // Moves the SP to another address (which must exist on sp0).
    void setAddress(const std::string& dottedQuad, Millis timeout = kDefaultTimeout);
    // Refuses every nth connection attempt from now on (0: none): after
    // n - 1 accepted connections the SP stops listening until the kernel
    // has refused one attempt, then listens again.
    void setRefuseEvery(std::uint32_t n);
    std::uint64_t refusedConnections() const; // attempts refused so far
    // Holds back the SP's answer to every command byte by `delay` (0: at once).
    void setReplyDelay(Millis delay);

    std::vector<SpExchange> exchanges() const;
    std::vector<SpReport> reports() const;
    // The reports kept so far, which the SP then forgets: the next report is
    // kept as the first again (for runs of more than kReportCapacity reports).
    // Their exchange indices stay valid.
    std::vector<SpReport> takeReports();
    bool waitForExchanges(std::size_t count, Millis timeout = kDefaultTimeout) const;
    bool waitForReports(std::size_t count, Millis timeout = kDefaultTimeout) const;

private:
    void waitServing(Millis timeout);
    simsp::State& state() const { return *simsp::stateOf(mapping_); }
    SharedMapping mapping_;
    pid_t pid_ = 0;
};

} // namespace testbed
