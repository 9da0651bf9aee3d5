// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// vorn-sim-sp: the simulated service processor. Serves TCP port 9990 on the
// SP's address as the shared SP state says, and records every exchange and
// every complete 'x' report there. Runs until it is killed.
//
// It may refuse every Nth connection: it then stops listening after N - 1
// accepted connections, so that the kernel refuses the next attempt, and
// listens again once the network namespace's TCP count of failed connection
// attempts shows that refusal. And it may answer late: the answer to a
// command byte waits replyDelayMs after the byte.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <list>
#include <sstream>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "testbed/common/unique_fd.h"
#include "testbed/sim_sp/sim_sp_state.h"

using namespace testbed;
using namespace testbed::simsp;

namespace {

constexpr int kPollSliceMs = 5;
// Without a readable count of failed attempts a refusal lasts this long.
constexpr std::int64_t kBlindRefusalNs = 500'000'000;

// The TCP AttemptFails count of the host's network namespace (connection
// attempts that a reset ended, refused ones among them), or -1. The SP runs
// in a namespace of its own; the sandbox's PID 1 is in the host's.
long long attemptFails()
{
    std::ifstream in("/proc/1/net/snmp");
    std::string names;
    std::string values;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Tcp:", 0) != 0)
            continue;
        if (names.empty()) {
            names = line;
        } else {
            values = line;
            break;
        }
    }
    std::istringstream n(names);
    std::istringstream v(values);
    for (std::string name, value; n >> name && v >> value;)
        if (name == "AttemptFails")
            return std::strtoll(value.c_str(), nullptr, 10);
    return -1;
}

struct Connection {
    UniqueFd fd;
    std::uint32_t exchange = 0;
    int command = -1;
    CommandConfig config{};
    std::uint32_t received = 0;
    std::uint32_t sent = 0;
    std::array<std::uint8_t, sizeof(RegIfVals)> record{};
    std::uint32_t recordLength = 0;
    bool readingRecord = false;
    std::array<std::uint8_t, 4> reply{};
    std::uint32_t trickled = 0;
    std::int64_t nextTrickleNs = 0;
    bool trickling = false;
    std::int64_t answerAtNs = 0;
    bool answerPending = false;
    bool done = false;
};

class Server {
public:
    explicit Server(State& state) : s_(state) {}

    [[noreturn]] void run()
    {
        for (;;) {
            syncListening();
            std::vector<pollfd> fds;
            if (listener_)
                fds.push_back({listener_.get(), POLLIN, 0});
            for (const Connection& c : connections_)
                fds.push_back({c.fd.get(), POLLIN, 0});
            if (poll(fds.data(), fds.size(), kPollSliceMs) < 0 && errno != EINTR)
                std::perror("vorn-sim-sp: poll");
            std::size_t k = 0;
            if (listener_ && (fds[k++].revents & POLLIN))
                acceptAll();
            for (Connection& c : connections_) {
                if (k < fds.size() && fds[k].fd == c.fd.get() && fds[k].revents)
                    readFrom(c);
                ++k;
                if (!c.done && c.answerPending && monotonicNs() >= c.answerAtNs) {
                    c.answerPending = false;
                    answer(c);
                }
                if (!c.done && c.trickling && monotonicNs() >= c.nextTrickleNs)
                    trickle(c);
            }
            connections_.remove_if([](const Connection& c) { return c.done; });
        }
    }

private:
    void syncListening()
    {
        std::uint32_t want = 0, address = 0, refuseEvery = 0;
        {
            SharedLock lock(s_.lock);
            want = s_.wantListening;
            address = s_.address;
            refuseEvery = s_.refuseEvery;
        }
        if (refuseEvery != refuseEvery_) {
            refuseEvery_ = refuseEvery;
            refusing_ = false;
            accepted_ = 0;
        }
        if (refusing_ && refusalSeen()) {
            refusing_ = false;
            accepted_ = 0;
            SharedLock lock(s_.lock);
            ++s_.refusedCount;
        }
        if (!refusing_ && refuseEvery_ > 0 && accepted_ + 1 >= refuseEvery_)
            startRefusing();
        const bool serve = want && !refusing_;
        if (listener_ && (!serve || address != bound_))
            listener_.reset();
        if (serve && !listener_)
            listen(address);
        // A refusal is part of serving as set.
        const bool serving = listener_ || (want && refusing_);
        SharedLock lock(s_.lock);
        s_.listening = serving ? 1 : 0;
        s_.boundAddress = serving ? bound_ : 0;
    }

    // Closes the listening socket: the kernel refuses the next attempt.
    void startRefusing()
    {
        listener_.reset();
        refusing_ = true;
        refusingSinceNs_ = monotonicNs();
        failsAtStart_ = attemptFails();
    }

    bool refusalSeen() const
    {
        if (failsAtStart_ < 0)
            return monotonicNs() - refusingSinceNs_ >= kBlindRefusalNs;
        return attemptFails() > failsAtStart_;
    }

    void listen(std::uint32_t address)
    {
        UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        const int one = 1;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(kSpPort);
        addr.sin_addr.s_addr = htonl(address);
        if (!fd || setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
            bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd.get(), 16) != 0)
            return; // tried again at the next turn (the address may not exist yet)
        listener_ = std::move(fd);
        bound_ = address;
    }

    void acceptAll()
    {
        for (;;) {
            sockaddr_in peer{};
            socklen_t length = sizeof peer;
            UniqueFd fd(
                accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (!fd)
                return;
            Connection c;
            c.fd = std::move(fd);
            SharedLock lock(s_.lock);
            c.exchange = static_cast<std::uint32_t>(s_.exchangeCount++);
            if (Exchange* e = exchange(c)) {
                *e = Exchange{};
                e->acceptNs = monotonicNs();
                e->peer = ntohl(peer.sin_addr.s_addr);
                e->command = -1;
            }
            connections_.push_back(std::move(c));
            // The attempt after the (N - 1)th accepted one is refused. The
            // SP's peers connect one at a time, so no other attempt waits in
            // the backlog that closing the socket would reset.
            if (refuseEvery_ > 0 && ++accepted_ + 1 >= refuseEvery_) {
                startRefusing();
                return;
            }
        }
    }

    Exchange* exchange(const Connection& c)
    {
        return c.exchange < kExchangeCapacity ? &s_.exchanges[c.exchange] : nullptr;
    }

    void readFrom(Connection& c)
    {
        std::array<std::uint8_t, 4096> buf;
        const ssize_t n = read(c.fd.get(), buf.data(), buf.size());
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                return;
            finish(c, Outcome::PeerReset);
            return;
        }
        if (n == 0) {
            finish(c, Outcome::PeerClosed);
            return;
        }
        std::size_t used = 0;
        {
            SharedLock lock(s_.lock);
            c.received += static_cast<std::uint32_t>(n);
            Exchange* e = exchange(c);
            if (e)
                e->bytesReceived = c.received;
            if (c.command < 0) {
                c.command = buf[0];
                c.config = s_.commands[buf[0]];
                used = 1;
                if (e) {
                    e->command = c.command;
                    e->commandNs = monotonicNs();
                }
            }
            if (c.readingRecord || (used == 1 && c.command == 'x' && c.config.mode == std::uint32_t(Mode::Reply)))
                takeRecord(c, buf.data() + used, static_cast<std::size_t>(n) - used);
        }
        if (used == 1) {
            std::uint32_t delayMs = 0;
            {
                SharedLock lock(s_.lock);
                delayMs = s_.replyDelayMs;
            }
            if (delayMs == 0) {
                answer(c);
            } else {
                c.answerPending = true;
                c.answerAtNs = monotonicNs() + std::int64_t{delayMs} * 1'000'000;
            }
        }
    }

    // Called with the lock held.
    void takeRecord(Connection& c, const std::uint8_t* data, std::size_t length)
    {
        c.readingRecord = true;
        if (c.recordLength >= c.record.size())
            return;
        const std::size_t take = std::min(length, c.record.size() - c.recordLength);
        std::memcpy(c.record.data() + c.recordLength, data, take);
        c.recordLength += static_cast<std::uint32_t>(take);
        if (c.recordLength < c.record.size())
            return;
        const std::uint64_t index = s_.reportCount++;
        if (index < kReportCapacity) {
            Report& r = s_.reports[index];
            r.completeNs = monotonicNs();
            r.exchange = c.exchange;
            std::memcpy(r.record, c.record.data(), c.record.size());
        }
    }

    void answer(Connection& c)
    {
        const std::uint32_t be = htonl(c.config.interval);
        std::memcpy(c.reply.data(), &be, 4);
        switch (static_cast<Mode>(c.config.mode)) {
        case Mode::Reply:
            if (c.command != 'x') {
                send(c, c.reply.data(), 4);
                shutdown(c.fd.get(), SHUT_WR);
            }
            break;
        case Mode::CloseWithoutReply:
            finish(c, Outcome::ClosedBySp);
            break;
        case Mode::Short:
            send(c, c.reply.data(), std::min<std::uint32_t>(c.config.shortBytes, 4));
            finish(c, Outcome::ClosedBySp);
            break;
        case Mode::Silent:
            break;
        case Mode::Reset: {
            const linger hard{1, 0};
            setsockopt(c.fd.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            finish(c, Outcome::ResetBySp);
            break;
        }
        case Mode::Trickle:
            c.trickling = true;
            trickle(c);
            break;
        }
    }

    void trickle(Connection& c)
    {
        send(c, c.reply.data() + c.trickled, 1);
        if (++c.trickled == c.reply.size()) {
            c.trickling = false;
            finish(c, Outcome::ClosedBySp);
            return;
        }
        c.nextTrickleNs = monotonicNs() + std::int64_t{c.config.trickleDelayMs} * 1'000'000;
    }

    void send(Connection& c, const std::uint8_t* data, std::size_t length)
    {
        if (length == 0)
            return;
        const ssize_t n = ::send(c.fd.get(), data, length, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        c.sent += static_cast<std::uint32_t>(n);
        SharedLock lock(s_.lock);
        if (Exchange* e = exchange(c))
            e->bytesSent = c.sent;
    }

    void finish(Connection& c, Outcome outcome)
    {
        if (c.done)
            return;
        c.done = true;
        c.fd.reset();
        SharedLock lock(s_.lock);
        if (Exchange* e = exchange(c)) {
            e->endNs = monotonicNs();
            e->outcome = static_cast<std::uint32_t>(outcome);
        }
    }

    State& s_;
    UniqueFd listener_;
    std::uint32_t bound_ = 0;
    std::list<Connection> connections_;
    std::uint32_t refuseEvery_ = 0;
    std::uint32_t accepted_ = 0; // since the last refusal
    bool refusing_ = false;
    std::int64_t refusingSinceNs_ = 0;
    long long failsAtStart_ = -1;
};

} // namespace

int main()
{
    prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    signal(SIGPIPE, SIG_IGN);
    SharedMapping mapping = openOrCreateState();
    State* state = stateOf(mapping);
    if (!state) {
        std::fprintf(stderr, "vorn-sim-sp: cannot open %s\n", kSpStatePath);
        return 1;
    }
    {
        SharedLock lock(state->lock);
        state->serverPid = getpid();
        state->listening = 0;
    }
    Server(*state).run();
}
