// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Section 2: user-space instructions per request, counted by callgrind.
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
#include "callgrind.h"

namespace bench {

void Bench::callgrind(Board& board)
{
    gSection = 2;
    say("2. instructions per request (callgrind)\n");
    Json section = Json::object();
    const std::string valgrind = which("valgrind");
    if (valgrind.empty()) {
        row("2. Instructions per request: valgrind is not installed");
        section["available"] = false;
        json_["instructions"] = section;
        return;
    }
    board.stopDaemon();
    const std::string outDir = std::string(kRunDir) + "/callgrind";
    ::mkdir(outDir.c_str(), 0755);
    // The profile is dumped each time handleRequest returns: a dump holds
    // everything the request server did since the previous request ended,
    // the accept and the peer check included (it does nothing in between).
    Child launcher = Child::spawn(
        {valgrind, "--tool=callgrind", "--callgrind-out-file=" + outDir + "/cg.%p", "--dump-after=vorn::handleRequest*",
         "--log-file=" + outDir + "/valgrind.%p.log", VORN_BENCH_DAEMON_FILE},
        std::string(kRunDir) + "/callgrind.out", {std::string("LD_PRELOAD=") + VORN_BENCH_SIMDRV_FILE});
    pid_t server = 0;
    const bool up = waitUntil(
        [&] {
            server = board.daemonPid();
            return server > 0 && testbed::listensOn(server, testbed::kServerPort);
        },
        Millis{30000});
    if (!up)
        throw std::runtime_error("the daemon under callgrind did not start");
    auto dumps = [&] {
        std::vector<std::string> files;
        const std::string prefix = "cg." + std::to_string(server) + ".";
        if (DIR* d = ::opendir(outDir.c_str())) {
            while (const dirent* ent = ::readdir(d))
                if (std::string(ent->d_name).rfind(prefix, 0) == 0)
                    files.push_back(outDir + "/" + ent->d_name);
            ::closedir(d);
        }
        return files.size();
    };
    const unsigned perLetter = opt_.quick ? 3 : 6;
    row("2. Instructions per request: callgrind on the daemon's request-server process, user-space instructions "
        "(Ir) from one request's");
    row("   end to the next one's (accept, peer check, handler, reply, close); median of %u warm requests; cold: the "
        "letter's first request.",
        perLetter - 1);
    row("   The simulated drivers run in the daemon's process (a real driver's work is in the kernel): "
        "'w/o simdrv' leaves them out.");
    row("%-4s %-15s %14s %14s %14s", "cmd", "", "Ir", "Ir w/o simdrv", "cold Ir");
    // The first dump holds the start-up as well.
    if (!exchangeOnce(tcpTarget(testbed::kServerPort), "v").ok ||
        !waitUntil([&] { return dumps() >= 1; }, Millis{10000}))
        throw std::runtime_error("no callgrind dump");
    std::size_t index = 1;
    for (const Letter& l : letters()) {
        std::vector<double> warm;
        std::vector<double> warmOwn;
        double cold = NAN;
        for (unsigned i = 0; i < perLetter; ++i) {
            // After a 'J' the listener is renewed: a request ('J' or the next
            // letter's) may meet it closed (refused, or reset before it was
            // accepted) and is sent again; only an accepted one reaches the
            // handler and its dump.
            Exchange e = exchangeOnce(tcpTarget(testbed::kServerPort), l.request);
            const auto retryEnd = Clock::now() + Millis{30000};
            while ((!e.ok || e.bytes.empty()) && Clock::now() < retryEnd)
                e = exchangeOnce(tcpTarget(testbed::kServerPort), l.request);
            ++index;
            if (!e.ok || !waitUntil([&] { return dumps() >= index; }, Millis{10000}))
                throw std::runtime_error(fmt("no callgrind dump for '%c'", l.letter));
            // A dump is there as soon as valgrind creates it: read it again
            // until it is whole.
            const std::string path = outDir + "/cg." + std::to_string(server) + "." + std::to_string(index);
            CallgrindCost cost;
            waitUntil(
                [&] {
                    cost = parseCallgrind(readText(path).value_or(""), "vorn_simdrv");
                    return cost.ok;
                },
                Millis{10000});
            if (!cost.ok)
                throw std::runtime_error(fmt("unreadable callgrind dump for '%c'", l.letter));
            if (i == 0) {
                cold = static_cast<double>(cost.total);
                continue;
            }
            warm.push_back(static_cast<double>(cost.total));
            warmOwn.push_back(static_cast<double>(cost.total - cost.excluded));
        }
        const Summary w = summarize(warm);
        const Summary o = summarize(warmOwn);
        row("'%c'  %-15s %14.0f %14.0f %14.0f", l.letter, l.what, w.median, o.median, cold);
        Json j = Json::object();
        j["ir_median"] = w.median;
        j["ir_min"] = w.min;
        j["ir_max"] = w.max;
        j["ir_without_simulated_driver"] = o.median;
        j["ir_cold"] = cold;
        section[std::string(1, l.letter)] = j;
    }
    section["method"] = "valgrind --tool=callgrind on the daemon's request-server process, --dump-after on "
                        "vorn::handleRequest: the instructions from the end of one request to the end of the next";
    json_["instructions"] = section;
    launcher.stop();
}

} // namespace bench
