// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Section 1: round trip, throughput and CPU per request of every letter,
// beside the floor servers, an inetd-style agent and qemu-ga; and 'e' on a
// daemon without the simulated drivers.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench.h"

namespace bench {

Target Bench::vornTarget() const
{
    Target t = tcpTarget(testbed::kServerPort);
    t.host = linkAt_;
    return t;
}

namespace {

// One request to a server that renews its listener after some requests:
// a request that meets the renewal is sent again, at once when the old
// listener reset it (it has just closed, and the renewed one opens within
// some 60 us, traced), 50 us later when it was refused (the moment between
// the two; a client that tried again at once would flood the server with
// connections that the kernel resets). Its time counts from the first
// attempt; failed is set when no answer came within 10 s.
Exchange exchangeRenewing(const Target& target, const std::string& request, const std::string& expected, bool& failed)
{
    const double start = monotonicSeconds();
    Exchange e;
    for (;;) {
        e = exchangeOnce(target, request);
        if (e.ok && !e.bytes.empty() && (expected.empty() || e.bytes == expected))
            break;
        if (monotonicSeconds() - start > 10) {
            failed = true;
            break;
        }
        if (e.error != ECONNRESET)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    e.seconds = monotonicSeconds() - start;
    return e;
}

// n requests to a server that renews its listener after each, as the
// letter's own floor of 'J' does.
Batch renewingBatch(const Target& target, const std::string& request, const std::string& expected, unsigned n,
                    pid_t server, double& cpuSeconds)
{
    const auto before = server > 0 ? cpuOf(server) : std::nullopt;
    Batch b;
    b.each.reserve(n);
    const double start = monotonicSeconds();
    for (unsigned i = 0; i < n; ++i) {
        bool failed = false;
        Exchange e = exchangeRenewing(target, request, expected, failed);
        if (failed)
            ++b.failures;
        if (i == 0)
            b.firstAnswer = std::move(e.bytes);
        b.each.push_back(e.seconds);
    }
    b.seconds = monotonicSeconds() - start;
    const auto after = server > 0 ? cpuOf(server) : std::nullopt;
    cpuSeconds = before && after ? static_cast<double>(after->onCpuNs - before->onCpuNs) * 1e-9 : NAN;
    return b;
}

// Destroys the TIME_WAIT sockets of these local ports in the sandbox's
// network (ss -K: the kernel's socket diagnostics).
void dropTimeWait(const std::vector<std::uint16_t>& ports)
{
    std::string filter;
    for (const std::uint16_t port : ports)
        filter += fmt("%ssport = :%u", filter.empty() ? "" : " or ", port);
    const std::string command = "ss -K -t state time-wait '( " + filter + " )' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("cannot drop the TIME_WAIT sockets: " + command);
}

} // namespace

Batch Bench::linkBatch(unsigned n, pid_t server, Exchange* first, Exchange* last, double* cpuSeconds)
{
    const auto cpuBefore = server > 0 ? cpuOf(server) : std::nullopt;
    Batch b;
    b.each.reserve(n);
    const double start = monotonicSeconds();
    const std::string& expected = documents_['J'];
    unsigned long listener = 0;
    for (unsigned i = 0; i < n; ++i) {
        const char* to = linkAt_ == testbed::kPlatAddress ? kSecondPlatAddress : testbed::kPlatAddress;
        const std::string request = fmt("J p=%s s=%s", to, testbed::kSpAddress);
        bool failed = false;
        const Exchange e = exchangeRenewing(vornTarget(), request, expected, failed);
        if (failed)
            ++b.failures;
        b.each.push_back(e.seconds);
        // The listener that took the last request: the daemon replaces it
        // once it has run the move's commands, milliseconds after its answer.
        if (i + 1 == n && server > 0)
            listener = testbed::listeningInode(server, testbed::kServerPort);
        if (i == 0 && first)
            *first = e;
        if (i + 1 == n && last)
            *last = e;
        linkAt_ = to;
    }
    b.seconds = monotonicSeconds() - start;
    // The next request, whatever it is, finds the renewed listener.
    if (server > 0)
        waitUntil(
            [&] {
                const unsigned long now = testbed::listeningInode(server, testbed::kServerPort);
                return now != 0 && now != listener;
            },
            Millis{10000});
    const auto cpuAfter = server > 0 ? cpuOf(server) : std::nullopt;
    if (cpuSeconds)
        *cpuSeconds = cpuBefore && cpuAfter ? static_cast<double>(cpuAfter->onCpuNs - cpuBefore->onCpuNs) * 1e-9 : NAN;
    return b;
}

void Bench::startReferences(Board& board)
{
    // The host link's second address, to which 'J' moves the link and back.
    board.run(std::string("ip addr add ") + kSecondPlatAddress + "/24 dev " + testbed::kHostLinkIf);
    const std::string floorDir = std::string(kRunDir) + "/floor";
    const std::string inetdDir = std::string(kRunDir) + "/inetd";
    ::mkdir(floorDir.c_str(), 0755);
    ::mkdir(inetdDir.c_str(), 0755);

    // The daemon's own answers become the references' answers. 'J' moves
    // the link to the second address and back, which also shows that its
    // answer is the same whichever way it moves it.
    for (const Letter& l : letters()) {
        Exchange e;
        if (l.movesLink) {
            Exchange back;
            linkBatch(2, pids_.server, &e, &back);
            if (e.ok && back.bytes != e.bytes)
                throw std::runtime_error("the daemon's answers to 'J' differ with the address");
        } else {
            e = exchangeOnce(vornTarget(), l.request);
        }
        if (!e.ok)
            throw std::runtime_error(fmt("the daemon did not answer '%c'", l.letter));
        documents_[l.letter] = e.bytes;
        writeText(fmt("%s/%02x", floorDir.c_str(), static_cast<unsigned>(l.letter)), e.bytes);
        writeText(fmt("%s/%02x.sh", inetdDir.c_str(), static_cast<unsigned>(l.letter)), printingScript(e.bytes), 0755);
    }

    floor_ = Child::spawn({VORN_BENCH_FLOOR_FILE, testbed::kPlatAddress, std::to_string(kFloorPort), floorDir},
                          std::string(kRunDir) + "/floor.log");
    floorUnix_ =
        Child::spawn({VORN_BENCH_FLOOR_FILE, "unix", kFloorSocket, floorDir}, std::string(kRunDir) + "/floor.log");
    // Every letter's own floor, in one server: the plain floor plus the
    // letter's work, on the simulated drivers as the daemon is.
    std::vector<std::string> ownFloorArgs = {VORN_BENCH_FLOOR_FILE, testbed::kPlatAddress,
                                             std::to_string(kOwnFloorPort), floorDir};
    for (const Letter& l : letters())
        for (const std::string& step : l.floorWork)
            ownFloorArgs.push_back(fmt("%c=%s", l.letter, step.c_str()));
    ownFloor_ = Child::spawn(ownFloorArgs, std::string(kRunDir) + "/floor.log",
                             {std::string("LD_PRELOAD=") + VORN_BENCH_SIMDRV_FILE});

    const std::string socat = which("socat");
    if (socat.empty())
        throw std::runtime_error("socat is not installed (bench/run installs it)");
    for (std::size_t i = 0; i < letters().size(); ++i) {
        const auto port = static_cast<std::uint16_t>(kInetdPortBase + i);
        inetd_.push_back(
            Child::spawn({socat, fmt("TCP4-LISTEN:%u,bind=%s,reuseaddr,fork,backlog=5", port, testbed::kPlatAddress),
                          fmt("EXEC:%s/%02x.sh", inetdDir.c_str(), static_cast<unsigned>(letters()[i].letter))},
                         std::string(kRunDir) + "/socat.log"));
    }

    const std::string qemuGa = which("qemu-ga");
    if (qemuGa.empty()) {
        qgaWhy_ = "qemu-ga is not installed";
    } else {
        const std::string state = std::string(kRunDir) + "/qga-state";
        ::mkdir(state.c_str(), 0755);
        qga_ = Child::spawn({qemuGa, "-m", "unix-listen", "-p", kQgaSocket, "-t", state},
                            std::string(kRunDir) + "/qga.log");
    }

    // Ready, and answering as the daemon does.
    const bool floorUp = waitUntil([&] { return exchangeOnce(tcpTarget(kFloorPort), "v").ok; }, Millis{5000});
    if (!floorUp || !waitUntil([&] { return exchangeOnce(floorUnixTarget(), "v").ok; }, Millis{5000}) ||
        !waitUntil([&] { return exchangeOnce(tcpTarget(kOwnFloorPort), "v").ok; }, Millis{5000}))
        throw std::runtime_error("the floor server does not answer");
    for (std::size_t i = 0; i < letters().size(); ++i) {
        const Letter& l = letters()[i];
        const auto floorAnswer = exchangeOnce(tcpTarget(kFloorPort), l.request);
        Exchange inetdAnswer;
        waitUntil(
            [&] {
                inetdAnswer = exchangeOnce(tcpTarget(static_cast<std::uint16_t>(kInetdPortBase + i)), l.request);
                return inetdAnswer.ok && inetdAnswer.bytes == documents_[l.letter];
            },
            Millis{5000});
        bool failed = false;
        if (floorAnswer.bytes != documents_[l.letter] ||
            exchangeRenewing(tcpTarget(kOwnFloorPort), l.request, documents_[l.letter], failed).bytes !=
                documents_[l.letter])
            throw std::runtime_error(fmt("the floor's answer to '%c' differs from the daemon's", l.letter));
        if (inetdAnswer.bytes != documents_[l.letter])
            throw std::runtime_error(fmt("the inetd-style answer to '%c' differs from the daemon's (%zu bytes, %zu "
                                         "expected); socat's log: ",
                                         l.letter, inetdAnswer.bytes.size(), documents_[l.letter].size()) +
                                     readText(std::string(kRunDir) + "/socat.log").value_or(""));
    }
    if (qga_.pid() > 0) {
        Exchange e;
        waitUntil(
            [&] {
                e = exchangeOnce(qgaTarget(), qgaRequest("guest-get-time"));
                return e.ok;
            },
            Millis{5000});
        if (!e.ok || e.bytes.rfind("{\"return\"", 0) != 0) {
            qgaWhy_ = "qemu-ga did not answer on its UNIX socket: " +
                      readText(std::string(kRunDir) + "/qga.log").value_or("");
            qga_.stop();
        }
    }
    referencesUp_ = true;
}

void Bench::roundTrips()
{
    gSection = 1;
    const unsigned rounds = n(7, 2);
    const unsigned pairs = n(30, 6);
    const unsigned perBatch = n(25, 25);
    const unsigned nInetd = n(20, 5);
    // The letters that run a program cost milliseconds a request.
    const unsigned programPairs = n(10, 3);
    const unsigned programPerBatch = n(10, 5);
    say("1. round trip and throughput: %u rounds; per letter and round %u batches of %u requests (%u of %u for the "
        "letters that run a program) to vorn, the floor, the letter's own floor and qemu-ga, back to back, and %u to "
        "the inetd-style agent\n",
        rounds, pairs, perBatch, programPairs, programPerBatch, nInetd);

    runs_.clear();
    for (const Letter& l : letters()) {
        LetterRun r{l, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}};
        r.vorn.available = r.floor.available = r.inetd.available = true;
        r.own.available = true;
        r.qga.available = l.qga != nullptr && qga_.pid() > 0;
        r.qga.why = l.qga == nullptr ? "no equivalent query" : qgaWhy_;
        r.floorUnix.available = r.qga.available;
        runs_.push_back(r);
    }
    const Target floor = tcpTarget(kFloorPort);
    const Target own = tcpTarget(kOwnFloorPort);
    for (unsigned round = 0; round < rounds; ++round) {
        for (std::size_t i = 0; i < runs_.size(); ++i) {
            LetterRun& r = runs_[i];
            const std::string& req = r.letter.request;
            const std::string qreq = r.letter.qga ? qgaRequest(r.letter.qga) : std::string();
            const unsigned letterPairs = r.letter.runsProgram ? programPairs : pairs;
            const unsigned batch = r.letter.runsProgram ? programPerBatch : perBatch;
            auto vornBatch = [&](double& cpu) {
                if (r.letter.movesLink)
                    return linkBatch(batch, pids_.server, nullptr, nullptr, &cpu);
                return timedBatch(vornTarget(), req, batch, pids_.server, cpu);
            };
            // The own floor of 'J' renews its listener after each answer.
            auto ownBatch = [&](double& cpu) {
                if (r.letter.movesLink)
                    return renewingBatch(own, req, documents_[r.letter.letter], batch, ownFloor_.pid(), cpu);
                return timedBatch(own, req, batch, ownFloor_.pid(), cpu);
            };
            for (unsigned p = 0; p < letterPairs; ++p) {
                // Each renewal of a listener binds its port again, and the
                // kernel then walks every TIME_WAIT socket left on that
                // port by the last 60 s of requests (the server closes
                // first): milliseconds after the other letters, as many as
                // they happened to leave on each server's port. 'J' is
                // measured as on a host whose SP asks now and then: each
                // pair starts with no TIME_WAIT socket on either port.
                if (r.letter.movesLink)
                    dropTimeWait({testbed::kServerPort, kOwnFloorPort});
                // The order alternates, so that a change of the machine's
                // speed within a pair favours neither.
                double cpuV = 0;
                double cpuF = 0;
                double cpuQ = 0;
                double cpuO = 0;
                Batch bv;
                Batch bf;
                Batch bo;
                if (p % 2 == 0) {
                    bv = vornBatch(cpuV);
                    bo = ownBatch(cpuO);
                    bf = timedBatch(floor, req, batch, floor_.pid(), cpuF);
                } else {
                    bf = timedBatch(floor, req, batch, floor_.pid(), cpuF);
                    bo = ownBatch(cpuO);
                    bv = vornBatch(cpuV);
                }
                r.vorn.add(bv, batch, cpuV);
                r.floor.add(bf, batch, cpuF);
                r.own.add(bo, batch, cpuO);
                vornRequests_ += batch;
                r.toFloor.add(bv, bf);
                r.toOwn.add(bv, bo);
                if (r.qga.available) {
                    const Batch bq = timedBatch(qgaTarget(), qreq, batch, qga_.pid(), cpuQ);
                    r.qga.add(bq, batch, cpuQ);
                    qgaRequests_ += batch;
                    r.toQga.add(bv, bq);
                    double cpuU = 0;
                    const Batch bu = timedBatch(floorUnixTarget(), req, batch, floorUnix_.pid(), cpuU);
                    r.floorUnix.add(bu, batch, cpuU);
                    const double vornQuery = summarize(bv.each).median - summarize(bf.each).median;
                    const double qgaQuery = summarize(bq.each).median - summarize(bu.each).median;
                    r.queryCostPairs.push_back(qgaQuery / vornQuery);
                    r.vornQueryUs.push_back(vornQuery * 1e6);
                    r.qgaQueryUs.push_back(qgaQuery * 1e6);
                }
            }
            double unused = 0;
            const Batch bi =
                timedBatch(tcpTarget(static_cast<std::uint16_t>(kInetdPortBase + i)), req, nInetd, 0, unused);
            r.inetd.add(bi, nInetd, NAN);
            r.vorn.endRound();
            r.floor.endRound();
            r.inetd.endRound();
            r.qga.endRound();
            r.floorUnix.endRound();
            r.own.endRound();
            r.toInetd.pairs.push_back(r.inetd.roundSecondsPerRequest.back() / r.vorn.roundSecondsPerRequest.back());
            {
                const auto roundCount = static_cast<std::ptrdiff_t>(letterPairs) * static_cast<std::ptrdiff_t>(batch);
                const std::vector<double> vornRound(r.vorn.latencies.end() - roundCount, r.vorn.latencies.end());
                r.toInetd.medianPairs.push_back(summarize(bi.each).median / summarize(vornRound).median);
            }
            r.toFloor.endRound();
            r.toInetd.endRound();
            r.toQga.endRound();
            r.toOwn.endRound();
            if (!r.queryCostPairs.empty())
                r.queryCostRounds.push_back(summarize(r.queryCostPairs).median);
            r.queryCostPairs.clear();
        }
        say("   round %u/%u done\n", round + 1, rounds);
    }

    Json section = Json::object();
    row("1. Round trip and throughput: one connection per request from the SP's address, sequential, %u rounds.",
        rounds);
    row("   req/s: requests over the batches' wall time, median over rounds. Ratios are throughput ratios, vorn over "
        "the reference (>1: vorn faster),");
    row("   from the median round trips of %u pairs of batches of %u (%u of %u for the letters that run a program) run "
        "back to back (so that requests delayed by other work on the machine",
        pairs, perBatch, programPairs, programPerBatch);
    row("   count for neither): median over rounds (min-max). CPU: the server process's on-CPU time per request.");
    row("%-4s %-14s %8s %8s %8s %8s %8s %8s %7s %7s %17s %14s %17s", "", "", "vorn", "vorn", "floor", "inetd",
        "qemu-ga", "vorn", "floor", "qemu-ga", "vorn/floor", "vorn/inetd", "vorn/qemu-ga");
    row("%-4s %-14s %8s %8s %8s %8s %8s %8s %7s %7s", "cmd", "", "p50 us", "req/s", "req/s", "req/s", "req/s", "CPU us",
        "CPU us", "CPU us");
    for (const LetterRun& r : runs_) {
        auto perSecond = [](const Series& s) {
            return s.available && !s.roundSecondsPerRequest.empty() ? fmt("%.0f", perSecondMedian(s))
                                                                    : std::string("-");
        };
        auto cpu = [](const Series& s) {
            return s.available && !s.roundCpuPerRequest.empty() ? fmt("%.1f", cpuUsMedian(s)) : std::string("-");
        };
        const Summary toFloor = summarize(r.toFloor.medianRounds);
        const Summary toInetd = summarize(r.toInetd.medianRounds);
        const Summary toQga = summarize(r.toQga.medianRounds);
        row("'%c'  %-14s %8.1f %8s %8s %8s %8s %8s %7s %7s %17s %14s %17s", r.letter.letter, r.letter.what,
            quantile(r.vorn.latencies, 0.5) * 1e6, perSecond(r.vorn).c_str(), perSecond(r.floor).c_str(),
            perSecond(r.inetd).c_str(), perSecond(r.qga).c_str(), cpu(r.vorn).c_str(), cpu(r.floor).c_str(),
            cpu(r.qga).c_str(), ratioText(toFloor).c_str(), ratioText(toInetd).c_str(), ratioText(toQga).c_str());
        const unsigned failures =
            r.vorn.failures + r.floor.failures + r.own.failures + r.inetd.failures + r.qga.failures;
        if (failures > 0)
            row("     (%u failed exchanges: vorn %u, floor %u, own floor %u, inetd %u, qemu-ga %u)", failures,
                r.vorn.failures, r.floor.failures, r.own.failures, r.inetd.failures, r.qga.failures);

        Json j = Json::object();
        j["request"] = r.letter.request;
        j["answer_bytes"] = static_cast<unsigned long>(documents_[r.letter.letter].size());
        j["vorn"] = seriesJson(r.vorn);
        j["floor"] = seriesJson(r.floor);
        j["inetd"] = seriesJson(r.inetd);
        Json q = seriesJson(r.qga);
        if (r.letter.qga)
            q["command"] = r.letter.qga;
        j["qemu_ga"] = q;
        j["floor_unix"] = seriesJson(r.floorUnix);
        if (r.floorUnix.available) {
            Json q2 = Json::object();
            q2["vorn_us_median"] = summarize(r.vornQueryUs).median;
            q2["qemu_ga_us_median"] = summarize(r.qgaQueryUs).median;
            q2["ratio_qemu_ga_over_vorn"] = summaryJson(summarize(r.queryCostRounds));
            q2["note"] = "round trip less the floor's round trip over the same transport (TCP for vorn, UNIX for "
                         "qemu-ga), from the median round trips of batches run back to back";
            j["query_cost"] = q2;
        }
        j["ratio_vorn_floor"] = ratioJson(r.toFloor);
        j["ratio_vorn_inetd"] = ratioJson(r.toInetd);
        j["ratio_vorn_qemu_ga"] = ratioJson(r.toQga);
        j["own_floor"] = seriesJson(r.own);
        Json work = Json::array();
        for (const std::string& step : r.letter.floorWork)
            work.push_back(step);
        j["own_floor"]["work"] = work;
        j["ratio_vorn_own_floor"] = ratioJson(r.toOwn);
        section[std::string(1, r.letter.letter)] = j;
    }
    if (!qgaWhy_.empty())
        row("     qemu-ga unavailable: %s", qgaWhy_.c_str());
    row("   qemu-ga answers on a UNIX socket (it has no TCP listener), vorn and the others over TCP. The same floor "
        "over a UNIX socket:");
    for (const LetterRun& r : runs_) {
        if (!r.floorUnix.available)
            continue;
        row("   '%c': floor over UNIX %.0f req/s, %.1f CPU us (over TCP %.0f req/s, %.1f CPU us). The query's own cost "
            "(round trip less the floor's",
            r.letter.letter, perSecondMedian(r.floorUnix), cpuUsMedian(r.floorUnix), perSecondMedian(r.floor),
            cpuUsMedian(r.floor));
        row("        over the same transport): vorn %.1f us, qemu-ga %.1f us; qemu-ga/vorn %s",
            summarize(r.vornQueryUs).median, summarize(r.qgaQueryUs).median,
            ratioText(summarize(r.queryCostRounds)).c_str());
    }
    row("   Each letter against its own floor: the floor server plus the same kernel work done the plainest way in C "
        "(the files read, the device");
    row("   opened and its requests, the interface list and its tables, the same command lines run through the "
        "shell; after: once the answer is out).");
    row("%-4s %-16s %8s %8s %17s  %s", "cmd", "", "req/s", "CPU us", "vorn/own floor", "the own floor's work");
    for (const LetterRun& r : runs_) {
        std::string work;
        for (const std::string& step : r.letter.floorWork)
            work += (work.empty() ? "" : ", ") + step;
        if (work.empty())
            work = "none: the plain floor";
        if (work.size() > 100)
            work = work.substr(0, 97) + "...";
        row("'%c'  %-16s %8.0f %8.1f %17s  %s", r.letter.letter, r.letter.what, perSecondMedian(r.own),
            cpuUsMedian(r.own), ratioText(summarize(r.toOwn.medianRounds)).c_str(), work.c_str());
    }
    json_["round_trip"] = section;
}

// The simulated drivers are preloaded into the daemon and look at every
// open it makes and at every ioctl that is not a socket request; a real
// driver adds nothing in user space. 'e' uses no driver: here it runs on a
// daemon started without the preload, as on a host (its monitors end at
// their first driver request), beside qemu-ga.
void Bench::withoutPreload(Board& board)
{
    gSection = 1;
    say("1. 'e' on a daemon without the simulated drivers' preload\n");
    // The daemon's own processes only: the references stay.
    for (const pid_t pid : {pids_.server, pids_.mc, pids_.hb}) {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    ::unlink("/var/run/vorn.pid");
    waitUntil([&] { return !testbed::listensOn(pids_.server, testbed::kServerPort); }, Millis{5000});
    Child launcher = Child::spawn({VORN_BENCH_DAEMON_FILE}, std::string(kRunDir) + "/daemon-no-preload.out");
    pid_t server = 0;
    if (!waitUntil(
            [&] {
                server = board.daemonPid();
                return server > 0 && testbed::listensOn(server, testbed::kServerPort);
            },
            Millis{10000})) {
        row("   'e' without the preload: the daemon did not start");
        return;
    }
    const unsigned rounds = n(7, 2);
    const unsigned pairs = n(10, 3);
    const unsigned perBatch = n(100, 50);
    Series e;
    Series v;
    Series q;
    RatioSeries toQga;
    RatioSeries toV;
    e.available = v.available = true;
    q.available = qga_.pid() > 0;
    const Target vorn = vornTarget();
    for (unsigned round = 0; round < rounds; ++round) {
        for (unsigned p = 0; p < pairs; ++p) {
            double cpuE = 0;
            double cpuV = 0;
            double cpuQ = 0;
            const Batch be = timedBatch(vorn, "e", perBatch, server, cpuE);
            const Batch bv = timedBatch(vorn, "v", perBatch, server, cpuV);
            e.add(be, perBatch, cpuE);
            v.add(bv, perBatch, cpuV);
            toV.add(be, bv);
            if (q.available) {
                const Batch bq =
                    timedBatch(qgaTarget(), qgaRequest("guest-network-get-interfaces"), perBatch, qga_.pid(), cpuQ);
                q.add(bq, perBatch, cpuQ);
                toQga.add(be, bq);
            }
        }
        e.endRound();
        v.endRound();
        q.endRound();
        toQga.endRound();
        toV.endRound();
    }
    ::kill(server, SIGKILL);
    const Summary ratio = summarize(toQga.medianRounds);
    eWithoutPreload_ = ratio;
    row("   'e' on a daemon without the simulated drivers' preload: %.0f req/s, %.1f CPU us ('v' %.0f req/s, %.1f CPU "
        "us); qemu-ga %.0f req/s, %.1f CPU us; vorn/qemu-ga %s",
        perSecondMedian(e), cpuUsMedian(e), perSecondMedian(v), cpuUsMedian(v), q.available ? perSecondMedian(q) : NAN,
        q.available ? cpuUsMedian(q) : NAN, ratioText(ratio).c_str());
    Json j = Json::object();
    j["vorn_e"] = seriesJson(e);
    j["vorn_v"] = seriesJson(v);
    j["qemu_ga"] = seriesJson(q);
    j["ratio_vorn_qemu_ga"] = ratioJson(toQga);
    j["ratio_e_over_v"] = ratioJson(toV);
    json_["round_trip_e_without_preload"] = j;
}

} // namespace bench
