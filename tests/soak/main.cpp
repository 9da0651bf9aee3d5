// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// vorn-soak: the real daemon on the simulated board for a set time, under a
// steady load, watched for growth and for lost or wrong work:
//
// - both monitors at 100 ms (the SP answers 'h' and 'p' with 100);
// - a flagged MC record every second, each one unique (its sequence number
//   in every register), each to reach the SP exactly once and in order;
// - an SP that refuses every third connection and answers the others late;
// - a mixed stream of every request letter and of invalid letters, from the
//   SP's address and from strangers' addresses, every reply checked.
//
// It prints a row every minute and a summary with the goals at the end, and
// writes the same figures as JSON to the descriptor given with --json-fd.
// Run it directly (scripts/soak does, after building): outside a sandbox it
// starts itself again through vorn-sandbox.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "fixtures.h"
#include "json.h"
#include "procstats.h"
#include "stream.h"
#include "testbed/board/board.h"

namespace {

using bench::Json;
using testbed::Board;
using testbed::Clock;
using testbed::Millis;
using Seconds = std::chrono::duration<double>;

constexpr std::uint32_t kIntervalMs = 100;
constexpr std::uint32_t kRefuseEvery = 3;
constexpr Millis kReplyDelay{300};
constexpr Millis kRecordPeriod{1000};
constexpr Millis kBeatSamplePeriod{2000};
constexpr Millis kRequestPeriod{40}; // 25 connections a second
// What the resident size and the anonymous proportional size may move after
// the first minute without counting as growth: page-sized noise. A leak of 32
// bytes per request would add more than 1 MiB over 30 minutes at this pace.
// The whole proportional size is reported but not judged: its share of the
// libraries' pages moves with the other processes of the machine that map
// them.
constexpr std::uint64_t kMemoryToleranceKb = 64;

struct Options {
    double minutes = 30;
    int jsonFd = -1;
    std::uint32_t seed = 1;
};

std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* format, ...)
{
    char line[512];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    return line;
}

void out(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// --- the daemon's processes ---------------------------------------------------

struct Pids {
    pid_t server = 0;
    pid_t hb = 0;
    pid_t mc = 0;
};

// The monitors by the driver requests they make.
Pids daemonPids(Board& board)
{
    Pids p;
    p.server = board.daemonPid();
    for (const auto& call : board.driver().calls()) {
        if (call.request == testbed::simdrv::kHbBeat)
            p.hb = call.pid;
        if (call.request == testbed::simdrv::kMcRegIf)
            p.mc = call.pid;
    }
    return p;
}

std::size_t descriptorCount(pid_t pid)
{
    std::size_t n = 0;
    if (DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (const dirent* e = ::readdir(d))
            n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

// The simulated drivers' library and their shared state, which every
// process of the daemon maps: no part of the agent on a host. Their rings
// (heartbeats, driver requests) fill page by page for minutes, which the
// resident size shows.
const std::vector<std::string> kTestbedMappings = {"vorn_simdrv", "/run/testbed/"};

struct ProcessFigures {
    pid_t pid = 0;
    std::size_t descriptors = 0;
    std::uint64_t rssKb = 0;
    std::uint64_t pssKb = 0;
    std::uint64_t pssAnonKb = 0;
    std::uint64_t ownRssKb = 0; // without kTestbedMappings
    std::uint64_t ownPssKb = 0;
};

// The resident size of the mappings whose line in smaps holds one of `excluded`.
std::uint64_t excludedRssKb(pid_t pid, const std::vector<std::string>& excluded)
{
    const std::string text = bench::readText("/proc/" + std::to_string(pid) + "/smaps").value_or("");
    std::uint64_t kb = 0;
    bool counted = false;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(begin, end - begin);
        begin = end + 1;
        const std::string first = line.substr(0, line.find(' '));
        if (!first.empty() && first.back() != ':') {
            counted = std::any_of(excluded.begin(), excluded.end(),
                                  [&](const std::string& e) { return line.find(e) != std::string::npos; });
        } else if (counted && first == "Rss:") {
            kb += std::strtoull(line.c_str() + 4, nullptr, 10);
        }
    }
    return kb;
}

ProcessFigures figuresOf(pid_t pid)
{
    ProcessFigures f;
    f.pid = pid;
    f.descriptors = descriptorCount(pid);
    if (const auto m = bench::memoryOf(pid, kTestbedMappings)) {
        f.rssKb = m->rssKb;
        f.pssKb = m->pssKb;
        f.pssAnonKb = m->pssAnonKb;
        f.ownPssKb = m->pssKb - std::min(m->pssKb, m->pssExcludedKb);
        f.ownRssKb = m->rssKb - std::min(m->rssKb, excludedRssKb(pid, kTestbedMappings));
    }
    return f;
}

// --- records and heartbeats, watched by a thread of their own -------------------

RegIfVals recordOf(std::uint32_t seq)
{
    RegIfVals r{};
    r.cpuId = seq % 4;
    r.version = 2;
    r.errOccurred = 1;
    for (std::size_t i = 0; i < eREG_IF_FIELDS_COUNT; ++i)
        r.val[i] = (std::uint64_t{seq} << 8) | i;
    return r;
}

struct Periods {
    std::uint64_t count = 0;
    double sumMs = 0;
    double worstMs = 0; // largest |period - interval|
    void add(double periodMs)
    {
        ++count;
        sumMs += periodMs;
        worstMs = std::max(worstMs, std::fabs(periodMs - kIntervalMs));
    }
    double mean() const { return count ? sumMs / static_cast<double>(count) : NAN; }
};

struct Latency {
    std::uint64_t count = 0;
    double sumMs = 0;
    double worstMs = 0;
    void add(double v)
    {
        ++count;
        sumMs += v;
        worstMs = std::max(worstMs, v);
    }
    double mean() const { return count ? sumMs / static_cast<double>(count) : NAN; }
};

struct MonitorCounts {
    std::uint64_t flagged = 0;
    std::uint64_t delivered = 0; // distinct records, each the one queued with its number
    std::uint64_t inOrder = 0;   // delivered as the next one due
    std::uint64_t duplicates = 0;
    std::uint64_t outOfOrder = 0;
    std::uint64_t foreign = 0; // a record that was never queued
    std::uint64_t tableFull = 0;
    Periods beats;
    Periods beatsWindow;         // since the last row
    std::uint64_t beatsLost = 0; // beats that left the driver's ring unseen
    Latency latency;             // queued in the driver -> complete at the SP
    Latency latencyWindow;
};

class Monitors {
public:
    explicit Monitors(Board& board) : board_(board) {}
    Monitors(const Monitors&) = delete;
    Monitors& operator=(const Monitors&) = delete;
    ~Monitors() { stop(); }

    void start()
    {
        lastBeat_ = Clock::time_point{};
        const auto beats = board_.driver().heartbeats();
        if (!beats.empty())
            lastBeat_ = beats.back();
        thread_ = std::thread([this] { run(); });
    }

    void stop()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

    // Once stopped: takes what reached the SP until every flagged record has, or the timeout.
    bool drain(Millis timeout)
    {
        const bool all = testbed::waitUntil(
            [&] {
                collect();
                std::lock_guard<std::mutex> lock(mutex_);
                return counts_.delivered + counts_.foreign + counts_.duplicates >= counts_.flagged;
            },
            timeout);
        sampleBeats();
        return all;
    }

    MonitorCounts counts(bool newWindow)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        MonitorCounts c = counts_;
        if (newWindow) {
            counts_.beatsWindow = {};
            counts_.latencyWindow = {};
        }
        return c;
    }

private:
    void run()
    {
        auto nextRecord = Clock::now();
        auto nextBeats = Clock::now() + kBeatSamplePeriod;
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopping_) {
            lock.unlock();
            const auto now = Clock::now();
            if (now >= nextRecord) {
                queueRecord();
                nextRecord += kRecordPeriod;
                if (nextRecord < now)
                    nextRecord = now + kRecordPeriod;
            }
            collect();
            if (now >= nextBeats) {
                sampleBeats();
                nextBeats += kBeatSamplePeriod;
            }
            lock.lock();
            wake_.wait_until(lock, std::min(nextRecord, nextBeats), [&] { return stopping_; });
        }
    }

    void queueRecord()
    {
        // The driver keeps kMcSetCapacity sets: once every set queued so far
        // has been handed out, the table starts over.
        auto& raw = board_.driver().raw();
        bool full = false;
        {
            testbed::SharedLock lock(raw.lock);
            if (raw.mcHandedOut == raw.mcQueued && raw.mcQueued >= testbed::simdrv::kMcSetCapacity / 2) {
                raw.mcQueued = 0;
                raw.mcHandedOut = 0;
            }
            full = raw.mcQueued >= testbed::simdrv::kMcSetCapacity;
        }
        if (full) {
            std::lock_guard<std::mutex> lock(mutex_);
            ++counts_.tableFull;
            return;
        }
        const auto seq = static_cast<std::uint32_t>(queuedAt_.size());
        const RegIfVals none{};
        queuedAt_.push_back(Clock::now());
        board_.driver().queueMcRecords({recordOf(seq), none, none, none});
        std::lock_guard<std::mutex> lock(mutex_);
        ++counts_.flagged;
    }

    void collect()
    {
        const std::vector<testbed::SpReport> reports = board_.sp().takeReports();
        std::lock_guard<std::mutex> lock(mutex_);
        for (const testbed::SpReport& r : reports) {
            const auto seq = static_cast<std::uint32_t>(r.record.val[0] >> 8);
            const RegIfVals want = recordOf(seq);
            if (seq >= queuedAt_.size() || std::memcmp(&want, &r.record, sizeof want) != 0) {
                ++counts_.foreign;
                continue;
            }
            if (seen_.size() <= seq)
                seen_.resize(seq + 1, false);
            if (seen_[seq]) {
                ++counts_.duplicates;
                continue;
            }
            seen_[seq] = true;
            ++counts_.delivered;
            if (seq == nextDue_) {
                ++counts_.inOrder;
            } else {
                ++counts_.outOfOrder;
            }
            nextDue_ = std::max(nextDue_, seq + 1);
            const double latency = ms(r.complete - queuedAt_[seq]);
            counts_.latency.add(latency);
            counts_.latencyWindow.add(latency);
        }
    }

    // The driver's ring holds the latest kHeartbeatCapacity beats (409 s at
    // 100 ms): sampled every few seconds, every period is seen once.
    void sampleBeats()
    {
        const std::vector<Clock::time_point> beats = board_.driver().heartbeats();
        std::lock_guard<std::mutex> lock(mutex_);
        std::size_t i = 0;
        while (i < beats.size() && beats[i] <= lastBeat_)
            ++i;
        if (i == 0 && !beats.empty() && lastBeat_ != Clock::time_point{} &&
            beats.size() >= testbed::simdrv::kHeartbeatCapacity)
            ++counts_.beatsLost; // the beat after lastBeat_ is gone: the ring went round unseen
        for (; i < beats.size(); ++i) {
            if (lastBeat_ != Clock::time_point{}) {
                const double period = ms(beats[i] - lastBeat_);
                counts_.beats.add(period);
                counts_.beatsWindow.add(period);
            }
            lastBeat_ = beats[i];
        }
    }

    Board& board_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    MonitorCounts counts_;
    std::vector<Clock::time_point> queuedAt_; // by sequence number (this thread, then drain)
    std::vector<bool> seen_;
    std::uint32_t nextDue_ = 0;
    Clock::time_point lastBeat_;
};

// --- the rows ---------------------------------------------------------------------

struct Row {
    std::string label; // the minute, or "end"
    double elapsedS = 0;
    ProcessFigures server, hb, mc;
    std::size_t processes = 0;
    std::size_t zombies = 0;
    MonitorCounts monitors;
    soak::StreamCounts stream;
    std::uint64_t refused = 0;
    std::string load;
};

std::string loadAverage()
{
    std::string load = bench::readText("/proc/loadavg").value_or("?");
    return load.substr(0, load.find(' ', load.find(' ', load.find(' ') + 1) + 1));
}

Json processJson(const ProcessFigures& f)
{
    Json j = Json::object();
    j["pid"] = static_cast<long>(f.pid);
    j["descriptors"] = static_cast<unsigned long>(f.descriptors);
    j["rss_kib"] = static_cast<unsigned long>(f.rssKb);
    j["pss_kib"] = static_cast<unsigned long>(f.pssKb);
    j["pss_anon_kib"] = static_cast<unsigned long>(f.pssAnonKb);
    j["rss_without_simulated_drivers_kib"] = static_cast<unsigned long>(f.ownRssKb);
    j["pss_without_simulated_drivers_kib"] = static_cast<unsigned long>(f.ownPssKb);
    return j;
}

Json rowJson(const Row& r)
{
    Json j = Json::object();
    j["at"] = r.label;
    j["elapsed_s"] = r.elapsedS;
    Json p = Json::object();
    p["request_server"] = processJson(r.server);
    p["heartbeat_monitor"] = processJson(r.hb);
    p["mc_monitor"] = processJson(r.mc);
    j["processes"] = p;
    j["process_count"] = static_cast<unsigned long>(r.processes);
    j["zombies"] = static_cast<unsigned long>(r.zombies);
    Json m = Json::object();
    m["flagged"] = static_cast<unsigned long>(r.monitors.flagged);
    m["delivered"] = static_cast<unsigned long>(r.monitors.delivered);
    m["in_order"] = static_cast<unsigned long>(r.monitors.inOrder);
    m["duplicates"] = static_cast<unsigned long>(r.monitors.duplicates);
    m["out_of_order"] = static_cast<unsigned long>(r.monitors.outOfOrder);
    m["foreign"] = static_cast<unsigned long>(r.monitors.foreign);
    m["sp_refused_connections"] = static_cast<unsigned long>(r.refused);
    m["latency_mean_ms"] = r.monitors.latency.mean();
    m["latency_worst_ms"] = r.monitors.latency.worstMs;
    m["latency_minute_mean_ms"] = r.monitors.latencyWindow.mean();
    m["latency_minute_worst_ms"] = r.monitors.latencyWindow.worstMs;
    j["mc_records"] = m;
    Json h = Json::object();
    h["periods"] = static_cast<unsigned long>(r.monitors.beats.count);
    h["mean_ms"] = r.monitors.beats.mean();
    h["worst_deviation_ms"] = r.monitors.beats.worstMs;
    h["minute_periods"] = static_cast<unsigned long>(r.monitors.beatsWindow.count);
    h["minute_mean_ms"] = r.monitors.beatsWindow.mean();
    h["minute_worst_deviation_ms"] = r.monitors.beatsWindow.worstMs;
    h["lost_to_ring"] = static_cast<unsigned long>(r.monitors.beatsLost);
    j["heartbeat"] = h;
    Json s = Json::object();
    s["sp_requests"] = static_cast<unsigned long>(r.stream.spRequests);
    s["stranger_requests"] = static_cast<unsigned long>(r.stream.strangerRequests);
    s["replies_checked"] = static_cast<unsigned long>(r.stream.checked);
    s["replies_wrong"] = static_cast<unsigned long>(r.stream.wrong);
    s["host_link_renewals"] = static_cast<unsigned long>(r.stream.hostLinkMoves);
    j["requests"] = s;
    j["loadavg"] = r.load;
    return j;
}

const char* kHeader = "   at  fds s/h/m  RSS KiB s/h/m    (own)             PSS KiB s/h/m (anon)         procs zomb "
                      "flagged  deliv  order refused  hb mean/worst ms   rec ms mean/worst  replies wrong  load";

std::string rowText(const Row& r)
{
    const auto kb = [](std::uint64_t v) { return static_cast<unsigned long>(v); };
    return fmt(
        "%5s  %zu/%zu/%zu  %4lu/%4lu/%4lu (%4lu/%4lu/%4lu)  %3lu/%3lu/%3lu (%3lu/%3lu/%3lu)  %3zu  %3zu  %6lu %6lu "
        "%6lu %6lu  %7.3f/%6.3f  %7.1f/%7.1f  %7lu %4lu  %s",
        r.label.c_str(), r.server.descriptors, r.hb.descriptors, r.mc.descriptors, kb(r.server.rssKb), kb(r.hb.rssKb),
        kb(r.mc.rssKb), kb(r.server.ownRssKb), kb(r.hb.ownRssKb), kb(r.mc.ownRssKb), kb(r.server.pssKb), kb(r.hb.pssKb),
        kb(r.mc.pssKb), kb(r.server.pssAnonKb), kb(r.hb.pssAnonKb), kb(r.mc.pssAnonKb), r.processes, r.zombies,
        kb(r.monitors.flagged), kb(r.monitors.delivered), kb(r.monitors.inOrder), kb(r.refused),
        r.monitors.beatsWindow.mean(), r.monitors.beatsWindow.worstMs, r.monitors.latencyWindow.mean(),
        r.monitors.latencyWindow.worstMs, kb(r.stream.checked), kb(r.stream.wrong), r.load.c_str());
}

// --- the soak -----------------------------------------------------------------------

class Soak {
public:
    explicit Soak(Options o) : opt_(o) {}
    int run();

private:
    void machine();
    void setUp();
    Row row(const std::string& label, bool newWindow);
    void goals(const Row& end);
    void verdict(const std::string& goal, const std::string& figures, bool met);

    Options opt_;
    Board board_;
    Pids pids_;
    std::optional<Monitors> monitors_;
    std::optional<soak::Stream> stream_;
    Clock::time_point start_;
    std::vector<Row> rows_;
    Json json_ = Json::object();
    Json goalsJson_ = Json::array();
    bool allMet_ = true;
};

void Soak::machine()
{
    utsname u{};
    ::uname(&u);
    std::string model = "?";
    if (const auto info = bench::readText("/proc/cpuinfo")) {
        const auto pos = info->find("model name");
        if (pos != std::string::npos) {
            const auto colon = info->find(':', pos);
            model = info->substr(colon + 2, info->find('\n', colon) - colon - 2);
        }
    }
    const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    char date[64];
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S UTC", std::gmtime(&now));
    Json m = Json::object();
    m["date"] = date;
    m["kernel"] = u.release;
    m["cpu"] = model;
    m["cpus"] = cpus;
    m["loadavg_at_start"] = loadAverage();
    json_["machine"] = m;
    Json s = Json::object();
    s["minutes"] = opt_.minutes;
    s["monitor_interval_ms"] = kIntervalMs;
    s["record_period_ms"] = static_cast<long>(kRecordPeriod.count());
    s["sp_refuses_every"] = kRefuseEvery;
    s["sp_reply_delay_ms"] = static_cast<long>(kReplyDelay.count());
    s["request_period_ms"] = static_cast<long>(kRequestPeriod.count());
    s["seed"] = opt_.seed;
    json_["settings"] = s;
    out(fmt("vorn soak, %s, %.0f min; %s, %ld CPUs, kernel %s; load average at start %s", date, opt_.minutes,
            model.c_str(), cpus, u.release, loadAverage().c_str()));
    out(fmt("monitors at %u ms; a flagged MC record every %ld ms; the SP refuses one connection in %u and answers "
            "the others %ld ms late; one request every %ld ms (one in four from a stranger)",
            kIntervalMs, static_cast<long>(kRecordPeriod.count()), kRefuseEvery, static_cast<long>(kReplyDelay.count()),
            static_cast<long>(kRequestPeriod.count())));
}

void Soak::setUp()
{
    board_.sp().setInterval('h', kIntervalMs);
    board_.sp().setInterval('p', kIntervalMs);
    // Late answers from the start: the monitors' first exchanges are late too.
    board_.sp().setReplyDelay(kReplyDelay);
    const bench::InventoryFiles inv = bench::typicalInventory();
    board_.writeFile("/etc/kelmora/swinventory.xml", inv.main);
    board_.writeFile("/etc/kelmora/hlink/swinventory.xml", inv.hlink);
    board_.writeFile("/etc/kelmora/oxa_mc/swinventory.xml", inv.mc);
    board_.writeFile("/etc/kelmora/vorn/swinventory.xml", inv.agent);
    board_.writeFile("/etc/init.d/vorn", "#!/bin/sh\nifconfig hlink0 169.254.101.3\n", 0755);
    board_.writeFile("/etc/resolv.conf", bench::typicalResolvConf());
    // A fixed CPU description: the machine's own, as it reads now (its
    // clock rates would change the sensors' and identity replies).
    board_.bindOver("/proc/cpuinfo", bench::readText("/proc/cpuinfo").value_or(""));
    // Many short connections: a wide port range in the sandbox's network.
    board_.run("echo '1024 65000' > /proc/sys/net/ipv4/ip_local_port_range");
    board_.start();
    // The monitors' interval exchanges, answered late.
    if (!board_.sp().waitForExchanges(2, Millis{15000}))
        throw std::runtime_error("the monitors did not fetch their intervals");
    if (!testbed::waitUntil([&] { return board_.driver().heartbeatCount() >= 2 && board_.driver().mcPolls() >= 2; },
                            Millis{10000}))
        throw std::runtime_error("the monitors did not start");
    for (const char* line : {"HB failed to get poll rate from SP\n", "MC failed to get poll rate from SP\n"})
        if (board_.logCount(line) != 0)
            throw std::runtime_error(std::string("a monitor did not take its interval: ") + line);
    pids_ = daemonPids(board_);
    if (pids_.hb == 0 || pids_.mc == 0)
        throw std::runtime_error("cannot tell the monitors apart");
    // From now on every third connection to the SP is refused.
    board_.sp().setRefuseEvery(kRefuseEvery);
    stream_.emplace(board_, opt_.seed);
    stream_->references();
}

Row Soak::row(const std::string& label, bool newWindow)
{
    Row r;
    r.label = label;
    r.elapsedS = Seconds(Clock::now() - start_).count();
    const Pids now = daemonPids(board_);
    if (now.server != pids_.server || now.hb != pids_.hb || now.mc != pids_.mc)
        out(fmt("vorn-soak: the daemon's processes changed: %d/%d/%d, now %d/%d/%d", pids_.server, pids_.hb, pids_.mc,
                now.server, now.hb, now.mc));
    r.server = figuresOf(now.server);
    r.hb = figuresOf(now.hb);
    r.mc = figuresOf(now.mc);
    for (const testbed::ProcessInfo& p : board_.processes()) {
        ++r.processes;
        r.zombies += p.state == 'Z';
    }
    r.monitors = monitors_->counts(newWindow);
    r.stream = stream_->counts();
    r.refused = board_.sp().refusedConnections();
    r.load = loadAverage();
    return r;
}

void Soak::verdict(const std::string& goal, const std::string& figures, bool met)
{
    out(fmt("  [%s] %s: %s", met ? "met" : "NOT MET", goal.c_str(), figures.c_str()));
    Json g = Json::object();
    g["goal"] = goal;
    g["figures"] = figures;
    g["met"] = met;
    goalsJson_.push_back(g);
    allMet_ = allMet_ && met;
}

void Soak::goals(const Row& end)
{
    out("goals:");
    // Growth: every row after the first minute against the first minute's.
    const Row* base = rows_.size() > 1 ? &rows_[1] : nullptr;
    if (base == nullptr) {
        verdict("no growth of descriptors, RSS, PSS or processes after the first minute",
                "a run of less than 2 minutes has no row after the first minute", false);
    } else {
        std::string text;
        bool met = true;
        std::size_t fdsGrowth = 0;
        std::size_t procGrowth = 0;
        std::size_t zombies = 0;
        long rssGrowth = 0;
        long pssGrowth = 0;
        long rawRssGrowth = 0;
        long rawPssGrowth = 0;
        const auto grow = [](std::uint64_t now, std::uint64_t then) {
            return static_cast<long>(now) - static_cast<long>(then);
        };
        std::vector<const Row*> later;
        for (std::size_t i = 2; i < rows_.size(); ++i)
            later.push_back(&rows_[i]);
        later.push_back(&end);
        for (const Row* r : later) {
            const ProcessFigures* a[] = {&r->server, &r->hb, &r->mc};
            const ProcessFigures* b[] = {&base->server, &base->hb, &base->mc};
            for (int k = 0; k < 3; ++k) {
                fdsGrowth =
                    std::max(fdsGrowth, a[k]->descriptors > b[k]->descriptors ? a[k]->descriptors - b[k]->descriptors
                                                                              : std::size_t{0});
                rssGrowth = std::max(rssGrowth, grow(a[k]->ownRssKb, b[k]->ownRssKb));
                pssGrowth = std::max(pssGrowth, grow(a[k]->pssAnonKb, b[k]->pssAnonKb));
                rawRssGrowth = std::max(rawRssGrowth, grow(a[k]->rssKb, b[k]->rssKb));
                rawPssGrowth = std::max(rawPssGrowth, grow(a[k]->pssKb, b[k]->pssKb));
            }
            procGrowth = std::max(procGrowth, r->processes > base->processes ? r->processes - base->processes : 0);
            zombies = std::max(zombies, r->zombies);
        }
        met = fdsGrowth == 0 && procGrowth == 0 && zombies == 0 && rssGrowth <= long{kMemoryToleranceKb} &&
              pssGrowth <= long{kMemoryToleranceKb};
        text = fmt("largest growth over minute 1 in any process: %zu descriptors, %ld KiB RSS without the "
                   "simulated drivers, %ld KiB anonymous PSS (page noise allowed: %lu KiB; with the simulated "
                   "drivers %ld KiB RSS; total PSS %ld KiB, which moves with what other processes of the machine "
                   "share); %zu more processes (minute 1: %zu), at most %zu zombies",
                   fdsGrowth, rssGrowth, pssGrowth, static_cast<unsigned long>(kMemoryToleranceKb), rawRssGrowth,
                   rawPssGrowth, procGrowth, base->processes, zombies);
        verdict("no growth of descriptors, RSS, PSS or processes after the first minute", text, met);
    }
    const MonitorCounts& m = end.monitors;
    verdict("every flagged record delivered exactly once, in order",
            fmt("%lu flagged, %lu delivered, %lu in order, %lu duplicates, %lu out of order, %lu never queued, "
                "%lu missing; the SP refused %lu connections; queued -> at the SP mean %.1f ms, worst %.1f ms",
                static_cast<unsigned long>(m.flagged), static_cast<unsigned long>(m.delivered),
                static_cast<unsigned long>(m.inOrder), static_cast<unsigned long>(m.duplicates),
                static_cast<unsigned long>(m.outOfOrder), static_cast<unsigned long>(m.foreign),
                static_cast<unsigned long>(m.flagged - std::min(m.flagged, m.delivered)),
                static_cast<unsigned long>(end.refused), m.latency.mean(), m.latency.worstMs),
            m.flagged > 0 && m.delivered == m.flagged && m.inOrder == m.flagged && m.duplicates == 0 &&
                m.foreign == 0 && m.tableFull == 0);
    const soak::StreamCounts& s = end.stream;
    verdict("every reply exact",
            fmt("%lu replies checked (%lu from the SP's address, %lu strangers', %lu host-link renewals), %lu wrong",
                static_cast<unsigned long>(s.checked), static_cast<unsigned long>(s.spRequests),
                static_cast<unsigned long>(s.strangerRequests), static_cast<unsigned long>(s.hostLinkMoves),
                static_cast<unsigned long>(s.wrong)),
            s.checked > 0 && s.wrong == 0);
    const double mean = m.beats.mean();
    verdict("heartbeat mean within 1% of 100 ms",
            fmt("%lu periods, mean %.3f ms (%+.2f%%), worst deviation %.3f ms, %lu beats lost to the ring",
                static_cast<unsigned long>(m.beats.count), mean, (mean - kIntervalMs) / kIntervalMs * 100,
                m.beats.worstMs, static_cast<unsigned long>(m.beatsLost)),
            std::isfinite(mean) && std::fabs(mean - kIntervalMs) <= kIntervalMs / 100.0 && m.beatsLost == 0);
}

int Soak::run()
{
    machine();
    setUp();
    start_ = Clock::now();
    monitors_.emplace(board_);
    monitors_->start();
    out(kHeader);
    rows_.push_back(row("0", true));
    out(rowText(rows_.back()));

    const auto end = start_ + std::chrono::duration_cast<Clock::duration>(Seconds(opt_.minutes * 60));
    auto nextRow = start_ + std::chrono::minutes(1);
    auto nextRequest = Clock::now();
    int minute = 0;
    while (Clock::now() < end) {
        stream_->next();
        const auto now = Clock::now();
        if (now >= nextRow) {
            rows_.push_back(row(std::to_string(++minute), true));
            out(rowText(rows_.back()));
            nextRow += std::chrono::minutes(1);
        }
        nextRequest += kRequestPeriod;
        if (nextRequest < now - Millis{1000})
            nextRequest = now; // far behind (a slow request): no burst to catch up
        std::this_thread::sleep_until(std::min(nextRequest, end));
    }
    // The last records still on their way.
    monitors_->stop();
    const bool drained = monitors_->drain(Millis{20000});
    if (!drained)
        out("vorn-soak: not every flagged record reached the SP within 20 s after the last");
    Row last = row("end", false);
    out(rowText(last));

    // What else the agent must have done: the strangers logged, the SP's
    // power requests run, the refusals noticed.
    const std::uint64_t strangers = last.stream.strangerRequests;
    testbed::waitUntil([&] { return board_.logCount("Incoming request from wrong IP\n") >= strangers; }, Millis{5000});
    const std::size_t logged = board_.logCount("Incoming request from wrong IP\n");
    std::string fakes;
    bool fakesRight = true;
    Json fakesJson = Json::object();
    for (const auto& [fake, expected] : stream_->expectedFakeCalls()) {
        const std::size_t calls = board_.fakeCalls(fake).size();
        fakes += fmt("%s%s %zu (%lu requested)", fakes.empty() ? "" : ", ", fake.c_str(), calls,
                     static_cast<unsigned long>(expected));
        fakesRight = fakesRight && calls == expected;
        fakesJson[fake] = static_cast<unsigned long>(calls);
    }
    std::size_t cannotConnect = 0;
    for (const testbed::LogLine& l : board_.log())
        cannotConnect += l.text.rfind("cannot connect", 0) == 0;
    out("");
    out(fmt("end, after %.1f min:", last.elapsedS / 60));
    out(fmt("  requests: %lu from the SP's address, %lu from strangers; %lu replies checked, %lu wrong",
            static_cast<unsigned long>(last.stream.spRequests), static_cast<unsigned long>(strangers),
            static_cast<unsigned long>(last.stream.checked), static_cast<unsigned long>(last.stream.wrong)));
    out(fmt("  strangers logged by the agent: %zu of %lu; power programs run: %s%s", logged,
            static_cast<unsigned long>(strangers), fakes.c_str(), fakesRight ? "" : "  [MISMATCH]"));
    out(fmt("  SP connections refused: %lu; the agent logged %zu failed connects",
            static_cast<unsigned long>(last.refused), cannotConnect));
    for (const std::string& f : stream_->failures())
        out("  wrong: " + f);
    goals(last);

    Json rows = Json::array();
    for (const Row& r : rows_)
        rows.push_back(rowJson(r));
    json_["rows"] = rows;
    json_["end"] = rowJson(last);
    Json extra = Json::object();
    extra["strangers_logged"] = static_cast<unsigned long>(logged);
    extra["power_program_calls"] = fakesJson;
    extra["power_program_calls_match"] = fakesRight;
    extra["agent_failed_connects_logged"] = static_cast<unsigned long>(cannotConnect);
    extra["records_drained"] = drained;
    Json failures = Json::array();
    for (const std::string& f : stream_->failures())
        failures.push_back(f);
    extra["wrong_replies"] = failures;
    json_["checks"] = extra;
    json_["goals"] = goalsJson_;
    json_["all_goals_met"] = allMet_;
    json_["machine"]["loadavg_at_end"] = loadAverage();
    if (opt_.jsonFd >= 0) {
        const std::string text = json_.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
        if (::write(opt_.jsonFd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            std::fprintf(stderr, "vorn-soak: cannot write the JSON figures\n");
        ::close(opt_.jsonFd);
    }
    return allMet_ ? 0 : 2;
}

Options parse(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--minutes" && i + 1 < argc)
            o.minutes = std::strtod(argv[++i], nullptr);
        else if (a.rfind("--minutes=", 0) == 0)
            o.minutes = std::strtod(a.c_str() + 10, nullptr);
        else if (a.rfind("--json-fd=", 0) == 0)
            o.jsonFd = static_cast<int>(std::strtol(a.c_str() + 10, nullptr, 10));
        else if (a.rfind("--seed=", 0) == 0)
            o.seed = static_cast<std::uint32_t>(std::strtoul(a.c_str() + 7, nullptr, 10));
        else
            throw std::runtime_error("unknown argument " + a + " (--minutes N, --json-fd=N, --seed=N)");
    }
    if (!(o.minutes > 0))
        throw std::runtime_error("--minutes must be more than 0");
    return o;
}

} // namespace

int main(int argc, char** argv)
{
    if (!testbed::insideSandbox())
        return testbed::execInSandbox(argc, argv, "vorn-soak");
    try {
        const Options o = parse(argc, argv);
        if (o.jsonFd >= 0)
            ::fcntl(o.jsonFd, F_SETFD, FD_CLOEXEC);
        Soak soak(o);
        return soak.run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vorn-soak: %s\n", e.what());
        return 1;
    }
}
