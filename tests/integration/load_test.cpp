// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Load on the running daemon, bounded in count and time: many sequential
// requests of the letters that change nothing on the host, with strangers'
// connections between them, and a burst of simultaneous connection attempts.
// Every admitted reply must be byte-exact, and the server's descriptors,
// memory and children must not grow.
//
// The number of requests is VORN_LOAD_REQUESTS (default 100000); one
// stranger connects after every tenth request.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_fixtures.h"
#include "testbed/board/board.h"

using namespace testbed;

namespace {

using std::chrono::duration_cast;

constexpr long kDefaultRequests = 100000;

long requestCount()
{
    const char* text = std::getenv("VORN_LOAD_REQUESTS");
    const long n = text != nullptr ? std::strtol(text, nullptr, 10) : kDefaultRequests;
    return n > 0 ? n : kDefaultRequests;
}

std::string fixture(const std::string& name)
{
    return vorn::testsupport::readFixture("cpuinfo", name);
}

sockaddr_in address(const char* dottedQuad, std::uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, dottedQuad, &a.sin_addr);
    return a;
}

struct Answer {
    bool connected = false;
    bool complete = false; // read to the daemon's close
    std::string bytes;
};

// One request on a fresh blocking connection from source, read to the close.
Answer ask(const char* source, std::string_view request)
{
    Answer answer;
    UniqueFd fd(socketFrom(source, SOCK_STREAM | SOCK_CLOEXEC));
    const sockaddr_in from = address(source, 0);
    const sockaddr_in to = address(kPlatAddress, kServerPort);
    const timeval bound{10, 0};
    if (!fd || setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound) != 0 ||
        setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound) != 0 ||
        bind(fd.get(), reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
        connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
        return answer;
    answer.connected = true;
    if (!request.empty() && send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) < 0)
        return answer;
    char buf[8192];
    for (;;) {
        const ssize_t n = recv(fd.get(), buf, sizeof buf, 0);
        if (n > 0) {
            answer.bytes.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // A close, or a reset (the strangers' connections are closed unread).
        answer.complete = n == 0 || errno == ECONNRESET;
        return answer;
    }
}

std::size_t descriptorCount(pid_t pid)
{
    std::size_t n = 0;
    if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (const dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// A field of /proc/PID/status in kB ("VmRSS").
long statusKb(pid_t pid, const std::string& field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field + ":", 0) == 0)
            return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    return -1;
}

// Whether the daemon carries a sanitizer's runtime, whose quarantine holds
// freed memory on purpose: its resident size then says nothing about leaks.
bool sanitized(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/maps");
    for (std::string line; std::getline(in, line);)
        if (line.find("libasan") != std::string::npos)
            return true;
    return false;
}

struct Sample {
    long request;
    std::size_t descriptors;
    long rssKb;
    std::size_t processes;
    std::size_t zombies;
};

Sample sample(const Board& board, long request)
{
    const pid_t pid = board.daemonPid();
    Sample s{request, descriptorCount(pid), statusKb(pid, "VmRSS"), 0, 0};
    for (const ProcessInfo& p : board.processes()) {
        ++s.processes;
        s.zombies += p.state == 'Z';
    }
    return s;
}

// The requests of the load: none changes the host, powers it or moves its link.
const std::vector<std::string> kRequests = {
    "v", "T", "H", "L", "c 0",  "c 1", "c 7", "C",
    "M", "d", "e", "x", "\x80", "?",   "z",   "v trailing bytes that the command ignores\n",
};

const std::regex kTimeDocument(
    R"(<\?xml version="1\.0" encoding ="UTF-8"\?> <vorn> <time>[0-9]+</time><cmdRetVal>0</cmdRetVal> </vorn> \x03)");

class Load : public ::testing::Test {
protected:
    Board board;

    void SetUp() override
    {
        board.sp().setInterval('h', 200);
        board.sp().setInterval('p', 200);
        // Fixed inputs: a CPU description of the test's own, an init script
        // whose access time dates the inventory, and a name-server file.
        board.bindOver("/proc/cpuinfo", fixture("two_cpus"));
        board.writeFile("/etc/init.d/vorn", "#!/bin/sh\nifconfig hlink0 169.254.101.3\n", 0755);
        board.writeFile("/etc/resolv.conf", "search example.com\nnameserver 10.0.0.1\n");
        board.start();
    }

    // Checks one reply against the first of its request (by shape for the time).
    void check(const std::string& request, const Answer& answer, std::map<std::string, std::string>& first, long index)
    {
        const std::string what = "request " + std::to_string(index) + " \"" + printable(request) + "\"";
        ASSERT_TRUE(answer.connected && answer.complete) << what;
        if (request == "T") {
            ASSERT_TRUE(std::regex_match(answer.bytes, kTimeDocument)) << what << ": " << printable(answer.bytes);
            return;
        }
        const auto [it, isFirst] = first.emplace(request, answer.bytes);
        if (!isFirst) {
            ASSERT_EQ(printable(answer.bytes), printable(it->second)) << what;
        }
    }
};

} // namespace

TEST_F(Load, SequentialRequestsWithStrangersInterleaved)
{
    const long requests = requestCount();
    const long strangers = requests / 10;
    const pid_t pid = board.daemonPid();
    std::map<std::string, std::string> first;
    // The first round is the reference, and warms the server up.
    for (const std::string& r : kRequests)
        check(r, ask(kSpAddress, r), first, -1);
    // The first stranger opens the connection to the log.
    ASSERT_TRUE(ask(kStrangerAddress, "v").bytes.empty());
    ASSERT_TRUE(board.waitForLog("Incoming request from wrong IP\n", LOG_INFO));
    // The fixed replies are what they must be.
    ASSERT_EQ(first.at("x"), document("<error>Invalid request</error>"));
    ASSERT_EQ(first.at("c 0").size(), 128u);
    ASSERT_EQ(first.at("c 7"), std::string(1, '\0'));
    ASSERT_EQ(first.at("M").size(), sizeof(platform_data_t));

    const Sample warm = sample(board, 0);
    const bool checkMemory = !sanitized(pid);
    std::vector<Sample> samples{warm};
    long strangersSent = 0;
    const auto start = Clock::now();
    for (long i = 0; i < requests; ++i) {
        const std::string& r = kRequests[static_cast<std::size_t>(i) % kRequests.size()];
        check(r, ask(kSpAddress, r), first, i);
        if (HasFatalFailure())
            return;
        if (i % 10 == 9) {
            const Answer stranger = ask(kStrangerAddress, "v");
            ASSERT_TRUE(stranger.connected && stranger.complete) << "stranger " << strangersSent;
            ASSERT_TRUE(stranger.bytes.empty()) << "stranger " << strangersSent << ": " << printable(stranger.bytes);
            ++strangersSent;
        }
        if ((i + 1) % (requests / 4 > 0 ? requests / 4 : 1) == 0)
            samples.push_back(sample(board, i + 1));
    }
    const double seconds = duration_cast<std::chrono::duration<double>>(Clock::now() - start).count();
    EXPECT_EQ(strangersSent, strangers);

    std::printf("[   load   ] %ld requests, %ld strangers in %.1f s (%.0f connections/s)\n", requests, strangersSent,
                seconds, static_cast<double>(requests + strangersSent) / seconds);
    for (const Sample& s : samples)
        std::printf("[   load   ] after %7ld: %zu descriptors, VmRSS %ld kB, %zu processes, %zu zombies\n", s.request,
                    s.descriptors, s.rssKb, s.processes, s.zombies);

    // The server holds what it held after the first round: its descriptors
    // and three processes. Its resident size settles within the first half
    // (the allocator's heap finds its size) and stays there: a leak of a
    // single smallest allocation per request would add 32 bytes for each.
    for (const Sample& s : samples) {
        EXPECT_EQ(s.descriptors, warm.descriptors) << "after " << s.request;
        EXPECT_EQ(s.processes, 3u) << "after " << s.request;
        EXPECT_EQ(s.zombies, 0u) << "after " << s.request;
    }
    if (checkMemory) {
        const Sample& half = samples.at(2);
        const Sample& last = samples.back();
        EXPECT_LE(last.rssKb - half.rssKb, 64) << "VmRSS grew from " << half.rssKb << " kB after " << half.request
                                               << " requests to " << last.rssKb << " kB after " << last.request;
        EXPECT_LE(last.rssKb - warm.rssKb, 512);
    }
    // The agent logs a stranger after it has closed the connection: the
    // last line may still be on its way to the collector.
    const std::size_t expectedStrangers = static_cast<std::size_t>(strangersSent) + 1;
    EXPECT_TRUE(
        waitUntil([&] { return board.logCount("Incoming request from wrong IP\n", LOG_INFO) >= expectedStrangers; }));
    EXPECT_EQ(board.logCount("Incoming request from wrong IP\n", LOG_INFO), expectedStrangers);
    // Still serving, the same bytes.
    EXPECT_EQ(printable(ask(kSpAddress, "v").bytes), printable(first.at("v")));
}

// 200 connection attempts at once. The listener's backlog is 5, so the kernel
// drops most SYNs and the clients retry them later; the attempts still
// waiting after three retries are given up. Every one that is admitted gets
// the exact reply, and the server answers afterwards.
TEST_F(Load, TwoHundredConnectionAttemptsAtOnce)
{
    constexpr std::size_t kAttempts = 200;
    const Answer reference = ask(kSpAddress, "v");
    ASSERT_TRUE(reference.complete);
    const Sample before = sample(board, 0);

    struct Attempt {
        UniqueFd fd;
        enum { Connecting, Reading, Done, Failed } state = Connecting;
        std::string bytes;
    };
    std::vector<Attempt> attempts(kAttempts);
    const sockaddr_in from = address(kSpAddress, 0);
    const sockaddr_in to = address(kPlatAddress, kServerPort);
    for (Attempt& a : attempts) {
        a.fd = spSideSocket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC);
        ASSERT_TRUE(a.fd);
        ASSERT_EQ(bind(a.fd.get(), reinterpret_cast<const sockaddr*>(&from), sizeof from), 0);
        if (connect(a.fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS)
            a.state = Attempt::Failed;
    }
    // SYNs that find the backlog full are dropped and retried after 1, 3
    // and 7 seconds: the attempts of those waves are served.
    const auto deadline = Clock::now() + Millis{9000};
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<Attempt*> owners;
        for (Attempt& a : attempts) {
            if (a.state == Attempt::Connecting || a.state == Attempt::Reading) {
                fds.push_back({a.fd.get(), static_cast<short>(a.state == Attempt::Connecting ? POLLOUT : POLLIN), 0});
                owners.push_back(&a);
            }
        }
        const auto left = duration_cast<Millis>(deadline - Clock::now()).count();
        if (fds.empty() || left <= 0)
            break;
        if (poll(fds.data(), fds.size(), static_cast<int>(left)) <= 0)
            continue;
        for (std::size_t k = 0; k < fds.size(); ++k) {
            Attempt& a = *owners[k];
            if (fds[k].revents == 0)
                continue;
            if (a.state == Attempt::Connecting) {
                int error = 0;
                socklen_t length = sizeof error;
                getsockopt(a.fd.get(), SOL_SOCKET, SO_ERROR, &error, &length);
                if (error != 0 || send(a.fd.get(), "v", 1, MSG_NOSIGNAL) != 1) {
                    a.state = Attempt::Failed;
                    continue;
                }
                a.state = Attempt::Reading;
                continue;
            }
            char buf[4096];
            const ssize_t n = recv(a.fd.get(), buf, sizeof buf, 0);
            if (n > 0)
                a.bytes.append(buf, static_cast<std::size_t>(n));
            else if (n == 0)
                a.state = Attempt::Done;
            else if (errno != EAGAIN && errno != EINTR)
                a.state = Attempt::Failed;
        }
    }
    std::size_t served = 0;
    std::size_t failed = 0;
    std::size_t unanswered = 0; // connected, request sent, no reply yet
    for (const Attempt& a : attempts) {
        unanswered += a.state == Attempt::Reading;
        if (a.state == Attempt::Done) {
            ++served;
            EXPECT_EQ(printable(a.bytes), printable(reference.bytes));
        }
        failed += a.state == Attempt::Failed;
    }
    std::printf("[   load   ] %zu attempts at once: %zu served, %zu failed, %zu given up (%zu of them connected)\n",
                kAttempts, served, failed, kAttempts - served - failed, unanswered);
    EXPECT_GE(served, 6u) << "not even a backlog's worth";
    EXPECT_EQ(failed, 0u);
    attempts.clear();
    // Connections that the kernel completed after all are served and closed.
    std::this_thread::sleep_for(Millis{500});

    EXPECT_EQ(printable(ask(kSpAddress, "v").bytes), printable(reference.bytes));
    const Sample after = sample(board, 0);
    EXPECT_EQ(after.descriptors, before.descriptors);
    EXPECT_EQ(after.processes, 3u);
    EXPECT_EQ(after.zombies, 0u);
}
