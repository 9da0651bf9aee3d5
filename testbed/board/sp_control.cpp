// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "testbed/board/sp_control.h"
#include "testbed/board/sp_side.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testbed/board/connection.h"
#include "testbed/board/files.h"
#include "testbed/board/processes.h"
#include "testbed/board/sandbox_checks.h"
#include "testbed/common/sandbox_paths.h"

namespace testbed {

using namespace detail;

SimSp::SimSp()
{
    requireSandbox();
    mapping_ = simsp::openOrCreateState();
    if (!mapping_)
        failErrno(std::string("map ") + simsp::kSpStatePath);
}

SimSp::~SimSp()
{
    stop();
}

void SimSp::start()
{
    if (running())
        return;
    const pid_t pid = fork();
    if (pid < 0)
        failErrno("fork the SP");
    if (pid == 0) {
        resetSignalsForExec();
        close_range(3, ~0U, 0);
        if (!enterSpSide())
            _exit(126);
        execl(VORN_SIM_SP_FILE, "vorn-sim-sp", nullptr);
        std::fprintf(stderr, "testbed: cannot run %s: %s\n", VORN_SIM_SP_FILE, std::strerror(errno));
        _exit(127);
    }
    pid_ = pid;
    waitServing(kDefaultTimeout);
}

void SimSp::stop()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = 0;
    SharedLock lock(state().lock);
    state().serverPid = 0;
    state().listening = 0;
}

bool SimSp::running() const
{
    return pid_ > 0 && alive(pid_);
}

void SimSp::reset()
{
    SharedLock lock(state().lock);
    simsp::setDefaults(state());
}

void SimSp::waitServing(Millis timeout)
{
    if (pid_ <= 0)
        return;
    const bool ok = waitUntil(
        [&] {
            SharedLock lock(state().lock);
            const auto& s = state();
            return s.serverPid == pid_ && s.listening == s.wantListening &&
                   (!s.wantListening || s.boundAddress == s.address);
        },
        timeout);
    if (!ok)
        fail(running() ? "the SP does not serve as set (is its address on sp0?)" : "the SP is not running");
}

void SimSp::setInterval(char command, std::uint32_t milliseconds)
{
    SharedLock lock(state().lock);
    state().commands[static_cast<unsigned char>(command)].interval = milliseconds;
}

void SimSp::setMode(char command, SpMode mode, std::uint32_t shortBytes, Millis trickleDelay)
{
    SharedLock lock(state().lock);
    auto& c = state().commands[static_cast<unsigned char>(command)];
    c.mode = static_cast<std::uint32_t>(mode);
    c.shortBytes = shortBytes;
    c.trickleDelayMs = static_cast<std::uint32_t>(trickleDelay.count());
}

void SimSp::setListening(bool listening, Millis timeout)
{
    {
        SharedLock lock(state().lock);
        state().wantListening = listening ? 1 : 0;
    }
    waitServing(timeout);
}

void SimSp::setAddress(const std::string& dottedQuad, Millis timeout)
{
    {
        SharedLock lock(state().lock);
        state().address = parseAddress(dottedQuad);
    }
    waitServing(timeout);
}

std::vector<SpExchange> SimSp::exchanges() const
{
    SharedLock lock(state().lock);
    const auto& s = state();
    std::vector<SpExchange> out;
    for (std::uint64_t i = 0; i < std::min<std::uint64_t>(s.exchangeCount, simsp::kExchangeCapacity); ++i) {
        const simsp::Exchange& e = s.exchanges[i];
        SpExchange x{fromNs(e.acceptNs), std::nullopt,    std::nullopt, addressText(e.peer),
                     e.command,          e.bytesReceived, e.bytesSent,  static_cast<simsp::Outcome>(e.outcome)};
        if (e.commandNs)
            x.commandTime = fromNs(e.commandNs);
        if (e.endNs)
            x.ended = fromNs(e.endNs);
        out.push_back(x);
    }
    return out;
}

namespace {

// Called with the SP's lock held.
std::vector<SpReport> keptReports(const simsp::State& s)
{
    std::vector<SpReport> out;
    for (std::uint64_t i = 0; i < std::min<std::uint64_t>(s.reportCount, simsp::kReportCapacity); ++i) {
        SpReport r{fromNs(s.reports[i].completeNs), {}, s.reports[i].exchange};
        std::memcpy(&r.record, s.reports[i].record, sizeof r.record);
        out.push_back(r);
    }
    return out;
}

} // namespace

std::vector<SpReport> SimSp::reports() const
{
    SharedLock lock(state().lock);
    return keptReports(state());
}

std::vector<SpReport> SimSp::takeReports()
{
    SharedLock lock(state().lock);
    std::vector<SpReport> out = keptReports(state());
    state().reportCount = 0;
    return out;
}

void SimSp::setRefuseEvery(std::uint32_t n)
{
    SharedLock lock(state().lock);
    state().refuseEvery = n;
}

std::uint64_t SimSp::refusedConnections() const
{
    SharedLock lock(state().lock);
    return state().refusedCount;
}

void SimSp::setReplyDelay(Millis delay)
{
    SharedLock lock(state().lock);
    state().replyDelayMs = static_cast<std::uint32_t>(delay.count());
}

bool SimSp::waitForExchanges(std::size_t count, Millis timeout) const
{
    return waitUntil([&] { return exchanges().size() >= count; }, timeout);
}

bool SimSp::waitForReports(std::size_t count, Millis timeout) const
{
    return waitUntil([&] { return reports().size() >= count; }, timeout);
}

} // namespace testbed
