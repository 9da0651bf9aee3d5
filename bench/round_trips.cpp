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

void Bench::startReferences()
{
    const std::string floorDir = std::string(kRunDir) + "/floor";
    const std::string inetdDir = std::string(kRunDir) + "/inetd";
    ::mkdir(floorDir.c_str(), 0755);
    ::mkdir(inetdDir.c_str(), 0755);

    // The daemon's own answers become the references' answers.
    for (const Letter& l : letters()) {
        const Exchange e = exchangeOnce(tcpTarget(testbed::kServerPort), l.request);
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
    std::vector<std::string> floorFileArgs = {VORN_BENCH_FLOOR_FILE, testbed::kPlatAddress,
                                              std::to_string(kFloorFilePort), floorDir};
    for (const Letter& l : letters())
        if (l.readsFile)
            floorFileArgs.push_back(fmt("%c=%s", l.letter, l.readsFile));
    floorFile_ = Child::spawn(floorFileArgs, std::string(kRunDir) + "/floor.log");

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
        !waitUntil([&] { return exchangeOnce(tcpTarget(kFloorFilePort), "v").ok; }, Millis{5000}))
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
        if (floorAnswer.bytes != documents_[l.letter] ||
            (l.readsFile && exchangeOnce(tcpTarget(kFloorFilePort), l.request).bytes != documents_[l.letter]))
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
    say("1. round trip and throughput: %u rounds; per letter and round %u batches of %u requests to vorn, the "
        "floor and qemu-ga, back to back, and %u to the inetd-style agent\n",
        rounds, pairs, perBatch, nInetd);

    runs_.clear();
    for (const Letter& l : letters()) {
        LetterRun r{l, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}};
        r.vorn.available = r.floor.available = r.inetd.available = true;
        r.floorFile.available = l.readsFile != nullptr;
        r.qga.available = l.qga != nullptr && qga_.pid() > 0;
        r.qga.why = l.qga == nullptr ? "no equivalent query" : qgaWhy_;
        r.floorUnix.available = r.qga.available;
        runs_.push_back(r);
    }
    const Target vorn = tcpTarget(testbed::kServerPort);
    const Target floor = tcpTarget(kFloorPort);
    for (unsigned round = 0; round < rounds; ++round) {
        for (std::size_t i = 0; i < runs_.size(); ++i) {
            LetterRun& r = runs_[i];
            const std::string& req = r.letter.request;
            const std::string qreq = r.letter.qga ? qgaRequest(r.letter.qga) : std::string();
            for (unsigned p = 0; p < pairs; ++p) {
                // The order alternates, so that a change of the machine's
                // speed within a pair favours neither.
                double cpuV = 0;
                double cpuF = 0;
                double cpuQ = 0;
                Batch bv;
                Batch bf;
                if (p % 2 == 0) {
                    bv = timedBatch(vorn, req, perBatch, pids_.server, cpuV);
                    bf = timedBatch(floor, req, perBatch, floor_.pid(), cpuF);
                } else {
                    bf = timedBatch(floor, req, perBatch, floor_.pid(), cpuF);
                    bv = timedBatch(vorn, req, perBatch, pids_.server, cpuV);
                }
                r.vorn.add(bv, perBatch, cpuV);
                r.floor.add(bf, perBatch, cpuF);
                vornRequests_ += perBatch;
                r.toFloor.add(bv, bf);
                if (r.floorFile.available) {
                    double cpuFF = 0;
                    const Batch bff = timedBatch(tcpTarget(kFloorFilePort), req, perBatch, floorFile_.pid(), cpuFF);
                    r.floorFile.add(bff, perBatch, cpuFF);
                    r.toFloorFile.add(bv, bff);
                }
                if (r.qga.available) {
                    const Batch bq = timedBatch(qgaTarget(), qreq, perBatch, qga_.pid(), cpuQ);
                    r.qga.add(bq, perBatch, cpuQ);
                    qgaRequests_ += perBatch;
                    r.toQga.add(bv, bq);
                    double cpuU = 0;
                    const Batch bu = timedBatch(floorUnixTarget(), req, perBatch, floorUnix_.pid(), cpuU);
                    r.floorUnix.add(bu, perBatch, cpuU);
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
            r.floorFile.endRound();
            r.toInetd.pairs.push_back(r.inetd.roundSecondsPerRequest.back() / r.vorn.roundSecondsPerRequest.back());
            {
                const auto roundCount = static_cast<std::ptrdiff_t>(pairs) * static_cast<std::ptrdiff_t>(perBatch);
                const std::vector<double> vornRound(r.vorn.latencies.end() - roundCount, r.vorn.latencies.end());
                r.toInetd.medianPairs.push_back(summarize(bi.each).median / summarize(vornRound).median);
            }
            r.toFloor.endRound();
            r.toInetd.endRound();
            r.toQga.endRound();
            r.toFloorFile.endRound();
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
    row("   from the median round trips of %u pairs of batches of %u run back to back (so that requests delayed by "
        "other work on the machine",
        pairs, perBatch);
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
        const unsigned failures = r.vorn.failures + r.floor.failures + r.inetd.failures + r.qga.failures;
        if (failures > 0)
            row("     (%u failed exchanges: vorn %u, floor %u, inetd %u, qemu-ga %u)", failures, r.vorn.failures,
                r.floor.failures, r.inetd.failures, r.qga.failures);

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
        if (r.floorFile.available) {
            j["floor_reading_file"] = seriesJson(r.floorFile);
            j["floor_reading_file"]["file"] = r.letter.readsFile;
            j["ratio_vorn_floor_reading_file"] = ratioJson(r.toFloorFile);
        }
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
    for (const LetterRun& r : runs_) {
        if (!r.floorFile.available)
            continue;
        row("   '%c' answers from %s as it is at the request, so it opens and reads the file every time. The floor "
            "that "
            "also opens, reads",
            r.letter.letter, r.letter.readsFile);
        row("        and closes it per request: %.0f req/s, %.1f CPU us (the plain floor %.0f req/s, %.1f CPU us); "
            "vorn/that floor %s",
            perSecondMedian(r.floorFile), cpuUsMedian(r.floorFile), perSecondMedian(r.floor), cpuUsMedian(r.floor),
            ratioText(summarize(r.toFloorFile.medianRounds)).c_str());
    }
    json_["round_trip"] = section;
}

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
    const Target vorn = tcpTarget(testbed::kServerPort);
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
