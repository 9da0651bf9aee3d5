// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Section 4: what the daemon costs while nobody asks it anything.
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

void Bench::idle(Board& board)
{
    gSection = 4;
    const int seconds = opt_.quick ? 10 : 60;
    say("4. idle cost: %d s\n", seconds);
    struct Proc {
        const char* name;
        pid_t pid;
        std::optional<CpuUse> before;
    };
    std::vector<Proc> procs = {
        {"request server", pids_.server, {}}, {"MC monitor", pids_.mc, {}}, {"HB monitor", pids_.hb, {}}};
    if (qga_.pid() > 0)
        procs.push_back({"qemu-ga", qga_.pid(), {}});
    // The floor: a process that only sleeps a second at a time.
    Child sleeper = Child::spawn({VORN_BENCH_FLOOR_FILE, "sleep"}, std::string(kRunDir) + "/floor.log");
    procs.push_back({"floor: 1 s sleeper", sleeper.pid(), {}});
    std::this_thread::sleep_for(Millis{100});
    const auto start = Clock::now();
    for (Proc& p : procs)
        p.before = cpuOf(p.pid);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const auto end = Clock::now();
    const double elapsed = std::chrono::duration<double>(end - start).count();

    Json section = Json::object();
    section["seconds"] = elapsed;
    section["hb_interval_ms"] = 4000;
    section["mc_interval_ms"] = 5000;
    row("4. Idle cost over %.0f s (heartbeat every 4000 ms, MC poll every 5000 ms, slept in slices of <= 1 s)",
        elapsed);
    row("%-20s %12s %12s %12s %16s %16s", "process", "CPU ms", "CPU us/s", "wake-ups/s", "CPU us/wake-up",
        "vol. switches/s");
    double totalMs = 0;
    double totalWakeups = 0;
    for (const Proc& p : procs) {
        const auto after = cpuOf(p.pid);
        if (!p.before || !after)
            continue;
        const double cpuMs = static_cast<double>(after->onCpuNs - p.before->onCpuNs) / 1e6;
        const double wakeups = static_cast<double>(after->timeslices - p.before->timeslices) / elapsed;
        const double voluntary = static_cast<double>(after->voluntarySwitches - p.before->voluntarySwitches) / elapsed;
        row("%-20s %12.3f %12.2f %12.2f %16.1f %16.2f", p.name, cpuMs, cpuMs * 1000 / elapsed, wakeups,
            wakeups > 0 ? cpuMs * 1000 / (wakeups * elapsed) : 0.0, voluntary);
        Json j = Json::object();
        j["cpu_ms"] = cpuMs;
        j["wakeups_per_s"] = wakeups;
        j["voluntary_switches_per_s"] = voluntary;
        section[p.name] = j;
        if (std::string(p.name) != "qemu-ga" && std::string(p.name).rfind("floor", 0) != 0) {
            totalMs += cpuMs;
            totalWakeups += wakeups;
        }
    }
    row("%-20s %12.3f %12.2f %12.2f", "vorn (3 procs)", totalMs, totalMs * 1000 / elapsed, totalWakeups);
    section["vorn_cpu_ms"] = totalMs;
    section["vorn_wakeups_per_s"] = totalWakeups;

    // The heartbeat while idle.
    std::vector<double> gaps;
    Clock::time_point previous{};
    for (const auto& t : board.driver().heartbeats()) {
        if (t >= start && t <= end && previous != Clock::time_point{})
            gaps.push_back(std::chrono::duration<double, std::milli>(t - previous).count());
        previous = t;
    }
    if (!gaps.empty()) {
        const Summary s = summarize(gaps);
        double worst = 0;
        for (double g : gaps)
            worst = std::max(worst, std::fabs(g - 4000.0));
        row("heartbeat at 4000 ms while idle: %zu periods, mean %.3f ms, worst deviation %.3f ms", gaps.size(), s.mean,
            worst);
        Json hb = Json::object();
        hb["periods"] = static_cast<unsigned long>(gaps.size());
        hb["mean_ms"] = s.mean;
        hb["worst_deviation_ms"] = worst;
        section["heartbeat_4000ms"] = hb;
    }
    json_["idle"] = section;
}

} // namespace bench
