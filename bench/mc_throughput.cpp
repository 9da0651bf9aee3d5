// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Section 9: machine-check records a second, sustained, from the simulated
// driver (flooding: four flagged records on every request) through the MC
// monitor to the SP's end, beside a floor that makes the same connections
// and sends in plain C. Two SP ends: `vornctl sp --json`, as a user runs it,
// and vorn-bench-floor's sink, the least SP's end, which keeps up with both
// senders.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bench.h"
#include "monitors/monitors.h"

namespace bench {
namespace {

constexpr const char* kFloorRecordsPath = "/run/bench/mc-records";
constexpr const char* kFloorSendLog = "/run/bench/floor-send.log";
constexpr const char* kSinkCountPath = "/run/bench/sink.count";
constexpr const char* kSinkLog = "/run/bench/sink.log";
constexpr std::uint32_t kHbIntervalMs = 4000;
constexpr const char* kDropLine = "MC error records undelivered: ";

// What the flood hands out: four flagged records (a corrected memory error
// in bank 4 on each CPU), which keep the monitor draining.
testbed::McRecords floodRecords()
{
    testbed::McRecords records{};
    for (std::uint32_t cpu = 0; cpu < records.size(); ++cpu) {
        RegIfVals& r = records[cpu];
        r.cpuId = cpu;
        r.version = 2;
        r.errOccurred = 1;
        r.val[eMC4_STATUS_REG] = 0x9c00400000000813ull;
        r.val[eMC4_ADDR_REG] = 0x3f7e1a40ull + cpu;
    }
    return records;
}

double cpuSeconds(pid_t pid)
{
    const auto use = cpuOf(pid);
    return use ? static_cast<double>(use->onCpuNs) / 1e9 : NAN;
}

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// TcpExt's ListenOverflows in the network namespace of process pid: SYNs
// that found the listener's accept queue full (each costs its sender a
// retransmission, one second later).
std::uint64_t listenOverflows(pid_t pid)
{
    const std::string text = readText("/proc/" + std::to_string(pid) + "/net/netstat").value_or("");
    const auto names = text.find("TcpExt: ");
    const auto values = text.find("TcpExt: ", text.find('\n', names));
    if (names == std::string::npos || values == std::string::npos)
        return 0;
    std::istringstream n(text.substr(names + 8, text.find('\n', names) - names - 8));
    std::istringstream v(text.substr(values + 8, text.find('\n', values) - values - 8));
    std::string name;
    std::uint64_t value = 0;
    while (n >> name && v >> value)
        if (name == "ListenOverflows")
            return value;
    return 0;
}

// The SP's end of a run: vornctl sp --json, or the floor's sink.
class SpEnd {
public:
    SpEnd(bool vornctl, std::uint32_t mcIntervalMs)
    {
        if (vornctl) {
            vornctl_ = std::make_unique<VornctlSp>(kHbIntervalMs, mcIntervalMs);
            return;
        }
        ::unlink(kSinkCountPath);
        sink_ = Child::spawn({which("nsenter"), std::string("--net=") + testbed::kSpNetnsPath, "--",
                              VORN_BENCH_FLOOR_FILE, "sink", testbed::kSpAddress, "9990", std::to_string(kHbIntervalMs),
                              std::to_string(mcIntervalMs), kSinkCountPath},
                             kSinkLog);
        const pid_t pid = sink_.pid();
        if (!waitUntil([pid] { return listensAsSp(pid); }, Millis{5000}))
            throw std::runtime_error("the floor's sink did not listen");
    }
    pid_t pid() const { return vornctl_ ? vornctl_->pid() : sink_.pid(); }
    std::uint64_t received() const
    {
        if (vornctl_)
            return vornctl_->lines();
        std::uint64_t count = 0;
        const int fd = ::open(kSinkCountPath, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            if (::pread(fd, &count, sizeof count, 0) != static_cast<ssize_t>(sizeof count))
                count = 0;
            ::close(fd);
        }
        return count;
    }
    // Waits until it has received nothing more for a second (at most 30 s).
    std::uint64_t settled() const
    {
        std::uint64_t before = received();
        for (int i = 0; i < 30; ++i) {
            std::this_thread::sleep_for(Millis{1000});
            const std::uint64_t now = received();
            if (now == before)
                break;
            before = now;
        }
        return before;
    }

private:
    std::unique_ptr<VornctlSp> vornctl_;
    Child sink_;
};

// One sender's run against an SP's end: the window's figures and what
// became of every record.
struct Run {
    bool vorn = false;
    bool vornctl = false;           // the SP's end: vornctl sp, else the sink
    std::uint32_t mcIntervalMs = 0; // the SP's answer to 'p'
    double windowSeconds = NAN;
    std::uint64_t receivedInWindow = 0;
    double perSecond = NAN;         // records the SP's end received over the window
    double handedPerSecond = NAN;   // records the driver handed out over the window (vorn)
    double senderCpuShare = NAN;    // the sender's CPU time over the window's time
    double spCpuShare = NAN;        // the SP's end's
    std::uint64_t overflows = 0;    // SYNs dropped for a full accept queue in the window
    std::uint64_t sentOrHanded = 0; // the floor: records sent; vorn: handed out, in all
    std::uint64_t received = 0;     // at the SP's end, in all
    std::uint64_t dropped = 0;      // vorn: drops that its log counts; the floor: failed connections

    std::string name() const
    {
        return fmt("%s -> %s", vorn ? fmt("vorn, MC interval %u ms", mcIntervalMs).c_str() : "floor (plain C)",
                   vornctl ? "vornctl sp" : "sink");
    }
};

// The window: counts and CPU times at its start and end.
struct Window {
    Clock::time_point start;
    std::uint64_t received = 0;
    std::uint64_t handouts = 0;
    std::uint64_t overflows = 0;
    double senderCpu = NAN;
    double spCpu = NAN;
};

Window mark(const SpEnd& sp, pid_t sender, const testbed::Driver* driver)
{
    Window w;
    w.start = Clock::now();
    w.received = sp.received();
    w.handouts = driver ? driver->mcFloodHandouts() : 0;
    w.overflows = listenOverflows(sp.pid());
    w.senderCpu = cpuSeconds(sender);
    w.spCpu = cpuSeconds(sp.pid());
    return w;
}

void measure(Run& run, const Window& a, const Window& b)
{
    run.windowSeconds = seconds(b.start - a.start);
    run.receivedInWindow = b.received - a.received;
    run.perSecond = static_cast<double>(run.receivedInWindow) / run.windowSeconds;
    run.handedPerSecond =
        static_cast<double>(b.handouts - a.handouts) * testbed::McRecords{}.size() / run.windowSeconds;
    run.overflows = b.overflows - a.overflows;
    run.senderCpuShare = (b.senderCpu - a.senderCpu) / run.windowSeconds;
    run.spCpuShare = (b.spCpu - a.spCpu) / run.windowSeconds;
}

// The daemon on a flooding driver, the SP's end answering 'p' with
// mcIntervalMs: records a second over the window after the warm-up; then
// the flood stops and every record handed out is accounted for.
Run vornRun(bool vornctl, std::uint32_t mcIntervalMs, int warmup, int window,
            const std::function<void(Board&)>& fixtures)
{
    Run run;
    run.vorn = true;
    run.vornctl = vornctl;
    run.mcIntervalMs = mcIntervalMs;
    Board board(testbed::BoardOptions{.startSp = false});
    fixtures(board);
    const SpEnd sp(vornctl, mcIntervalMs);
    board.driver().floodMcRecords(floodRecords());
    board.start();
    if (!waitUntil([&] { return board.driver().mcFloodHandouts() > 0; }, Millis{10000}))
        throw std::runtime_error("the MC monitor did not poll");
    const pid_t monitor = daemonPids(board).mc;
    std::this_thread::sleep_for(std::chrono::seconds(warmup));
    const Window a = mark(sp, monitor, &board.driver());
    std::this_thread::sleep_for(std::chrono::seconds(window));
    const Window b = mark(sp, monitor, &board.driver());
    measure(run, a, b);
    board.driver().stopMcFlood();
    run.received = sp.settled();
    run.sentOrHanded = board.driver().mcFloodHandouts() * testbed::McRecords{}.size();
    for (const auto& line : board.log()) {
        const auto of = line.text.find(" full, ");
        unsigned dropped = 0;
        if (line.text.find(kDropLine) != std::string::npos && of != std::string::npos &&
            std::sscanf(line.text.c_str() + of, " full, %u dropped", &dropped) == 1)
            run.dropped += dropped;
    }
    return run;
}

// The floor: the same connections and sends, as fast as they go.
Run floorRun(bool vornctl, int warmup, int window, const std::function<void(Board&)>& fixtures)
{
    Run run;
    run.vornctl = vornctl;
    run.mcIntervalMs = 1;
    Board board(testbed::BoardOptions{.startSp = false});
    fixtures(board);
    const SpEnd sp(vornctl, run.mcIntervalMs);
    const testbed::McRecords records = floodRecords();
    writeText(kFloorRecordsPath,
              std::string(reinterpret_cast<const char*>(records.data()), sizeof(RegIfVals) * records.size()));
    ::unlink(kFloorSendLog);
    Child sender = Child::spawn({VORN_BENCH_FLOOR_FILE, "send", testbed::kSpAddress, "9990",
                                 std::to_string(warmup + window + 1), kFloorRecordsPath},
                                kFloorSendLog);
    std::this_thread::sleep_for(std::chrono::seconds(warmup));
    const Window a = mark(sp, sender.pid(), nullptr);
    std::this_thread::sleep_for(std::chrono::seconds(window));
    const Window b = mark(sp, sender.pid(), nullptr);
    measure(run, a, b);
    // It prints its counts as it ends.
    waitUntil([] { return readText(kFloorSendLog).value_or("").find('\n') != std::string::npos; }, Millis{10000});
    run.received = sp.settled();
    const std::string log = readText(kFloorSendLog).value_or("");
    unsigned long sent = 0;
    unsigned long failed = 0;
    if (std::sscanf(log.c_str(), "sent %lu failed %lu", &sent, &failed) != 2)
        throw std::runtime_error("the floor's sender: " + log);
    run.sentOrHanded = sent;
    run.dropped = failed;
    return run;
}

Json runJson(const Run& r)
{
    Json j = Json::object();
    j["sender"] = r.vorn ? "vorn" : "floor";
    j["sp_end"] = r.vornctl ? "vornctl sp --json" : "vorn-bench-floor sink";
    j["sp_mc_interval_ms"] = r.mcIntervalMs;
    j["window_s"] = r.windowSeconds;
    j["received_in_window"] = static_cast<unsigned long>(r.receivedInWindow);
    j["records_per_s"] = r.perSecond;
    j["sender_cpu_share"] = r.senderCpuShare;
    j["sp_end_cpu_share"] = r.spCpuShare;
    j["listen_overflows_in_window"] = static_cast<unsigned long>(r.overflows);
    j["received_total"] = static_cast<unsigned long>(r.received);
    if (r.vorn) {
        j["handed_out_per_s"] = r.handedPerSecond;
        j["handed_out_total"] = static_cast<unsigned long>(r.sentOrHanded);
        j["drops_logged"] = static_cast<unsigned long>(r.dropped);
    } else {
        j["sent_total"] = static_cast<unsigned long>(r.sentOrHanded);
        j["failed_connections"] = static_cast<unsigned long>(r.dropped);
    }
    return j;
}

} // namespace

void Bench::mcThroughput()
{
    gSection = 9;
    say("9. MC records a second\n");
    const int warmup = opt_.quick ? 1 : 2;
    const int window = opt_.quick ? 3 : 10;
    const auto fixtures = [this](Board& board) {
        writeFixtures(board);
        // One connection per record, closed by the host first: each leaves
        // a TIME_WAIT socket on the host's side for 60 s, more than the
        // port range holds at these rates. Reused after 1 s (the sandbox's
        // network only).
        board.run("echo 1 > /proc/sys/net/ipv4/tcp_tw_reuse");
    };

    // The SP's MC interval: 1 ms, so that the drain's bound (64 requests,
    // then the interval's sleep) barely weighs and the forwarding's own rate
    // shows; once at 100 ms, where the bound shows.
    std::vector<Run> runs;
    for (const bool vornctl : {true, false}) {
        runs.push_back(floorRun(vornctl, warmup, window, fixtures));
        runs.push_back(vornRun(vornctl, 1, warmup, window, fixtures));
    }
    runs.push_back(vornRun(false, 100, warmup, window, fixtures));

    row("9. MC records a second: flagged records from the simulated driver (a flood: four on every request) through "
        "the "
        "MC monitor");
    row("   to the SP's end, one connection per record, over %d s after a %d s warm-up. floor: a C program that makes "
        "the "
        "same",
        window, warmup);
    row("   connections and sends (socket, connect, 'x', the 156-byte record, close) as fast as it can. SP's ends: "
        "vornctl "
        "sp --json");
    row("   (decodes, prints; listen backlog 16) and sink (plain C: reads, counts; backlog %d). CPU: on-CPU time over "
        "the "
        "window",
        SOMAXCONN);
    row("   (schedstat), 100%% = one of the CPUs. overflows: SYNs dropped for the SP's end's full accept queue (each a "
        "1 s "
        "retry).");
    row("                                                                     CPU (share)         CPU us/record");
    row("sender -> SP's end                       records/s  handed out/s   sender  SP's end    sender  SP's end  "
        "overflows");
    for (const Run& r : runs) {
        const std::string handed = r.vorn ? fmt("%12.0f", r.handedPerSecond) : fmt("%12s", "-");
        row("%-40s %9.0f  %s  %6.0f%%  %7.0f%%  %8.1f  %8.1f  %9" PRIu64, r.name().c_str(), r.perSecond, handed.c_str(),
            100 * r.senderCpuShare, 100 * r.spCpuShare, 1e6 * r.senderCpuShare / r.perSecond,
            1e6 * r.spCpuShare / r.perSecond, r.overflows);
    }
    const double toVornctl = runs[1].perSecond / runs[0].perSecond;
    const double toSink = runs[3].perSecond / runs[2].perSecond;
    row("   vorn/floor (MC interval 1 ms): to vornctl sp %.2f, to the sink %.2f", toVornctl, toSink);
    for (const Run& r : runs)
        if (r.vorn) {
            const std::uint64_t lost = r.sentOrHanded - std::min(r.sentOrHanded, r.received + r.dropped);
            row("   %s, the whole run: handed out %" PRIu64 ", received %" PRIu64 ", dropped (logged) %" PRIu64
                ", neither %" PRIu64,
                r.name().c_str(), r.sentOrHanded, r.received, r.dropped, lost);
        } else {
            row("   %s, the whole run: sent %" PRIu64 ", received %" PRIu64 ", failed connections %" PRIu64,
                r.name().c_str(), r.sentOrHanded, r.received, r.dropped);
        }
    // The drain's bound: 64 requests (256 records) an interval, then the
    // interval's sleep; at the forwarding's own rate (into the sink, 1 ms).
    const double perRecord = 1 / runs[3].perSecond;
    const double perInterval = vorn::kMaxPollsPerInterval * testbed::McRecords{}.size();
    const auto bound = [&](double intervalSeconds) {
        return perInterval / (intervalSeconds + perInterval * perRecord);
    };
    row("   the drain's bound, %.0f records an interval then the interval's sleep, at the 1 ms run's rate into the "
        "sink: "
        "100 ms %.0f/s, 5000 ms (the default) %.1f/s",
        perInterval, bound(0.1), bound(5.0));

    Json section = Json::object();
    section["warmup_s"] = warmup;
    section["window_s"] = window;
    Json list = Json::array();
    for (const Run& r : runs)
        list.push_back(runJson(r));
    section["runs"] = list;
    section["vorn_over_floor_to_vornctl_sp"] = toVornctl;
    section["vorn_over_floor_to_sink"] = toSink;
    section["drain_bound_per_s"] = Json{{"interval_100ms", bound(0.1)}, {"interval_5000ms", bound(5.0)}};
    json_["mc_throughput"] = section;
}

} // namespace bench
