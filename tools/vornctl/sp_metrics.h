// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The SP's end's figures for Prometheus: counters and gauges that the SP's
// loop and the agent's probe set, served at http://ADDRESS:PORT/metrics in
// Prometheus' text format by a web server that runs in threads of its own
// (prometheus-cpp's pull exposer), so that no scrape holds up a record.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "sp_tally.h"

namespace vornctl {

class SpMetrics {
public:
    // Listens at address:port; nothing (and the reason in `why`) when it cannot.
    static std::unique_ptr<SpMetrics> start(const std::string& address, std::uint16_t port, std::string& why);

    SpMetrics(const SpMetrics&) = delete;
    SpMetrics& operator=(const SpMetrics&) = delete;
    SpMetrics(SpMetrics&&) = delete;
    SpMetrics& operator=(SpMetrics&&) = delete;
    ~SpMetrics();

    // The counts of the records kept before this start, and when the last
    // of them came (seconds since the Epoch).
    void restore(const McTally& tally, double lastRecordSeconds);
    void record(const McRecord& record, double epochSeconds);
    // "short_record": a connection ended inside a record; "unknown_request":
    // its first byte was no request of the agent's.
    void malformed(std::string_view kind);
    void interval(char letter); // an 'h' or 'p' answered
    void probe(bool answered, double seconds);

private:
    struct Parts;
    explicit SpMetrics(std::unique_ptr<Parts> parts);
    std::unique_ptr<Parts> parts_;
};

} // namespace vornctl
