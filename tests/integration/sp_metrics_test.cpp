// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// vornctl sp's metrics as a Prometheus server sees them: Debian's prometheus,
// in the SP's namespace, scrapes `vornctl sp --metrics` every second while
// the daemon forwards the simulated driver's errors; and /metrics, hammered,
// takes no record from the SP's end.
#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testbed/board/board.h"

using namespace testbed;
using ::testing::HasSubstr;

namespace {

constexpr const char* kRecords = "/tmp/records.cap";
constexpr std::uint16_t kMetricsPort = 9991;
const std::string kMetrics = std::string(kSpAddress) + ":" + std::to_string(kMetricsPort);

// A record of `cpu` with an error in bank 4: corrected, or uncorrected.
RegIfVals errorRecord(std::uint32_t cpu, bool uncorrected)
{
    RegIfVals r{};
    r.cpuId = cpu;
    r.errOccurred = 1;
    r.val[eMC4_STATUS_REG] = uncorrected ? 0xb000000000000000 : 0x9000000000000000;
    return r;
}

// A connection to vornctl sp's metrics, from the SP's side.
std::unique_ptr<Connection> connectMetrics()
{
    return std::make_unique<Connection>(kSpAddress, kSpAddress, kMetricsPort);
}

std::string scrape()
{
    return exchange(kSpAddress, kSpAddress, kMetricsPort, "GET /metrics HTTP/1.0\r\n\r\n").bytes;
}

class SpMetrics : public ::testing::Test {
protected:
    SpMetrics() : board_(BoardOptions{.startSp = false}) {}

    void SetUp() override
    {
        if (::access("/usr/bin/prometheus", X_OK) != 0 || ::access("/usr/bin/promtool", X_OK) != 0) {
            const char* ci = std::getenv("CI");
            if (ci != nullptr && std::string(ci) == "true")
                FAIL() << "prometheus and promtool are missing (Debian package prometheus)";
            GTEST_SKIP() << "prometheus and promtool are missing (Debian package prometheus)";
        }
    }

    void startSp(const std::string& args)
    {
        board_.run(
            "( " +
            onSpSide(std::string(VORNCTL_FILE) + " sp --records " + kRecords + " --metrics " + kMetrics + " " + args) +
            " >/tmp/sp.out 2>/tmp/sp.err </dev/null & )");
        ASSERT_TRUE(waitUntil([] { return connectMetrics()->connected(); }))
            << board_.readFile("/tmp/sp.err").value_or("");
    }

    std::string query(const std::string& expr) const
    {
        return board_.run(onSpSide("promtool query instant http://" + std::string(kSpAddress) + ":9090 '" + expr + "'"))
            .output;
    }

    Board board_;
};

TEST_F(SpMetrics, PrometheusCountsTheErrorsBySeverityAndSeesTheAgentStop)
{
    startSp("--mc-interval 100 --probe-interval 1");
    board_.writeFile("/tmp/prometheus.yml", "global: {scrape_interval: 1s}\nscrape_configs: [{job_name: sp, "
                                            "static_configs: [{targets: ['" +
                                                kMetrics + "']}]}]\n");
    board_.run("( " +
               onSpSide("prometheus --config.file=/tmp/prometheus.yml --storage.tsdb.path=/tmp/prometheus "
                        "--web.listen-address=" +
                        std::string(kSpAddress) + ":9090") +
               " >/tmp/prometheus.log 2>&1 </dev/null & )");
    // 3 corrected errors of CPU 1 and 2 uncorrected of CPU 2; the quiet
    // record is not forwarded.
    board_.driver().queueMcRecords({errorRecord(1, false), errorRecord(2, true), errorRecord(1, false), RegIfVals{}});
    board_.driver().queueMcRecords({errorRecord(2, true), errorRecord(1, false), RegIfVals{}, RegIfVals{}});
    board_.start();

    const std::string sum = "sum by (cpu, bank, mc_severity) (vorn_sp_mc_errors_total)";
    std::string seen;
    EXPECT_TRUE(waitUntil(
        [&] {
            seen = query(sum);
            return seen.find(R"({bank="4", cpu="1", mc_severity="corrected"} => 3 @)") != std::string::npos &&
                   seen.find(R"({bank="4", cpu="2", mc_severity="uncorrected"} => 2 @)") != std::string::npos;
        },
        Millis{30000}))
        << seen << board_.readFile("/tmp/prometheus.log").value_or("");
    EXPECT_THAT(query("vorn_sp_interval_requests_total"), HasSubstr(R"(request="p"} => 1 @)"));
    EXPECT_TRUE(waitUntil([&] { return query("vorn_sp_agent_up").find("} => 1 @") != std::string::npos; }));

    // The probe runs every second: within two, the series says so, and
    // Prometheus has it at its next scrape.
    // (Board::stopDaemon would end vornctl sp and prometheus too.)
    const pid_t agent = board_.daemonPid();
    ::kill(agent, SIGTERM);
    ::kill(agent, SIGKILL);
    EXPECT_TRUE(waitUntil([] { return scrape().find("\nvorn_sp_agent_up 0\n") != std::string::npos; }, Millis{2000}));
    EXPECT_TRUE(waitUntil([&] { return query("vorn_sp_agent_up").find("} => 0 @") != std::string::npos; }));
}

// A body of 1 MiB, a client that never ends its request and 200 at once:
// every record of the daemon's still reaches the SP's end and its file.
TEST_F(SpMetrics, AHammeredMetricsPageLosesNoRecord)
{
    startSp("--mc-interval 20");
    board_.start();
    const auto slow = connectMetrics();
    ASSERT_TRUE(slow->send("GET /metr"));
    std::thread big([] {
        connectMetrics()->send("POST /metrics HTTP/1.1\r\nContent-Length: 1048576\r\n\r\n" + std::string(1 << 20, 'b'));
    });
    std::vector<std::unique_ptr<Connection>> many;
    for (int i = 0; i < 200; ++i) {
        many.push_back(connectMetrics());
        many.back()->send("GET /metrics HTTP/1.1\r\nHost: sp\r\n\r\n");
    }

    constexpr int kSets = 20;
    for (std::uint32_t set = 0; set < kSets; ++set)
        board_.driver().queueMcRecords({errorRecord(4 * set, false), errorRecord(4 * set + 1, true),
                                        errorRecord(4 * set + 2, false), errorRecord(4 * set + 3, false)});
    EXPECT_TRUE(
        waitUntil([&] { return board_.readFile(kRecords).value_or("").size() == 4 * kSets * 157; }, Millis{20000}))
        << board_.readFile(kRecords).value_or("").size() / 157 << " records";
    big.join();
    many.clear();
    EXPECT_TRUE(
        waitUntil([] { return scrape().find("\nvorn_sp_mc_records_total 80\n") != std::string::npos; }, Millis{15000}));
}

} // namespace
