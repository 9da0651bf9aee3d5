// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Section 7: the goals, met or not, from the figures of the other sections.
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

void Bench::goals()
{
    gSection = 8;
    Json g = Json::array();
    row("8. Goals");
    auto verdict = [&](const std::string& goal, const std::string& measured, bool met) {
        row("   [%s] %s: %s", met ? "met    " : "NOT MET", goal.c_str(), measured.c_str());
        Json j = Json::object();
        j["goal"] = goal;
        j["measured"] = measured;
        j["met"] = met;
        g.push_back(j);
    };
    // The letters whose work is a few system calls: no table of the host to
    // read ('c', 'C', 'e' and 'L' read /proc/cpuinfo, the driver, the
    // kernel's network tables or four inventory files).
    for (const LetterRun& r : runs_) {
        if (std::string("vTHd").find(r.letter.letter) == std::string::npos)
            continue;
        const Summary s = summarize(r.toFloor.medianRounds);
        verdict(fmt("'%c' throughput within 10%% of the floor", r.letter.letter),
                fmt("vorn/floor %s", ratioText(s).c_str()), s.median >= 0.9);
    }
    // Every letter against its own floor: the same kernel work, done the
    // plainest way (when section 1 ran).
    if (!runs_.empty()) {
        std::string below;
        std::string all;
        bool met = !runs_.empty();
        for (const LetterRun& r : runs_) {
            const Summary o = summarize(r.toOwn.medianRounds);
            all += fmt("%s'%c' %.2f", all.empty() ? "" : ", ", r.letter.letter, o.median);
            if (!(o.median >= 0.9)) {
                met = false;
                below += fmt("%s'%c'", below.empty() ? "" : ", ", r.letter.letter);
            }
        }
        verdict("every letter at least 0.9 of its own floor's throughput",
                "vorn/own floor " + all + (below.empty() ? "" : "; below: " + below), met);
    }
    for (const LetterRun& r : runs_) {
        if (r.letter.letter != 'e' || !r.qga.available)
            continue;
        const Summary s = summarize(r.toQga.medianRounds);
        const Summary q = summarize(r.queryCostRounds);
        verdict("'e' at least twice as fast as qemu-ga's interface query, whole requests",
                fmt("throughput vorn/qemu-ga %s (vorn over TCP with the simulated drivers preloaded, qemu-ga over "
                    "UNIX); on a daemon without the preload %s",
                    ratioText(s).c_str(), ratioText(eWithoutPreload_).c_str()),
                s.median >= 2.0);
        verdict("  the same for the query's own cost (round trip less the floor's over the same transport)",
                fmt("qemu-ga/vorn %s", ratioText(q).c_str()), q.median >= 2.0);
    }
    if (!growthExponents_.empty()) {
        std::string text;
        bool met = true;
        for (const auto& [what, k] : growthExponents_) {
            text += fmt("%s%s %.2f", text.empty() ? "" : ", ", what.c_str(), k);
            met = met && std::isfinite(k) && k <= 1.15; // 1 and what the machine's noise adds
        }
        verdict("time per request growing no worse than linearly with the host's size",
                "growth exponents of the last step (1: linear): " + text, met);
    }
    if (vornMemoryAfter_) {
        const Memory& m = *vornMemoryAfter_;
        verdict("combined PSS of the three processes under 2 MiB",
                fmt("%lu KiB after %lu requests (%lu KiB without the simulated drivers)",
                    static_cast<unsigned long>(m.pssKb), vornRequests_,
                    static_cast<unsigned long>(m.pssKb - m.pssExcludedKb)),
                m.pssKb < 2048);
    }
    if (std::isfinite(startFloorRatio_))
        verdict(
            "start-up at least 0.9 of its own floor (floor's time over vorn's, starts in pairs)",
            fmt("fake ifconfig %.2f (vorn %.2f ms, floor %.2f ms)", startFloorRatio_, startAnswerMs_, startFloorMs_) +
                (std::isfinite(startRealFloorRatio_) ? fmt("; real ifconfig %.2f (vorn %.2f ms, floor %.2f ms)",
                                                           startRealFloorRatio_, startRealAnswerMs_, startRealFloorMs_)
                                                     : std::string()),
            startFloorRatio_ >= 0.9 && (!std::isfinite(startRealFloorRatio_) || startRealFloorRatio_ >= 0.9));
    if (std::isfinite(startAnswerMs_) && std::isfinite(startQgaMs_)) {
        // When the required work alone takes longer than qemu-ga's start,
        // the goal applies to what vorn spends beyond that work.
        const bool workAlone = std::isfinite(startFloorMs_) && startFloorMs_ >= startQgaMs_;
        if (!workAlone)
            verdict("from exec to the first answer faster than qemu-ga",
                    fmt("vorn %.2f ms, qemu-ga %.2f ms (medians)", startAnswerMs_, startQgaMs_),
                    startAnswerMs_ < startQgaMs_);
        else
            verdict("from exec to the first answer faster than qemu-ga, beyond the required work (whose floor "
                    "alone takes longer than qemu-ga's start)",
                    fmt("vorn %.2f ms less its floor's %.2f ms = %.2f ms; qemu-ga %.2f ms (medians)", startAnswerMs_,
                        startFloorMs_, startBeyondFloorMs_, startQgaMs_),
                    startBeyondFloorMs_ < startQgaMs_);
    }
    json_["goals"] = g;
}

} // namespace bench
