// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "sp_metrics.h"

#include <exception>
#include <mutex>
#include <set>
#include <utility>

#include <prometheus/counter.h>
#include <prometheus/exposer.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>

namespace vornctl {

namespace {

using prometheus::BuildCounter;
using prometheus::BuildGauge;
using prometheus::Counter;
using prometheus::Family;
using prometheus::Gauge;

// A sender that makes up CPU numbers must not make up series without end:
// past this many CPUs, the errors of new ones count under cpu="other".
constexpr std::size_t kMaxCpus = 1024;

// The web server's threads: a scrape, and a few slow or idle clients
// besides it, each hold one while they last; a request that does not
// arrive whole within its timeout is dropped.
constexpr const char* kServerThreads = "4";
constexpr const char* kRequestTimeoutMs = "10000";

} // namespace

struct SpMetrics::Parts {
    explicit Parts(const std::string& where)
        : exposer({"listening_ports", where, "num_threads", kServerThreads, "request_timeout_ms", kRequestTimeoutMs}),
          registry(std::make_shared<prometheus::Registry>()),
          records(BuildCounter()
                      .Name("vorn_sp_mc_records_total")
                      .Help("Machine-check records received whole from the agent")
                      .Register(*registry)
                      .Add({})),
          errors(BuildCounter()
                     .Name("vorn_sp_mc_errors_total")
                     .Help("Valid banks of the records received, by CPU, bank and severity "
                           "(corrected, uncorrected, pcc: uncorrected with the processor context corrupt)")
                     .Register(*registry)),
          malformed(BuildCounter()
                        .Name("vorn_sp_malformed_total")
                        .Help("Connections refused as malformed: short_record (ended inside a record), "
                              "unknown_request (a first byte that is no request)")
                        .Register(*registry)),
          intervals(BuildCounter()
                        .Name("vorn_sp_interval_requests_total")
                        .Help("Interval requests answered, by request: h (heartbeat), p (MC poll)")
                        .Register(*registry)),
          lastRecord(BuildGauge()
                         .Name("vorn_sp_mc_last_record_timestamp_seconds")
                         .Help("When the last record arrived, in seconds since the Epoch")
                         .Register(*registry)),
          agentUp(BuildGauge()
                      .Name("vorn_sp_agent_up")
                      .Help("Whether the agent answered the last probe (a version request)")
                      .Register(*registry)),
          probeDuration(BuildGauge()
                            .Name("vorn_sp_agent_probe_duration_seconds")
                            .Help("How long the last probe of the agent took")
                            .Register(*registry))
    {
        for (const char* kind : {"short_record", "unknown_request"}) {
            malformed.Add({{"kind", kind}});
        }
        for (const char* request : {"h", "p"}) {
            intervals.Add({{"request", request}});
        }
        exposer.RegisterCollectable(registry);
    }

    Counter& error(const McErrorKey& key)
    {
        std::string cpu = "other";
        if (cpus.contains(key.cpu) || cpus.size() < kMaxCpus) {
            cpus.insert(key.cpu);
            cpu = std::to_string(key.cpu);
        }
        return errors.Add({{"cpu", cpu},
                           {"bank", std::to_string(key.bank)},
                           {"mc_severity", std::string(mcSeverityName(key.severity))}});
    }

    prometheus::Exposer exposer;
    std::shared_ptr<prometheus::Registry> registry;
    Counter& records;
    Family<Counter>& errors;
    Family<Counter>& malformed;
    Family<Counter>& intervals;
    Family<Gauge>& lastRecord;
    Family<Gauge>& agentUp;
    Family<Gauge>& probeDuration;
    std::set<std::uint32_t> cpus; // only the SP's loop touches it
};

std::unique_ptr<SpMetrics> SpMetrics::start(const std::string& address, std::uint16_t port, std::string& why)
{
    try {
        return std::unique_ptr<SpMetrics>(new SpMetrics(std::make_unique<Parts>(address + ":" + std::to_string(port))));
    } catch (const std::exception& e) {
        why = e.what();
    }
    return nullptr;
}

SpMetrics::SpMetrics(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}

SpMetrics::~SpMetrics() = default;

void SpMetrics::restore(const McTally& tally, double lastRecordSeconds)
{
    parts_->records.Increment(static_cast<double>(tally.records));
    for (const auto& [key, count] : tally.errors) {
        parts_->error(key).Increment(static_cast<double>(count));
    }
    if (tally.records > 0) {
        parts_->lastRecord.Add({}).Set(lastRecordSeconds);
    }
}

void SpMetrics::record(const McRecord& record, double epochSeconds)
{
    McTally one;
    tallyRecord(one, record);
    for (const auto& [key, count] : one.errors) {
        parts_->error(key).Increment(static_cast<double>(count));
    }
    parts_->records.Increment();
    parts_->lastRecord.Add({}).Set(epochSeconds);
}

void SpMetrics::malformed(std::string_view kind)
{
    parts_->malformed.Add({{"kind", std::string(kind)}}).Increment();
}

void SpMetrics::interval(char letter)
{
    parts_->intervals.Add({{"request", std::string(1, letter)}}).Increment();
}

void SpMetrics::probe(bool answered, double seconds)
{
    parts_->agentUp.Add({}).Set(answered ? 1 : 0);
    parts_->probeDuration.Add({}).Set(seconds);
}

} // namespace vornctl
