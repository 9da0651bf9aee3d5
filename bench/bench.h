// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The parts of vorn-bench that its sections share: the report, the processes
// it starts, the letters and the servers they go to, and the measurements'
// series. Each section is a member of Bench in a file of its own.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "client.h"
#include "json.h"
#include "procstats.h"
#include "stats.h"
#include "testbed/board/board.h"

namespace bench {

using testbed::Board;
using testbed::Clock;
using testbed::Millis;

constexpr const char* kRunDir = "/run/bench";
constexpr std::uint16_t kFloorPort = 7000;
constexpr std::uint16_t kOwnFloorPort = 7001;
constexpr std::uint16_t kInetdPortBase = 7100;
constexpr const char* kQgaSocket = "/run/bench/qga.sock";
constexpr const char* kFloorSocket = "/run/bench/floor.sock";

struct Options {
    bool quick = false;
    std::string only = "12345679"; // sections to run
    std::string installedBinary;
    std::string letters; // section 1 and 2: only these letters (all when empty)
    int jsonFd = -1;
    int ifconfigFd = -1; // the machine's /sbin/ifconfig, opened before entering the sandbox
};

extern Options gOptions;

bool wanted(const Options& o, char section);

// --- output -----------------------------------------------------------------

// The report, printed at the end: one block per section, in section order.
// A section sets gSection before it adds its rows.
extern std::map<int, std::string> gReport;
extern int gSection;

// Progress, on standard error.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A line of the current section's block of the report.
void row(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
void printReport();
Json summaryJson(const Summary& s);
// "0.93 (0.90-0.95)"
std::string ratioText(const Summary& s);

// --- processes started by the benchmark --------------------------------------

class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    Child(Child&& o) noexcept : pid_(std::exchange(o.pid_, 0)) {}
    Child& operator=(Child&& o) noexcept
    {
        if (this != &o) {
            stop();
            pid_ = std::exchange(o.pid_, 0);
        }
        return *this;
    }
    ~Child() { stop(); }

    // Runs argv with the given extra environment, output to logPath.
    static Child spawn(const std::vector<std::string>& argv, const std::string& logPath,
                       const std::vector<std::string>& env = {})
    {
        Child c;
        const pid_t pid = ::fork();
        if (pid < 0)
            throw std::runtime_error("fork");
        if (pid == 0) {
            ::signal(SIGPIPE, SIG_DFL);
            const int null = ::open("/dev/null", O_RDONLY);
            const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (null < 0 || log < 0 || ::dup2(null, 0) < 0 || ::dup2(log, 1) < 0 || ::dup2(log, 2) < 0)
                _exit(126);
            ::close_range(3, ~0U, 0);
            std::vector<std::string> envText = {"PATH=/usr/local/sbin:/usr/local/bin:/sbin:/bin:/usr/sbin:/usr/bin"};
            envText.insert(envText.end(), env.begin(), env.end());
            std::vector<char*> args;
            std::vector<char*> envp;
            for (const auto& a : argv)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            for (const auto& e : envText)
                envp.push_back(const_cast<char*>(e.c_str()));
            envp.push_back(nullptr);
            ::execve(args[0], args.data(), envp.data());
            _exit(127);
        }
        c.pid_ = pid;
        return c;
    }

    pid_t pid() const { return pid_; }
    bool running() const
    {
        if (pid_ <= 0)
            return false;
        int status = 0;
        return ::waitpid(pid_, &status, WNOHANG) == 0;
    }
    void stop()
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }

private:
    pid_t pid_ = 0;
};

std::string which(const std::string& name);
bool waitUntil(const std::function<bool()>& done, Millis timeout);

// Whether something listens at the SP's 169.254.101.2:9990 in the network
// namespace of process pid.
bool listensAsSp(pid_t pid);

// `vornctl sp --json` as the board's SP, in the SP's namespace at
// 169.254.101.2:9990, answering 'h' and 'p' with the given intervals; its
// standard output is read through a pipe, each line (one record) stamped as
// it arrives. Start it before the daemon, which asks for its intervals once.
class VornctlSp {
public:
    // Returns once it listens; throws when it does not within 5 s.
    VornctlSp(std::uint32_t hbIntervalMs, std::uint32_t mcIntervalMs);
    VornctlSp(const VornctlSp&) = delete;
    VornctlSp& operator=(const VornctlSp&) = delete;
    ~VornctlSp() { stop(); }

    pid_t pid() const { return pid_; }
    std::size_t lines() const;
    std::vector<Clock::time_point> stamps() const;
    // SIGTERM, then waits for it and for the last of its output.
    void stop();

private:
    pid_t pid_ = 0;
    std::thread reader_;
    mutable std::mutex lock_;
    std::vector<Clock::time_point> stamps_;
};
void writeText(const std::string& path, const std::string& text, mode_t mode = 0644);

// --- the letters and the targets ---------------------------------------------

struct Letter {
    char letter;
    std::string request;
    const char* qga; // the equivalent qemu-ga command, if any
    const char* what;
    // The letter's own floor: the work steps (vorn-bench-floor's B=STEP
    // arguments, without "B=") that the least server answering this letter
    // must do at every request, beside the plain floor's accept, read,
    // write and close.
    std::vector<std::string> floorWork;
    // The letter runs a program (the shell and what it starts): a request
    // costs milliseconds, so a round has fewer batches.
    bool runsProgram = false;
    // 'J': each request moves the host link between two addresses, and the
    // next one goes to the address it moved to.
    bool movesLink = false;
};

// The host link's second address: 'J' moves the link between it and
// testbed::kPlatAddress.
constexpr const char* kSecondPlatAddress = "169.254.101.4";

// The letters of this run (--letters), and every letter.
const std::vector<Letter>& letters();
const std::vector<Letter>& allLetters();

std::string qgaRequest(const char* command);
Target tcpTarget(std::uint16_t port);
Target floorUnixTarget();
Target qgaTarget();
// The shell script of the inetd-style agent: prints the document.
std::string printingScript(const std::string& document);

// --- the processes of the daemon -------------------------------------------

struct DaemonPids {
    pid_t server = 0;
    pid_t mc = 0;
    pid_t hb = 0;
};

DaemonPids daemonPids(Board& board);
Json memoryJson(const Memory& m);

struct MemoryRow {
    std::string name;
    Memory m;
};

// The mappings that only the simulated board puts into the daemon: the
// preloaded drivers and their shared state.
extern const std::vector<std::string> kTestbedMappings;
std::vector<MemoryRow> memoryRows(const DaemonPids& p, pid_t qga);
// Kilobytes of the page frames that the daemon's processes hold, each frame
// counted once (so what they would hold if nothing else shared their pages).
std::uint64_t footprintKb(const DaemonPids& p);

// --- the series of measurements ----------------------------------------------

// The measurements of one server for one letter.
struct Series {
    std::vector<double> roundSecondsPerRequest; // one per round: its batches' time over their requests
    std::vector<double> roundCpuPerRequest;     // one per round: the server process's CPU time per request
    std::vector<double> latencies;
    unsigned failures = 0;
    unsigned requests = 0;
    bool available = false;
    std::string why; // when not available

    // Within the current round.
    double roundSeconds = 0;
    double roundCpu = 0;
    unsigned roundRequests = 0;

    void add(const Batch& b, unsigned n, double cpuSeconds)
    {
        latencies.insert(latencies.end(), b.each.begin(), b.each.end());
        failures += b.failures;
        requests += n;
        roundSeconds += b.seconds;
        roundCpu += cpuSeconds;
        roundRequests += n;
    }
    void endRound()
    {
        if (roundRequests == 0)
            return;
        roundSecondsPerRequest.push_back(roundSeconds / roundRequests);
        roundCpuPerRequest.push_back(roundCpu / roundRequests);
        roundSeconds = roundCpu = 0;
        roundRequests = 0;
    }
};

// Throughput ratios of vorn over a reference, from batches run back to
// back. Each pair of batches gives two ratios: of their wall times, and of
// their median round trips (which leaves out the requests that other work
// on the machine delayed); per round, the median over its pairs.
struct RatioSeries {
    std::vector<double> pairs;
    std::vector<double> medianPairs;
    std::vector<double> rounds;
    std::vector<double> medianRounds;
    void add(const Batch& vorn, const Batch& ref)
    {
        pairs.push_back(ref.seconds / vorn.seconds);
        medianPairs.push_back(summarize(ref.each).median / summarize(vorn.each).median);
    }
    void endRound()
    {
        if (!pairs.empty()) {
            rounds.push_back(summarize(pairs).median);
            medianRounds.push_back(summarize(medianPairs).median);
        }
        pairs.clear();
        medianPairs.clear();
    }
};

Json ratioJson(const RatioSeries& r);

struct LetterRun {
    Letter letter;
    Series vorn, floor, inetd, qga, floorUnix, own;
    RatioSeries toFloor, toInetd, toQga, toOwn;
    // The query's own cost, each server's round trip less the floor's over
    // the same transport: qemu-ga's over vorn's, per pair, median per round.
    std::vector<double> queryCostPairs;
    std::vector<double> queryCostRounds;
    std::vector<double> vornQueryUs;
    std::vector<double> qgaQueryUs;
};

Json seriesJson(const Series& s);
double perSecondMedian(const Series& s);
double cpuUsMedian(const Series& s);

// One batch against a server, with the server process's CPU time.
Batch timedBatch(const Target& target, const std::string& request, unsigned count, pid_t server, double& cpuSeconds);

// --- the benchmark -------------------------------------------------------------

class Bench {
public:
    // realIfconfig: the machine's /sbin/ifconfig, empty when it has none.
    Bench(Options o, std::string realIfconfig) : opt_(std::move(o)), realIfconfig_(std::move(realIfconfig)) {}
    int run();

private:
    void writeFixtures(Board& board);
    void startReferences(Board& board);
    void roundTrips();
    std::vector<MemoryRow> memory(const char* when, Json& into);
    void memoryTable(const std::vector<MemoryRow>& atStart, const std::vector<MemoryRow>& after,
                     std::uint64_t footprintStart, std::uint64_t footprintAfter);
    void topUp();
    void idle(Board& board);
    void growth(Board& board);
    void withoutPreload(Board& board);
    void goals();
    void monitors(Board& board);
    void monitorsWithVornctlSp(Board& board);
    void mcThroughput();
    void callgrind(Board& board);
    void startup();
    // The daemon's address for the SP's requests: where 'J' last moved the link.
    Target vornTarget() const;
    // n 'J' requests, each moving the link to the other address and sent to
    // the address the one before moved it to; a request that meets the
    // listener being renewed is sent again, at once when the old listener
    // reset it, 50 us later when it was refused, and its time counts from
    // the first attempt. The first and last exchanges are kept
    // when asked for; the CPU time is the request server's (server > 0).
    Batch linkBatch(unsigned n, pid_t server, Exchange* first = nullptr, Exchange* last = nullptr,
                    double* cpuSeconds = nullptr);
    void machine();
    void binarySize();
    unsigned n(unsigned full, unsigned quick) const { return opt_.quick ? quick : full; }

    Options opt_;
    Json json_ = Json::object();
    std::vector<LetterRun> runs_;
    std::map<char, std::string> documents_;
    Child floor_;
    Child floorUnix_;
    Child ownFloor_;
    std::vector<Child> inetd_;
    Child qga_;
    std::string qgaWhy_;
    std::string cpuinfoModel_;
    DaemonPids pids_;
    // For the goals.
    std::vector<std::pair<std::string, double>> growthExponents_;
    std::optional<Memory> vornMemoryAfter_;
    Summary eWithoutPreload_;
    unsigned long vornRequests_ = 0;
    unsigned long qgaRequests_ = 0;
    bool referencesUp_ = false;
    std::string linkAt_ = testbed::kPlatAddress;
    double startAnswerMs_ = NAN;
    double startQgaMs_ = NAN;
    // Start-up against its floor, with the fake and the real ifconfig.
    double startFloorMs_ = NAN;
    double startFloorRatio_ = NAN;
    double startBeyondFloorMs_ = NAN;
    double startRealAnswerMs_ = NAN;
    double startRealFloorMs_ = NAN;
    double startRealFloorRatio_ = NAN;
    double startRealBeyondFloorMs_ = NAN;
    // The machine's ifconfig (net-tools), empty when it has none.
    std::string realIfconfig_;
};

} // namespace bench
