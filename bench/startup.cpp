// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Section 7: start-up. From the exec of the daemon to its first answered
// request, its first heartbeat and its first machine-check poll, with an SP
// that answers the monitors' interval requests and with none listening (the
// monitors then take their default intervals); beside the start-up's own
// floor (vorn-bench-floor start: the same required work in the same order),
// started back to back with the daemon, and beside qemu-ga, from its exec to
// its first answer. Once with the board's fake /sbin/ifconfig and once with
// the real one (net-tools, from the machine) on the sandbox's hlink0.
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bench.h"

namespace bench {
namespace {

// Seconds from `start` to `t`.
double since(Clock::time_point start, Clock::time_point t)
{
    return std::chrono::duration<double>(t - start).count();
}

// Asks target `request` again and again, a little apart, until it answers;
// the time the answer ended, or nothing once `deadline` has passed.
std::optional<Clock::time_point> firstAnswer(const Target& target, const std::string& request,
                                             Clock::time_point deadline)
{
    while (Clock::now() < deadline) {
        if (exchangeOnce(target, request).ok)
            return Clock::now();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return std::nullopt;
}

// The first call of `request` that the drivers saw at or after `start`.
std::optional<Clock::time_point> firstCall(Board& board, testbed::Request request, Clock::time_point start)
{
    for (const auto& call : board.driver().calls())
        if (call.request == request && call.time >= start)
            return call.time;
    return std::nullopt;
}

struct StartSamples {
    std::vector<double> answerMs;
    std::vector<double> heartbeatMs;
    std::vector<double> pollMs;
    unsigned failures = 0;
};

// Ends a detached server started by the section: the process named in
// pidFile and its children, one process group, which come to this process
// (a subreaper) to be reaped.
void stopGroup(const std::string& pidFile)
{
    const pid_t pid = static_cast<pid_t>(std::atoi(readText(pidFile).value_or("0").c_str()));
    ::unlink(pidFile.c_str());
    if (pid <= 0)
        return;
    ::kill(-pid, SIGKILL);
    waitUntil(
        [&] {
            while (::waitpid(-pid, nullptr, WNOHANG) > 0) {
            }
            return ::kill(-pid, 0) != 0 && errno == ESRCH;
        },
        Millis{5000});
}

// One start of a server program, measured from just before the fork of the
// process that execs it (with the simulated drivers preloaded, as the board
// starts the daemon) to the end of its first answer to 'v'; NAN when there
// was none. Returns once the program has written pidFile.
double timedStart(const std::vector<std::string>& argv, const std::string& pidFile, Clock::time_point& start)
{
    ::unlink(pidFile.c_str());
    const Target server = tcpTarget(testbed::kServerPort);
    start = Clock::now();
    std::optional<Clock::time_point> answered;
    std::thread asker([&] { answered = firstAnswer(server, "v", start + std::chrono::seconds(10)); });
    Child launcher =
        Child::spawn(argv, std::string(kRunDir) + "/start.log", {std::string("LD_PRELOAD=") + VORN_BENCH_SIMDRV_FILE});
    asker.join();
    waitUntil([&] { return !readText(pidFile).value_or("").empty(); }, Millis{5000});
    launcher.stop();
    return answered ? since(start, *answered) * 1e3 : NAN;
}

constexpr const char* kDaemonPidFile = "/var/run/vorn.pid";

// One start of the daemon on `board`; with realIfconfig (the path of a copy
// of the machine's ifconfig), that program stands in for the board's fake
// until the daemon has answered. The time to the first answer (NAN when one
// of the three did not come).
double daemonStart(Board& board, StartSamples& s, const std::string& realIfconfig = {})
{
    // Every fake in place before the real ifconfig goes in; the power
    // programs stay fakes throughout.
    testbed::requireSandbox();
    if (!realIfconfig.empty() && ::mount(realIfconfig.c_str(), "/sbin/ifconfig", nullptr, MS_BIND, nullptr) != 0)
        throw std::runtime_error("cannot bind the real ifconfig over /sbin/ifconfig");
    Clock::time_point start;
    const double answerMs = timedStart({VORN_BENCH_DAEMON_FILE}, kDaemonPidFile, start);
    if (!realIfconfig.empty())
        ::umount2("/sbin/ifconfig", MNT_DETACH);
    std::optional<Clock::time_point> beat;
    std::optional<Clock::time_point> poll;
    waitUntil(
        [&] {
            beat = firstCall(board, testbed::simdrv::kHbBeat, start);
            poll = firstCall(board, testbed::simdrv::kMcRegIf, start);
            return beat && poll;
        },
        Millis{10000});
    if (std::isfinite(answerMs) && beat && poll) {
        s.answerMs.push_back(answerMs);
        s.heartbeatMs.push_back(since(start, *beat) * 1e3);
        s.pollMs.push_back(since(start, *poll) * 1e3);
    } else {
        ++s.failures;
    }
    stopGroup(kDaemonPidFile);
    return std::isfinite(answerMs) && beat && poll ? answerMs : NAN;
}

// The floor's answer to 'v' (the daemon's own) and its pid file.
const std::string kFloorStartAnswer = std::string(kRunDir) + "/start-floor-v";
const std::string kFloorStartPidFile = std::string(kRunDir) + "/start-floor.pid";

// One start of the start-up's floor, measured as the daemon's is.
double floorStart(const std::string& realIfconfig = {})
{
    testbed::requireSandbox();
    if (!realIfconfig.empty() && ::mount(realIfconfig.c_str(), "/sbin/ifconfig", nullptr, MS_BIND, nullptr) != 0)
        throw std::runtime_error("cannot bind the real ifconfig over /sbin/ifconfig");
    Clock::time_point start;
    const double ms = timedStart({VORN_BENCH_FLOOR_FILE, "start", std::to_string(testbed::kServerPort), "v",
                                  kFloorStartAnswer, kFloorStartPidFile},
                                 kFloorStartPidFile, start);
    if (!realIfconfig.empty())
        ::umount2("/sbin/ifconfig", MNT_DETACH);
    stopGroup(kFloorStartPidFile);
    return ms;
}

// Pairs of starts, the daemon's and the floor's back to back (in turn
// first), on `board`.
struct StartPairs {
    StartSamples vorn;
    std::vector<double> floorMs;
    unsigned floorFailures = 0;
    std::vector<double> ratios; // the floor's time over the daemon's, per pair
};

StartPairs startPairs(Board& board, unsigned runs, const std::string& realIfconfig = {})
{
    StartPairs p;
    for (unsigned i = 0; i < runs; ++i) {
        double v = NAN;
        double f = NAN;
        if (i % 2 == 0) {
            v = daemonStart(board, p.vorn, realIfconfig);
            f = floorStart(realIfconfig);
        } else {
            f = floorStart(realIfconfig);
            v = daemonStart(board, p.vorn, realIfconfig);
        }
        if (std::isfinite(f))
            p.floorMs.push_back(f);
        else
            ++p.floorFailures;
        if (std::isfinite(f) && std::isfinite(v))
            p.ratios.push_back(f / v);
    }
    return p;
}

// The host link's IPv4 addresses as the sandbox has them ("ip -4 -o addr").
std::string hostLinkAddresses(Board& board)
{
    return board.run(std::string("ip -4 -o addr show dev ") + testbed::kHostLinkIf + " | awk '{print $4}'").output;
}

std::vector<double> qgaStarts(const std::string& qemuGa, unsigned runs, unsigned& failures)
{
    std::vector<double> ms;
    const std::string state = std::string(kRunDir) + "/qga-start-state";
    ::mkdir(state.c_str(), 0755);
    const std::string socket = std::string(kRunDir) + "/qga-start.sock";
    Target t = qgaTarget();
    t.path = socket;
    for (unsigned i = 0; i < runs; ++i) {
        ::unlink(socket.c_str());
        const auto start = Clock::now();
        Child qga = Child::spawn({qemuGa, "-m", "unix-listen", "-p", socket, "-t", state},
                                 std::string(kRunDir) + "/qga-start.log");
        const auto answered = firstAnswer(t, qgaRequest("guest-get-time"), start + std::chrono::seconds(10));
        if (answered)
            ms.push_back(since(start, *answered) * 1e3);
        else
            ++failures;
        qga.stop();
    }
    return ms;
}

Json msJson(const std::vector<double>& v)
{
    return summaryJson(summarize(v));
}

} // namespace

void Bench::startup()
{
    gSection = 7;
    const unsigned runs = n(20, 4);
    say("7. start-up: %u starts of each\n", runs);
    Json section = Json::object();
    section["starts"] = runs;
    row("7. Start-up: from exec to the first answered request ('v', asked every 0.2 ms), the first heartbeat and the "
        "first MC poll;");
    row("   median (min-max) of %u starts, ms. qemu-ga: from exec to its first answer (guest-get-time on its UNIX "
        "socket).",
        runs);
    row("   floor: the start-up's own floor, the same required work in the same order (log, daemon(), the two driver "
        "requests,");
    row("   \"/sbin/ifconfig hlink0 ADDRESS\" through the shell, the pid file, two forks, listen, answer 'v'), "
        "started in turn with the daemon.");
    row("%-40s %22s %22s %22s", "", "first answer", "first heartbeat", "first MC poll");
    auto text = [](const std::vector<double>& v) {
        if (v.empty())
            return std::string("-");
        const Summary s = summarize(v);
        return fmt("%.2f (%.2f-%.2f)", s.median, s.min, s.max);
    };
    auto put = [&](const char* key, const char* label, const StartSamples& s) {
        row("%-40s %22s %22s %22s", label, text(s.answerMs).c_str(), text(s.heartbeatMs).c_str(),
            text(s.pollMs).c_str());
        if (s.failures > 0)
            row("     (%u starts without all three)", s.failures);
        Json j = Json::object();
        j["first_answer_ms"] = msJson(s.answerMs);
        j["first_heartbeat_ms"] = msJson(s.heartbeatMs);
        j["first_mc_poll_ms"] = msJson(s.pollMs);
        j["failures"] = s.failures;
        section[key] = j;
    };
    auto putFloor = [&](const char* key, const char* label, const StartPairs& p) {
        row("%-40s %22s", label, text(p.floorMs).c_str());
        if (p.floorFailures > 0)
            row("     (%u starts without an answer)", p.floorFailures);
        Json j = Json::object();
        j["first_answer_ms"] = msJson(p.floorMs);
        j["failures"] = p.floorFailures;
        j["vorn_over_floor"] = summaryJson(summarize(p.ratios));
        section[key] = j;
    };
    std::optional<StartPairs> fake;
    std::optional<StartPairs> real;
    std::string realWhy;
    {
        Board board;
        writeFixtures(board);
        board.sp().setInterval('h', 4000);
        board.sp().setInterval('p', 5000);
        // The floor answers 'v' with the daemon's own answer.
        board.start();
        const Exchange v = exchangeOnce(tcpTarget(testbed::kServerPort), "v");
        board.stopDaemon();
        if (!v.ok)
            throw std::runtime_error("the daemon did not answer 'v'");
        writeText(kFloorStartAnswer, v.bytes);

        fake = startPairs(board, runs);
        startAnswerMs_ = fake->vorn.answerMs.empty() ? NAN : summarize(fake->vorn.answerMs).median;
        put("vorn_sp_answers", "vorn, the SP answers its intervals", fake->vorn);
        putFloor("floor", "floor", *fake);

        // The real ifconfig of net-tools in place of the board's fake. It sets
        // the address that hlink0 already has, which changes nothing.
        if (realIfconfig_.empty()) {
            realWhy = "net-tools' ifconfig is not installed on this machine";
        } else {
            const std::string copy = std::string(kRunDir) + "/ifconfig.real";
            writeText(copy, realIfconfig_, 0755);
            const std::string before = hostLinkAddresses(board);
            real = startPairs(board, runs, copy);
            const std::string after = hostLinkAddresses(board);
            if (after != before)
                throw std::runtime_error("the real ifconfig changed hlink0's addresses: " + before + " -> " + after);
            put("vorn_real_ifconfig", "vorn, real ifconfig (net-tools)", real->vorn);
            putFloor("floor_real_ifconfig", "floor, real ifconfig (net-tools)", *real);
        }
    }
    if (!real)
        row("%-40s %22s", "real ifconfig (net-tools)", realWhy.c_str());
    {
        Board board(testbed::BoardOptions{.startSp = false});
        writeFixtures(board);
        StartSamples s;
        for (unsigned i = 0; i < runs; ++i)
            daemonStart(board, s);
        put("vorn_no_sp", "vorn, no SP listening (defaults)", s);
    }
    const std::string qemuGa = which("qemu-ga");
    std::vector<double> q;
    if (qemuGa.empty()) {
        row("%-40s %22s", "qemu-ga", "not installed");
        section["qemu_ga"] = Json();
    } else {
        unsigned failures = 0;
        q = qgaStarts(qemuGa, runs, failures);
        startQgaMs_ = q.empty() ? NAN : summarize(q).median;
        row("%-40s %22s", "qemu-ga", text(q).c_str());
        if (failures > 0)
            row("     (%u starts without an answer)", failures);
        Json j = Json::object();
        j["first_answer_ms"] = msJson(q);
        j["failures"] = failures;
        section["qemu_ga"] = j;
    }
    // vorn over its floor, and what vorn spends beyond the required work
    // beside qemu-ga's whole start.
    const double qga = q.empty() ? NAN : summarize(q).median;
    auto compare = [&](const char* label, const StartPairs& p, double& ratio, double& beyond) {
        const Summary r = summarize(p.ratios);
        ratio = r.median;
        beyond = summarize(p.vorn.answerMs).median - summarize(p.floorMs).median;
        row("   %s: vorn/floor %s; the floor's required work %.2f ms; vorn beyond it %.2f ms%s", label,
            ratioText(r).c_str(), summarize(p.floorMs).median, beyond,
            std::isfinite(qga) ? fmt(" (qemu-ga's whole start %.2f ms)", qga).c_str() : "");
    };
    compare("fake ifconfig", *fake, startFloorRatio_, startBeyondFloorMs_);
    startFloorMs_ = summarize(fake->floorMs).median;
    if (real) {
        compare("real ifconfig", *real, startRealFloorRatio_, startRealBeyondFloorMs_);
        startRealFloorMs_ = summarize(real->floorMs).median;
        startRealAnswerMs_ = summarize(real->vorn.answerMs).median;
    }
    json_["startup"] = section;
}

} // namespace bench
