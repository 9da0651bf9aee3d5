// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Section 7: start-up. From the exec of the daemon to its first answered
// request, its first heartbeat and its first machine-check poll, with an SP
// that answers the monitors' interval requests and with none listening (the
// monitors then take their default intervals); beside qemu-ga, from its exec
// to its first answer.
#include <atomic>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

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

// `runs` starts of the daemon on `board`, each measured from just before
// the board forks the launcher that execs it.
StartSamples daemonStarts(Board& board, unsigned runs)
{
    StartSamples s;
    const Target vorn = tcpTarget(testbed::kServerPort);
    for (unsigned i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        std::optional<Clock::time_point> answered;
        std::thread asker([&] { answered = firstAnswer(vorn, "v", start + std::chrono::seconds(10)); });
        board.start(testbed::StartOptions{.waitListening = false});
        asker.join();
        std::optional<Clock::time_point> beat;
        std::optional<Clock::time_point> poll;
        waitUntil(
            [&] {
                beat = firstCall(board, testbed::simdrv::kHbBeat, start);
                poll = firstCall(board, testbed::simdrv::kMcRegIf, start);
                return beat && poll;
            },
            Millis{10000});
        if (answered && beat && poll) {
            s.answerMs.push_back(since(start, *answered) * 1e3);
            s.heartbeatMs.push_back(since(start, *beat) * 1e3);
            s.pollMs.push_back(since(start, *poll) * 1e3);
        } else {
            ++s.failures;
        }
        board.stopDaemon();
    }
    return s;
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
    row("%-34s %22s %22s %22s", "", "first answer", "first heartbeat", "first MC poll");
    auto text = [](const std::vector<double>& v) {
        if (v.empty())
            return std::string("-");
        const Summary s = summarize(v);
        return fmt("%.2f (%.2f-%.2f)", s.median, s.min, s.max);
    };
    auto put = [&](const char* key, const char* label, const StartSamples& s) {
        row("%-34s %22s %22s %22s", label, text(s.answerMs).c_str(), text(s.heartbeatMs).c_str(),
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
    {
        Board board;
        writeFixtures(board);
        board.sp().setInterval('h', 4000);
        board.sp().setInterval('p', 5000);
        const StartSamples s = daemonStarts(board, runs);
        startAnswerMs_ = s.answerMs.empty() ? NAN : summarize(s.answerMs).median;
        put("vorn_sp_answers", "vorn, the SP answers its intervals", s);
    }
    {
        Board board(testbed::BoardOptions{.startSp = false});
        writeFixtures(board);
        put("vorn_no_sp", "vorn, no SP listening (defaults)", daemonStarts(board, runs));
    }
    const std::string qemuGa = which("qemu-ga");
    if (qemuGa.empty()) {
        row("%-34s %22s", "qemu-ga", "not installed");
        section["qemu_ga"] = Json();
    } else {
        unsigned failures = 0;
        const std::vector<double> q = qgaStarts(qemuGa, runs, failures);
        startQgaMs_ = q.empty() ? NAN : summarize(q).median;
        row("%-34s %22s", "qemu-ga", text(q).c_str());
        if (failures > 0)
            row("     (%u starts without an answer)", failures);
        Json j = Json::object();
        j["first_answer_ms"] = msJson(q);
        j["failures"] = failures;
        section["qemu_ga"] = j;
    }
    json_["startup"] = section;
}

} // namespace bench
