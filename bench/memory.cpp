// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Section 3: the memory of the three processes after start and after many
// requests, beside qemu-ga's.
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

std::vector<MemoryRow> Bench::memory(const char* when, Json& into)
{
    std::vector<MemoryRow> rows = memoryRows(pids_, qga_.pid());
    Json j = Json::object();
    Memory sum;
    for (const MemoryRow& r : rows) {
        j[r.name] = memoryJson(r.m);
        if (r.name != "qemu-ga") {
            sum.rssKb += r.m.rssKb;
            sum.pssKb += r.m.pssKb;
            sum.pssAnonKb += r.m.pssAnonKb;
            sum.pssFileKb += r.m.pssFileKb;
            sum.privateKb += r.m.privateKb;
            sum.pssExcludedKb += r.m.pssExcludedKb;
        }
    }
    j["vorn_total"] = memoryJson(sum);
    vornMemoryAfter_ = sum;
    j["vorn_footprint_kib"] = static_cast<unsigned long>(footprintKb(pids_));
    j["vorn_footprint_note"] = "resident page frames of the three processes, each counted once, without the "
                               "simulated drivers' mappings";
    into[when] = j;
    rows.push_back({"vorn (3 procs)", sum});
    return rows;
}

void Bench::memoryTable(const std::vector<MemoryRow>& atStart, const std::vector<MemoryRow>& after,
                        std::uint64_t footprintStart, std::uint64_t footprintAfter)
{
    gSection = 3;
    row("3. Memory (smaps_rollup, KiB): after start | after %lu requests (qemu-ga: after %lu requests).", vornRequests_,
        qgaRequests_);
    row("   PSS-sim: PSS without the simulated drivers' library and state, which only the test board preloads.");
    row("%-16s %7s %7s %7s %7s %7s | %7s %7s %7s %7s %7s", "process", "RSS", "PSS", "PSS-sim", "PSSanon", "USS", "RSS",
        "PSS", "PSS-sim", "PSSanon", "USS");
    for (const MemoryRow& a : atStart) {
        const auto b = std::find_if(after.begin(), after.end(), [&](const MemoryRow& r) { return r.name == a.name; });
        const Memory m = b != after.end() ? b->m : Memory{};
        row("%-16s %7lu %7lu %7lu %7lu %7lu | %7lu %7lu %7lu %7lu %7lu", a.name.c_str(), a.m.rssKb, a.m.pssKb,
            a.m.pssKb - a.m.pssExcludedKb, a.m.pssAnonKb, a.m.privateKb, m.rssKb, m.pssKb, m.pssKb - m.pssExcludedKb,
            m.pssAnonKb, m.privateKb);
    }
    row("   The three processes' resident pages, each counted once (what they hold if no other process shares a "
        "library): %lu KiB | %lu KiB",
        static_cast<unsigned long>(footprintStart), static_cast<unsigned long>(footprintAfter));
}

void Bench::topUp()
{
    const unsigned long target = n(100000, 5000);
    const unsigned long startCount = vornRequests_;
    say("3. memory: %lu more requests to reach %lu\n", target > startCount ? target - startCount : 0, target);
    // Every letter, in chunks of 500; the letters that run a program, which
    // cost milliseconds, in chunks of 20.
    while (vornRequests_ < target) {
        for (const Letter& l : letters()) {
            const unsigned chunk =
                static_cast<unsigned>(std::min<unsigned long>(l.runsProgram ? 20 : 500, target - vornRequests_));
            if (chunk == 0)
                break;
            if (l.movesLink)
                linkBatch(chunk, pids_.server);
            else
                runBatch(vornTarget(), l.request, chunk);
            vornRequests_ += chunk;
        }
    }
    // qemu-ga gets as many of its three queries.
    if (qga_.pid() > 0) {
        const unsigned long qgaCount = n(100000, 5000);
        while (qgaRequests_ < qgaCount) {
            for (const char* command : {"guest-get-time", "guest-get-host-name", "guest-network-get-interfaces"}) {
                const unsigned chunk = static_cast<unsigned>(std::min<unsigned long>(500, qgaCount - qgaRequests_));
                if (chunk == 0)
                    break;
                runBatch(qgaTarget(), qgaRequest(command), chunk);
                qgaRequests_ += chunk;
            }
        }
    }
}

} // namespace bench
