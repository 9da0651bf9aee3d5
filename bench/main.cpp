// vorn-bench: the cost of every request, the memory, the idle cost and the
// monitors' accuracy of the real daemon on the simulated board, beside the
// floor of the protocol (a minimal C server), an inetd-style agent (socat
// forking a shell script) and qemu-ga.
//
// Run it directly (bench/run does, after building): outside a sandbox it
// starts itself again through vorn-sandbox. It prints one report and writes
// the same figures as JSON to the descriptor given with --json-fd.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <functional>
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

#include "board.h"
#include "callgrind.h"
#include "client.h"
#include "fixtures.h"
#include "json.h"
#include "procstats.h"
#include "stats.h"

#ifndef VORN_BENCH_FLOOR_FILE
#error "VORN_BENCH_FLOOR_FILE must name the floor server"
#endif
#ifndef VORN_BENCH_DAEMON_FILE
#error "VORN_BENCH_DAEMON_FILE must name the daemon"
#endif
#ifndef VORN_BENCH_SIMDRV_FILE
#error "VORN_BENCH_SIMDRV_FILE must name the simulated drivers"
#endif

namespace {

using namespace bench;
using testbed::Board;
using testbed::Clock;
using testbed::Millis;

constexpr const char* kRunDir = "/run/bench";
constexpr std::uint16_t kFloorPort = 7000;
constexpr std::uint16_t kFloorFilePort = 7001;
constexpr std::uint16_t kInetdPortBase = 7100;
constexpr const char* kQgaSocket = "/run/bench/qga.sock";
constexpr const char* kFloorSocket = "/run/bench/floor.sock";

struct Options {
    bool quick = false;
    std::string only = "123456"; // sections to run
    std::string installedBinary;
    std::string letters; // section 1 and 2: only these letters (all when empty)
    int jsonFd = -1;
};

Options gOptions;

bool wanted(const Options& o, char section)
{
    return o.only.find(section) != std::string::npos;
}

// --- output -----------------------------------------------------------------

// The report, printed at the end: one block per section, in section order.
std::map<int, std::string> gReport;
int gSection = 0;

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stderr, format, ap);
    va_end(ap);
}

void row(const char* format, ...) __attribute__((format(printf, 1, 2)));
void row(const char* format, ...)
{
    char line[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    gReport[gSection] += line;
    gReport[gSection] += '\n';
}

std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* format, ...)
{
    char line[256];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    return line;
}

void printReport()
{
    std::printf("\n");
    for (const auto& [section, text] : gReport)
        std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

Json summaryJson(const Summary& s)
{
    Json j = Json::object();
    j["median"] = s.median;
    j["min"] = s.min;
    j["max"] = s.max;
    j["mean"] = s.mean;
    j["n"] = static_cast<unsigned long>(s.count);
    return j;
}

// "0.93 (0.90-0.95)"
std::string ratioText(const Summary& s)
{
    if (!std::isfinite(s.median))
        return "-";
    if (s.median >= 10)
        return fmt("%.0f (%.0f-%.0f)", s.median, s.min, s.max);
    return fmt("%.2f (%.2f-%.2f)", s.median, s.min, s.max);
}

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

std::string which(const std::string& name)
{
    for (const char* dir : {"/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
        const std::string path = std::string(dir) + "/" + name;
        if (::access(path.c_str(), X_OK) == 0)
            return path;
    }
    return {};
}

bool waitUntil(const std::function<bool()>& done, Millis timeout)
{
    const auto end = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() >= end)
            return false;
        std::this_thread::sleep_for(Millis{10});
    }
    return true;
}

void writeText(const std::string& path, const std::string& text, mode_t mode = 0644)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        throw std::runtime_error("cannot write " + path);
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::fchmod(fd, mode);
    ::close(fd);
    if (!ok)
        throw std::runtime_error("cannot write " + path);
}

// --- the letters and the targets ---------------------------------------------

struct Letter {
    char letter;
    std::string request;
    const char* qga; // the equivalent qemu-ga command, if any
    const char* what;
    // A file whose content the answer must follow, so that the daemon opens
    // and reads it at every request (for the floor that does the same).
    const char* readsFile;
};

const std::vector<Letter>& allLetters();

// The letters of this run.
const std::vector<Letter>& letters()
{
    static const std::vector<Letter> all = [] {
        std::vector<Letter> chosen;
        for (const Letter& l : allLetters())
            if (gOptions.letters.empty() || gOptions.letters.find(l.letter) != std::string::npos)
                chosen.push_back(l);
        return chosen;
    }();
    return all;
}

const std::vector<Letter>& allLetters()
{
    static const std::vector<Letter> all = {
        {'v', "v", nullptr, "features", nullptr},
        {'T', "T", "guest-get-time", "time", nullptr},
        {'H', "H", "guest-get-host-name", "host name", nullptr},
        {'e', "e", "guest-network-get-interfaces", "network status", nullptr},
        {'C', "C", nullptr, "sensors", nullptr},
        {'c', "c 0", nullptr, "CPU identity", nullptr},
        {'L', "L", nullptr, "inventory", nullptr},
        {'d', "d", nullptr, "name servers", "/etc/resolv.conf"},
    };
    return all;
}

std::string qgaRequest(const char* command)
{
    return std::string("{\"execute\":\"") + command + "\"}\n";
}

Target tcpTarget(std::uint16_t port)
{
    Target t;
    t.kind = Target::Kind::Tcp;
    t.source = testbed::kSpAddress;
    t.host = testbed::kPlatAddress;
    t.port = port;
    return t;
}

Target floorUnixTarget()
{
    Target t;
    t.kind = Target::Kind::UnixClose;
    t.path = kFloorSocket;
    return t;
}

Target qgaTarget()
{
    Target t;
    t.kind = Target::Kind::UnixLine;
    t.path = kQgaSocket;
    return t;
}

// The shell script of the inetd-style agent: prints the document.
std::string printingScript(const std::string& document)
{
    std::string s = "#!/bin/sh\nprintf '";
    for (const unsigned char c : document) {
        if (c != 0 && (std::isalnum(c) || std::strchr("<>/=.:_- ?\"", c) != nullptr)) {
            s += static_cast<char>(c);
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\%03o", c);
            s += esc;
        }
    }
    s += "'\n";
    return s;
}

// --- the processes of the daemon -------------------------------------------

struct DaemonPids {
    pid_t server = 0;
    pid_t mc = 0;
    pid_t hb = 0;
};

DaemonPids daemonPids(Board& board)
{
    DaemonPids p;
    p.server = board.daemonPid();
    for (const auto& call : board.driver().calls()) {
        if (call.request == testbed::simdrv::kHbBeat && p.hb == 0)
            p.hb = call.pid;
        if (call.request == testbed::simdrv::kMcRegIf && p.mc == 0)
            p.mc = call.pid;
    }
    return p;
}

Json memoryJson(const Memory& m)
{
    Json j = Json::object();
    j["rss_kib"] = static_cast<unsigned long>(m.rssKb);
    j["pss_kib"] = static_cast<unsigned long>(m.pssKb);
    j["pss_anon_kib"] = static_cast<unsigned long>(m.pssAnonKb);
    j["pss_file_kib"] = static_cast<unsigned long>(m.pssFileKb);
    j["uss_kib"] = static_cast<unsigned long>(m.privateKb);
    j["pss_without_simulated_drivers_kib"] = static_cast<unsigned long>(m.pssKb - m.pssExcludedKb);
    return j;
}

struct MemoryRow {
    std::string name;
    Memory m;
};

// The mappings that only the simulated board puts into the daemon: the
// preloaded drivers and their shared state.
const std::vector<std::string> kTestbedMappings = {"vorn_simdrv", "/run/testbed/"};

std::vector<MemoryRow> memoryRows(const DaemonPids& p, pid_t qga)
{
    std::vector<MemoryRow> rows;
    const std::pair<const char*, pid_t> procs[] = {
        {"request server", p.server}, {"MC monitor", p.mc}, {"HB monitor", p.hb}, {"qemu-ga", qga}};
    for (const auto& [name, pid] : procs) {
        if (pid <= 0)
            continue;
        if (const auto m = memoryOf(pid, kTestbedMappings))
            rows.push_back({name, *m});
    }
    return rows;
}

// Kilobytes of the page frames that the daemon's processes hold, each frame
// counted once (so what they would hold if nothing else shared their pages).
std::uint64_t footprintKb(const DaemonPids& p)
{
    std::set<std::uint64_t> frames;
    for (const pid_t pid : {p.server, p.mc, p.hb}) {
        if (pid > 0) {
            const auto f = residentFrames(pid, kTestbedMappings);
            frames.insert(f.begin(), f.end());
        }
    }
    return frames.size() * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)) / 1024;
}

// --- section 1: round trip and throughput ------------------------------------

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

Json ratioJson(const RatioSeries& r)
{
    Json j = Json::object();
    j["from_median_round_trips"] = summaryJson(summarize(r.medianRounds));
    j["from_batch_times"] = summaryJson(summarize(r.rounds));
    return j;
}

struct LetterRun {
    Letter letter;
    Series vorn, floor, inetd, qga, floorUnix, floorFile;
    RatioSeries toFloor, toInetd, toQga, toFloorFile;
    // The query's own cost, each server's round trip less the floor's over
    // the same transport: qemu-ga's over vorn's, per pair, median per round.
    std::vector<double> queryCostPairs;
    std::vector<double> queryCostRounds;
    std::vector<double> vornQueryUs;
    std::vector<double> qgaQueryUs;
};

Json seriesJson(const Series& s)
{
    Json j = Json::object();
    j["available"] = s.available;
    if (!s.available) {
        j["why"] = s.why;
        return j;
    }
    std::vector<double> perSecond;
    for (double t : s.roundSecondsPerRequest)
        perSecond.push_back(1.0 / t);
    std::vector<double> cpuUs;
    for (double t : s.roundCpuPerRequest)
        cpuUs.push_back(t * 1e6);
    j["requests"] = s.requests;
    j["failures"] = s.failures;
    j["round_trip_us_median"] = quantile(s.latencies, 0.5) * 1e6;
    j["round_trip_us_p90"] = quantile(s.latencies, 0.9) * 1e6;
    j["round_trip_us_p99"] = quantile(s.latencies, 0.99) * 1e6;
    j["throughput_per_s"] = summaryJson(summarize(perSecond));
    j["server_cpu_us_per_request"] = summaryJson(summarize(cpuUs));
    return j;
}

double perSecondMedian(const Series& s)
{
    std::vector<double> v;
    for (double t : s.roundSecondsPerRequest)
        v.push_back(1.0 / t);
    return summarize(v).median;
}

double cpuUsMedian(const Series& s)
{
    return summarize(s.roundCpuPerRequest).median * 1e6;
}

// --- the benchmark -------------------------------------------------------------

class Bench {
public:
    explicit Bench(Options o) : opt_(std::move(o)) {}
    int run();

private:
    void writeFixtures(Board& board);
    void startReferences();
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
    void callgrind(Board& board);
    void machine();
    void binarySize();
    unsigned n(unsigned full, unsigned quick) const { return opt_.quick ? quick : full; }

    Options opt_;
    Json json_ = Json::object();
    std::vector<LetterRun> runs_;
    std::map<char, std::string> documents_;
    Child floor_;
    Child floorUnix_;
    Child floorFile_;
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
};

void Bench::machine()
{
    Json m = Json::object();
    utsname u{};
    ::uname(&u);
    std::string model = "?";
    if (const auto info = readText("/proc/cpuinfo")) {
        cpuinfoModel_ = *info;
        const auto pos = info->find("model name");
        if (pos != std::string::npos) {
            const auto colon = info->find(':', pos);
            model = info->substr(colon + 2, info->find('\n', colon) - colon - 2);
        }
    }
    const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    std::string load = readText("/proc/loadavg").value_or("?");
    load = load.substr(0, load.find('\n'));
    char date[64];
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S %Z", std::localtime(&now));
    m["date"] = date;
    m["kernel"] = std::string(u.sysname) + " " + u.release + " " + u.machine;
    m["cpu"] = model;
    m["cpus"] = cpus;
    m["loadavg_at_start"] = load;
    m["quick"] = opt_.quick;
    json_["machine"] = m;
    row("vorn benchmark, %s", date);
    row("machine: %s, %ld CPUs, %s %s; load average at start %s%s", model.c_str(), cpus, u.sysname, u.release,
        load.c_str(), opt_.quick ? "  [QUICK RUN: few samples]" : "");
}

void Bench::binarySize()
{
    if (opt_.installedBinary.empty())
        return;
    struct stat st {};
    if (::stat(opt_.installedBinary.c_str(), &st) != 0)
        return;
    Json b = Json::object();
    b["path"] = opt_.installedBinary;
    b["bytes"] = static_cast<unsigned long>(st.st_size);
    json_["installed_binary"] = b;
    row("installed binary (stripped): %ld bytes (%.1f KiB)", static_cast<long>(st.st_size),
        static_cast<double>(st.st_size) / 1024.0);
    // Its dynamic dependencies: what the three processes map beside it.
    if (FILE* p = ::popen(("ldd " + opt_.installedBinary + " 2>/dev/null").c_str(), "r")) {
        std::string libs;
        Json arr = Json::array();
        char line[512];
        while (std::fgets(line, sizeof line, p)) {
            std::string l(line);
            const auto start = l.find_first_not_of(" \t");
            const auto end = l.find(" (");
            if (start == std::string::npos)
                continue;
            l = l.substr(start, end == std::string::npos ? std::string::npos : end - start);
            while (!l.empty() && (l.back() == '\n' || l.back() == ' '))
                l.pop_back();
            arr.push(l);
            libs += (libs.empty() ? "" : ", ") + l.substr(0, l.find(' '));
        }
        ::pclose(p);
        json_["installed_binary"]["libraries"] = arr;
        row("  linked with: %s", libs.c_str());
    }
}

void Bench::writeFixtures(Board& board)
{
    const InventoryFiles inv = typicalInventory();
    board.writeFile("/etc/kelmora/swinventory.xml", inv.main);
    board.writeFile("/etc/kelmora/hlink/swinventory.xml", inv.hlink);
    board.writeFile("/etc/kelmora/oxa_mc/swinventory.xml", inv.mc);
    board.writeFile("/etc/kelmora/vorn/swinventory.xml", inv.agent);
    board.writeFile("/etc/init.d/vorn", "#!/bin/sh\n# vorn\n", 0755);
    board.writeFile("/etc/resolv.conf", typicalResolvConf());
    // Many short connections: a wide port range in the sandbox's network.
    board.run("echo '1024 65000' > /proc/sys/net/ipv4/ip_local_port_range");
}

void Bench::startReferences()
{
    const std::string floorDir = std::string(kRunDir) + "/floor";
    const std::string inetdDir = std::string(kRunDir) + "/inetd";
    ::mkdir(floorDir.c_str(), 0755);
    ::mkdir(inetdDir.c_str(), 0755);

    // The daemon's own answers become the references' answers.
    for (const Letter& l : letters()) {
        const Exchange e = exchangeOnce(tcpTarget(testbed::kServerPort), l.request);
        if (!e.ok)
            throw std::runtime_error(fmt("the daemon did not answer '%c'", l.letter));
        documents_[l.letter] = e.bytes;
        writeText(fmt("%s/%02x", floorDir.c_str(), static_cast<unsigned>(l.letter)), e.bytes);
        writeText(fmt("%s/%02x.sh", inetdDir.c_str(), static_cast<unsigned>(l.letter)), printingScript(e.bytes), 0755);
    }

    floor_ = Child::spawn({VORN_BENCH_FLOOR_FILE, testbed::kPlatAddress, std::to_string(kFloorPort), floorDir},
                          std::string(kRunDir) + "/floor.log");
    floorUnix_ =
        Child::spawn({VORN_BENCH_FLOOR_FILE, "unix", kFloorSocket, floorDir}, std::string(kRunDir) + "/floor.log");
    std::vector<std::string> floorFileArgs = {VORN_BENCH_FLOOR_FILE, testbed::kPlatAddress,
                                              std::to_string(kFloorFilePort), floorDir};
    for (const Letter& l : letters())
        if (l.readsFile)
            floorFileArgs.push_back(fmt("%c=%s", l.letter, l.readsFile));
    floorFile_ = Child::spawn(floorFileArgs, std::string(kRunDir) + "/floor.log");

    const std::string socat = which("socat");
    if (socat.empty())
        throw std::runtime_error("socat is not installed (bench/run installs it)");
    for (std::size_t i = 0; i < letters().size(); ++i) {
        const auto port = static_cast<std::uint16_t>(kInetdPortBase + i);
        inetd_.push_back(
            Child::spawn({socat, fmt("TCP4-LISTEN:%u,bind=%s,reuseaddr,fork,backlog=5", port, testbed::kPlatAddress),
                          fmt("EXEC:%s/%02x.sh", inetdDir.c_str(), static_cast<unsigned>(letters()[i].letter))},
                         std::string(kRunDir) + "/socat.log"));
    }

    const std::string qemuGa = which("qemu-ga");
    if (qemuGa.empty()) {
        qgaWhy_ = "qemu-ga is not installed";
    } else {
        const std::string state = std::string(kRunDir) + "/qga-state";
        ::mkdir(state.c_str(), 0755);
        qga_ = Child::spawn({qemuGa, "-m", "unix-listen", "-p", kQgaSocket, "-t", state},
                            std::string(kRunDir) + "/qga.log");
    }

    // Ready, and answering as the daemon does.
    const bool floorUp = waitUntil([&] { return exchangeOnce(tcpTarget(kFloorPort), "v").ok; }, Millis{5000});
    if (!floorUp || !waitUntil([&] { return exchangeOnce(floorUnixTarget(), "v").ok; }, Millis{5000}) ||
        !waitUntil([&] { return exchangeOnce(tcpTarget(kFloorFilePort), "v").ok; }, Millis{5000}))
        throw std::runtime_error("the floor server does not answer");
    for (std::size_t i = 0; i < letters().size(); ++i) {
        const Letter& l = letters()[i];
        const auto floorAnswer = exchangeOnce(tcpTarget(kFloorPort), l.request);
        Exchange inetdAnswer;
        waitUntil(
            [&] {
                inetdAnswer = exchangeOnce(tcpTarget(static_cast<std::uint16_t>(kInetdPortBase + i)), l.request);
                return inetdAnswer.ok && inetdAnswer.bytes == documents_[l.letter];
            },
            Millis{5000});
        if (floorAnswer.bytes != documents_[l.letter] ||
            (l.readsFile && exchangeOnce(tcpTarget(kFloorFilePort), l.request).bytes != documents_[l.letter]))
            throw std::runtime_error(fmt("the floor's answer to '%c' differs from the daemon's", l.letter));
        if (inetdAnswer.bytes != documents_[l.letter])
            throw std::runtime_error(fmt("the inetd-style answer to '%c' differs from the daemon's (%zu bytes, %zu "
                                         "expected); socat's log: ",
                                         l.letter, inetdAnswer.bytes.size(), documents_[l.letter].size()) +
                                     readText(std::string(kRunDir) + "/socat.log").value_or(""));
    }
    if (qga_.pid() > 0) {
        Exchange e;
        waitUntil(
            [&] {
                e = exchangeOnce(qgaTarget(), qgaRequest("guest-get-time"));
                return e.ok;
            },
            Millis{5000});
        if (!e.ok || e.bytes.rfind("{\"return\"", 0) != 0) {
            qgaWhy_ = "qemu-ga did not answer on its UNIX socket: " +
                      readText(std::string(kRunDir) + "/qga.log").value_or("");
            qga_.stop();
        }
    }
    referencesUp_ = true;
}

// One batch against a server, with the server process's CPU time.
Batch timedBatch(const Target& target, const std::string& request, unsigned count, pid_t server, double& cpuSeconds)
{
    const auto before = server > 0 ? cpuOf(server) : std::nullopt;
    Batch b = runBatch(target, request, count);
    const auto after = server > 0 ? cpuOf(server) : std::nullopt;
    cpuSeconds = before && after ? static_cast<double>(after->onCpuNs - before->onCpuNs) * 1e-9 : NAN;
    return b;
}

void Bench::roundTrips()
{
    gSection = 1;
    const unsigned rounds = n(7, 2);
    const unsigned pairs = n(30, 6);
    const unsigned perBatch = n(25, 25);
    const unsigned nInetd = n(20, 5);
    say("1. round trip and throughput: %u rounds; per letter and round %u batches of %u requests to vorn, the "
        "floor and qemu-ga, back to back, and %u to the inetd-style agent\n",
        rounds, pairs, perBatch, nInetd);

    runs_.clear();
    for (const Letter& l : letters()) {
        LetterRun r{l, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}};
        r.vorn.available = r.floor.available = r.inetd.available = true;
        r.floorFile.available = l.readsFile != nullptr;
        r.qga.available = l.qga != nullptr && qga_.pid() > 0;
        r.qga.why = l.qga == nullptr ? "no equivalent query" : qgaWhy_;
        r.floorUnix.available = r.qga.available;
        runs_.push_back(r);
    }
    const Target vorn = tcpTarget(testbed::kServerPort);
    const Target floor = tcpTarget(kFloorPort);
    for (unsigned round = 0; round < rounds; ++round) {
        for (std::size_t i = 0; i < runs_.size(); ++i) {
            LetterRun& r = runs_[i];
            const std::string& req = r.letter.request;
            const std::string qreq = r.letter.qga ? qgaRequest(r.letter.qga) : std::string();
            for (unsigned p = 0; p < pairs; ++p) {
                // The order alternates, so that a change of the machine's
                // speed within a pair favours neither.
                double cpuV = 0;
                double cpuF = 0;
                double cpuQ = 0;
                Batch bv;
                Batch bf;
                if (p % 2 == 0) {
                    bv = timedBatch(vorn, req, perBatch, pids_.server, cpuV);
                    bf = timedBatch(floor, req, perBatch, floor_.pid(), cpuF);
                } else {
                    bf = timedBatch(floor, req, perBatch, floor_.pid(), cpuF);
                    bv = timedBatch(vorn, req, perBatch, pids_.server, cpuV);
                }
                r.vorn.add(bv, perBatch, cpuV);
                r.floor.add(bf, perBatch, cpuF);
                vornRequests_ += perBatch;
                r.toFloor.add(bv, bf);
                if (r.floorFile.available) {
                    double cpuFF = 0;
                    const Batch bff = timedBatch(tcpTarget(kFloorFilePort), req, perBatch, floorFile_.pid(), cpuFF);
                    r.floorFile.add(bff, perBatch, cpuFF);
                    r.toFloorFile.add(bv, bff);
                }
                if (r.qga.available) {
                    const Batch bq = timedBatch(qgaTarget(), qreq, perBatch, qga_.pid(), cpuQ);
                    r.qga.add(bq, perBatch, cpuQ);
                    qgaRequests_ += perBatch;
                    r.toQga.add(bv, bq);
                    double cpuU = 0;
                    const Batch bu = timedBatch(floorUnixTarget(), req, perBatch, floorUnix_.pid(), cpuU);
                    r.floorUnix.add(bu, perBatch, cpuU);
                    const double vornQuery = summarize(bv.each).median - summarize(bf.each).median;
                    const double qgaQuery = summarize(bq.each).median - summarize(bu.each).median;
                    r.queryCostPairs.push_back(qgaQuery / vornQuery);
                    r.vornQueryUs.push_back(vornQuery * 1e6);
                    r.qgaQueryUs.push_back(qgaQuery * 1e6);
                }
            }
            double unused = 0;
            const Batch bi =
                timedBatch(tcpTarget(static_cast<std::uint16_t>(kInetdPortBase + i)), req, nInetd, 0, unused);
            r.inetd.add(bi, nInetd, NAN);
            r.vorn.endRound();
            r.floor.endRound();
            r.inetd.endRound();
            r.qga.endRound();
            r.floorUnix.endRound();
            r.floorFile.endRound();
            r.toInetd.pairs.push_back(r.inetd.roundSecondsPerRequest.back() / r.vorn.roundSecondsPerRequest.back());
            {
                const auto roundCount = static_cast<std::ptrdiff_t>(pairs) * static_cast<std::ptrdiff_t>(perBatch);
                const std::vector<double> vornRound(r.vorn.latencies.end() - roundCount, r.vorn.latencies.end());
                r.toInetd.medianPairs.push_back(summarize(bi.each).median / summarize(vornRound).median);
            }
            r.toFloor.endRound();
            r.toInetd.endRound();
            r.toQga.endRound();
            r.toFloorFile.endRound();
            if (!r.queryCostPairs.empty())
                r.queryCostRounds.push_back(summarize(r.queryCostPairs).median);
            r.queryCostPairs.clear();
        }
        say("   round %u/%u done\n", round + 1, rounds);
    }

    Json section = Json::object();
    row("1. Round trip and throughput: one connection per request from the SP's address, sequential, %u rounds.",
        rounds);
    row("   req/s: requests over the batches' wall time, median over rounds. Ratios are throughput ratios, vorn over "
        "the reference (>1: vorn faster),");
    row("   from the median round trips of %u pairs of batches of %u run back to back (so that requests delayed by "
        "other work on the machine",
        pairs, perBatch);
    row("   count for neither): median over rounds (min-max). CPU: the server process's on-CPU time per request.");
    row("%-4s %-14s %8s %8s %8s %8s %8s %8s %7s %7s %17s %14s %17s", "", "", "vorn", "vorn", "floor", "inetd",
        "qemu-ga", "vorn", "floor", "qemu-ga", "vorn/floor", "vorn/inetd", "vorn/qemu-ga");
    row("%-4s %-14s %8s %8s %8s %8s %8s %8s %7s %7s", "cmd", "", "p50 us", "req/s", "req/s", "req/s", "req/s", "CPU us",
        "CPU us", "CPU us");
    for (const LetterRun& r : runs_) {
        auto perSecond = [](const Series& s) {
            return s.available && !s.roundSecondsPerRequest.empty() ? fmt("%.0f", perSecondMedian(s))
                                                                    : std::string("-");
        };
        auto cpu = [](const Series& s) {
            return s.available && !s.roundCpuPerRequest.empty() ? fmt("%.1f", cpuUsMedian(s)) : std::string("-");
        };
        const Summary toFloor = summarize(r.toFloor.medianRounds);
        const Summary toInetd = summarize(r.toInetd.medianRounds);
        const Summary toQga = summarize(r.toQga.medianRounds);
        row("'%c'  %-14s %8.1f %8s %8s %8s %8s %8s %7s %7s %17s %14s %17s", r.letter.letter, r.letter.what,
            quantile(r.vorn.latencies, 0.5) * 1e6, perSecond(r.vorn).c_str(), perSecond(r.floor).c_str(),
            perSecond(r.inetd).c_str(), perSecond(r.qga).c_str(), cpu(r.vorn).c_str(), cpu(r.floor).c_str(),
            cpu(r.qga).c_str(), ratioText(toFloor).c_str(), ratioText(toInetd).c_str(), ratioText(toQga).c_str());
        const unsigned failures = r.vorn.failures + r.floor.failures + r.inetd.failures + r.qga.failures;
        if (failures > 0)
            row("     (%u failed exchanges: vorn %u, floor %u, inetd %u, qemu-ga %u)", failures, r.vorn.failures,
                r.floor.failures, r.inetd.failures, r.qga.failures);

        Json j = Json::object();
        j["request"] = r.letter.request;
        j["answer_bytes"] = static_cast<unsigned long>(documents_[r.letter.letter].size());
        j["vorn"] = seriesJson(r.vorn);
        j["floor"] = seriesJson(r.floor);
        j["inetd"] = seriesJson(r.inetd);
        Json q = seriesJson(r.qga);
        if (r.letter.qga)
            q["command"] = r.letter.qga;
        j["qemu_ga"] = q;
        j["floor_unix"] = seriesJson(r.floorUnix);
        if (r.floorUnix.available) {
            Json q2 = Json::object();
            q2["vorn_us_median"] = summarize(r.vornQueryUs).median;
            q2["qemu_ga_us_median"] = summarize(r.qgaQueryUs).median;
            q2["ratio_qemu_ga_over_vorn"] = summaryJson(summarize(r.queryCostRounds));
            q2["note"] = "round trip less the floor's round trip over the same transport (TCP for vorn, UNIX for "
                         "qemu-ga), from the median round trips of batches run back to back";
            j["query_cost"] = q2;
        }
        j["ratio_vorn_floor"] = ratioJson(r.toFloor);
        j["ratio_vorn_inetd"] = ratioJson(r.toInetd);
        j["ratio_vorn_qemu_ga"] = ratioJson(r.toQga);
        if (r.floorFile.available) {
            j["floor_reading_file"] = seriesJson(r.floorFile);
            j["floor_reading_file"]["file"] = r.letter.readsFile;
            j["ratio_vorn_floor_reading_file"] = ratioJson(r.toFloorFile);
        }
        section[std::string(1, r.letter.letter)] = j;
    }
    if (!qgaWhy_.empty())
        row("     qemu-ga unavailable: %s", qgaWhy_.c_str());
    row("   qemu-ga answers on a UNIX socket (it has no TCP listener), vorn and the others over TCP. The same floor "
        "over a UNIX socket:");
    for (const LetterRun& r : runs_) {
        if (!r.floorUnix.available)
            continue;
        row("   '%c': floor over UNIX %.0f req/s, %.1f CPU us (over TCP %.0f req/s, %.1f CPU us). The query's own cost "
            "(round trip less the floor's",
            r.letter.letter, perSecondMedian(r.floorUnix), cpuUsMedian(r.floorUnix), perSecondMedian(r.floor),
            cpuUsMedian(r.floor));
        row("        over the same transport): vorn %.1f us, qemu-ga %.1f us; qemu-ga/vorn %s",
            summarize(r.vornQueryUs).median, summarize(r.qgaQueryUs).median,
            ratioText(summarize(r.queryCostRounds)).c_str());
    }
    for (const LetterRun& r : runs_) {
        if (!r.floorFile.available)
            continue;
        row("   '%c' answers from %s as it is at the request, so it opens and reads the file every time. The floor "
            "that "
            "also opens, reads",
            r.letter.letter, r.letter.readsFile);
        row("        and closes it per request: %.0f req/s, %.1f CPU us (the plain floor %.0f req/s, %.1f CPU us); "
            "vorn/that floor %s",
            perSecondMedian(r.floorFile), cpuUsMedian(r.floorFile), perSecondMedian(r.floor), cpuUsMedian(r.floor),
            ratioText(summarize(r.toFloorFile.medianRounds)).c_str());
    }
    json_["round_trip"] = section;
}

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
    while (vornRequests_ < target) {
        for (const Letter& l : letters()) {
            const unsigned chunk = static_cast<unsigned>(std::min<unsigned long>(500, target - vornRequests_));
            if (chunk == 0)
                break;
            runBatch(tcpTarget(testbed::kServerPort), l.request, chunk);
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

// Time per request of one request at one size: the median of a few batches.
struct Point {
    double size;
    double usPerRequest;
};

// Time per request of one request at one size: the median round trip of
// all requests of five batches (a median is little moved by the requests
// that other work on the machine delays).
double timePerRequest(const Target& target, const std::string& request, double budgetSeconds, unsigned maxBatch)
{
    // A first request shows the order of magnitude.
    const Exchange probe = exchangeOnce(target, request);
    if (!probe.ok)
        return NAN;
    constexpr int kBatches = 5;
    const unsigned perBatch = std::max(
        3u, std::min(maxBatch, static_cast<unsigned>(budgetSeconds / kBatches / std::max(probe.seconds, 1e-6))));
    std::vector<double> all;
    for (int i = 0; i < kBatches; ++i) {
        const Batch b = runBatch(target, request, perBatch);
        if (b.failures == 0)
            all.insert(all.end(), b.each.begin(), b.each.end());
    }
    return summarize(all).median * 1e6;
}

// The exponent k of time ~ size^k between the two largest sizes.
double growthExponent(const std::vector<Point>& points)
{
    if (points.size() < 2)
        return NAN;
    const Point& a = points[points.size() - 2];
    const Point& b = points.back();
    return std::log(b.usPerRequest / a.usPerRequest) / std::log(b.size / a.size);
}

double growthRows(const char* what, const char* unit, const std::vector<Point>& points, Json& into)
{
    std::string sizes;
    std::string times;
    Json arr = Json::array();
    for (const Point& p : points) {
        sizes += fmt("%10.0f", p.size);
        times += fmt("%10.1f", p.usPerRequest);
        Json j = Json::object();
        j["size"] = p.size;
        j["us_per_request"] = p.usPerRequest;
        arr.push(j);
    }
    const double k = growthExponent(points);
    row("%-28s %-10s%s", what, unit, sizes.c_str());
    row("%-28s %-10s%s   growth exponent %.2f (last step)", "", "us/req", times.c_str(), k);
    Json j = Json::object();
    j["unit"] = unit;
    j["points"] = arr;
    j["growth_exponent_last_step"] = k;
    into[what] = j;
    return k;
}

void Bench::growth(Board& board)
{
    gSection = 6;
    say("6. growth\n");
    const Target vorn = tcpTarget(testbed::kServerPort);
    const double budget = opt_.quick ? 0.3 : 1.5;
    Json section = Json::object();
    row("6. Growth: time per request (median round trip) against the size of the host; the growth exponent k of "
        "time ~ size^k between the two largest sizes (1: linear)");

    // 'c' and 'C' read the CPU description.
    std::vector<Point> c;
    std::vector<Point> bigC;
    for (unsigned cpus : {2u, 64u, 256u, 1024u}) {
        board.bindOver("/proc/cpuinfo", cpuinfoOf(cpus, cpuinfoModel_));
        c.push_back({static_cast<double>(cpus), timePerRequest(vorn, "c 0", budget, 2000)});
        bigC.push_back({static_cast<double>(cpus), timePerRequest(vorn, "C", budget, 2000)});
    }
    growthExponents_.emplace_back("'c' CPU identity", 0.0);
    growthExponents_.back().second = growthRows("'c' CPU identity", "CPUs", c, section);
    growthExponents_.emplace_back("'C' sensors (reads cpuinfo)", 0.0);
    growthExponents_.back().second = growthRows("'C' sensors (reads cpuinfo)", "CPUs", bigC, section);

    // 'e' over added interfaces, beside qemu-ga's interface query.
    std::vector<Point> e;
    std::vector<Point> q;
    unsigned have = 0;
    std::string failure;
    for (unsigned count : {1u, 10u, 100u, 500u}) {
        writeText(std::string(kRunDir) + "/links.batch", addInterfacesScript(have, count - have, testbed::kHostLinkIf));
        const auto r = board.run(std::string("ip -batch ") + kRunDir + "/links.batch");
        if (r.status != 0) {
            failure = r.output;
            break;
        }
        have = count;
        e.push_back({static_cast<double>(count), timePerRequest(vorn, "e", budget, 2000)});
        if (qga_.pid() > 0)
            q.push_back({static_cast<double>(count),
                         timePerRequest(qgaTarget(), qgaRequest("guest-network-get-interfaces"), budget, 2000)});
    }
    if (!failure.empty())
        row("   cannot add interfaces: %s", failure.c_str());
    growthExponents_.emplace_back("'e' network status", 0.0);
    growthExponents_.back().second = growthRows("'e' network status", "+ifaces", e, section);
    if (!q.empty()) {
        growthRows("qemu-ga interfaces", "+ifaces", q, section);
        std::string ratios;
        for (std::size_t i = 0; i < std::min(e.size(), q.size()); ++i)
            ratios += fmt("%10.2f", q[i].usPerRequest / e[i].usPerRequest);
        row("%-28s %-10s%s", "  vorn/qemu-ga throughput", "", ratios.c_str());
    }
    writeText(std::string(kRunDir) + "/unlinks.batch", removeInterfacesScript(have));
    board.run(std::string("ip -batch ") + kRunDir + "/unlinks.batch");

    // 'L' over main inventories that fill the document and go far beyond it.
    std::vector<Point> records;
    for (unsigned k : {4u, 64u, 1024u, 16384u}) {
        const std::string inv = inventoryWithRecords(k);
        board.writeFile("/etc/kelmora/swinventory.xml", inv);
        records.push_back({static_cast<double>(inv.size()) / 1024.0, timePerRequest(vorn, "L", budget, 2000)});
    }
    growthExponents_.emplace_back("'L' inventory records", 0.0);
    growthExponents_.back().second = growthRows("'L' inventory records", "KiB", records, section);
    std::vector<Point> components;
    for (unsigned k : {1u, 4u, 16u, 64u}) {
        board.writeFile("/etc/kelmora/swinventory.xml", inventoryWithComponents(k));
        components.push_back({static_cast<double>(k), timePerRequest(vorn, "L", budget, 2000)});
    }
    growthExponents_.emplace_back("'L' inventory components", 0.0);
    growthExponents_.back().second = growthRows("'L' inventory components", "</Software>", components, section);
    board.writeFile("/etc/kelmora/swinventory.xml", typicalInventory().main);
    json_["growth"] = section;
}

// The simulated drivers are preloaded into the daemon and look at every
// open it makes and at every ioctl that is not a socket request; a real
// driver adds nothing in user space. 'e' uses no driver: here it runs on a
// daemon started without the preload, as on a host (its monitors end at
// their first driver request), beside qemu-ga.
void Bench::withoutPreload(Board& board)
{
    gSection = 1;
    say("1. 'e' on a daemon without the simulated drivers' preload\n");
    // The daemon's own processes only: the references stay.
    for (const pid_t pid : {pids_.server, pids_.mc, pids_.hb}) {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    ::unlink("/var/run/vorn.pid");
    waitUntil([&] { return !testbed::listensOn(pids_.server, testbed::kServerPort); }, Millis{5000});
    Child launcher = Child::spawn({VORN_BENCH_DAEMON_FILE}, std::string(kRunDir) + "/daemon-no-preload.out");
    pid_t server = 0;
    if (!waitUntil(
            [&] {
                server = board.daemonPid();
                return server > 0 && testbed::listensOn(server, testbed::kServerPort);
            },
            Millis{10000})) {
        row("   'e' without the preload: the daemon did not start");
        return;
    }
    const unsigned rounds = n(7, 2);
    const unsigned pairs = n(10, 3);
    const unsigned perBatch = n(100, 50);
    Series e;
    Series v;
    Series q;
    RatioSeries toQga;
    RatioSeries toV;
    e.available = v.available = true;
    q.available = qga_.pid() > 0;
    const Target vorn = tcpTarget(testbed::kServerPort);
    for (unsigned round = 0; round < rounds; ++round) {
        for (unsigned p = 0; p < pairs; ++p) {
            double cpuE = 0;
            double cpuV = 0;
            double cpuQ = 0;
            const Batch be = timedBatch(vorn, "e", perBatch, server, cpuE);
            const Batch bv = timedBatch(vorn, "v", perBatch, server, cpuV);
            e.add(be, perBatch, cpuE);
            v.add(bv, perBatch, cpuV);
            toV.add(be, bv);
            if (q.available) {
                const Batch bq =
                    timedBatch(qgaTarget(), qgaRequest("guest-network-get-interfaces"), perBatch, qga_.pid(), cpuQ);
                q.add(bq, perBatch, cpuQ);
                toQga.add(be, bq);
            }
        }
        e.endRound();
        v.endRound();
        q.endRound();
        toQga.endRound();
        toV.endRound();
    }
    ::kill(server, SIGKILL);
    const Summary ratio = summarize(toQga.medianRounds);
    eWithoutPreload_ = ratio;
    row("   'e' on a daemon without the simulated drivers' preload: %.0f req/s, %.1f CPU us ('v' %.0f req/s, %.1f CPU "
        "us); qemu-ga %.0f req/s, %.1f CPU us; vorn/qemu-ga %s",
        perSecondMedian(e), cpuUsMedian(e), perSecondMedian(v), cpuUsMedian(v), q.available ? perSecondMedian(q) : NAN,
        q.available ? cpuUsMedian(q) : NAN, ratioText(ratio).c_str());
    Json j = Json::object();
    j["vorn_e"] = seriesJson(e);
    j["vorn_v"] = seriesJson(v);
    j["qemu_ga"] = seriesJson(q);
    j["ratio_vorn_qemu_ga"] = ratioJson(toQga);
    j["ratio_e_over_v"] = ratioJson(toV);
    json_["round_trip_e_without_preload"] = j;
}

void Bench::monitors(Board& board)
{
    gSection = 5;
    say("5. monitors\n");
    Json section = Json::object();
    row("5. Monitors (simulated driver time stamps)");
    const int seconds = opt_.quick ? 3 : 10;
    if (!waitUntil([&] { return board.driver().heartbeatCount() >= 1; }, Millis{5000}))
        throw std::runtime_error("no heartbeat");
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const auto beats = board.driver().heartbeats();
    std::vector<double> gaps;
    for (std::size_t i = 1; i < beats.size(); ++i)
        gaps.push_back(std::chrono::duration<double, std::milli>(beats[i] - beats[i - 1]).count());
    const Summary s = summarize(gaps);
    double worst = 0;
    for (double g : gaps)
        worst = std::max(worst, std::fabs(g - 100.0));
    row("heartbeat at 100 ms: %zu periods, mean %.3f ms (%+.3f), worst deviation %.3f ms, p99 %.3f ms", gaps.size(),
        s.mean, s.mean - 100.0, worst, quantile(gaps, 0.99));
    Json hb = Json::object();
    hb["interval_ms"] = 100;
    hb["periods"] = static_cast<unsigned long>(gaps.size());
    hb["mean_ms"] = s.mean;
    hb["worst_deviation_ms"] = worst;
    hb["p99_ms"] = quantile(gaps, 0.99);
    section["heartbeat_100ms"] = hb;

    // A flagged record queued in the driver, taken by the next poll (every
    // 100 ms) and sent to the SP on a connection of its own.
    const std::uint32_t records = opt_.quick ? 10 : 50;
    std::vector<Clock::time_point> queued;
    for (std::uint32_t i = 0; i < records; ++i) {
        RegIfVals flagged{};
        flagged.cpuId = i;
        flagged.version = 2;
        flagged.errOccurred = 1;
        RegIfVals none{};
        queued.push_back(Clock::now());
        board.driver().queueMcRecords({flagged, none, none, none});
        if (!board.sp().waitForReports(i + 1, Millis{5000}))
            throw std::runtime_error("a flagged record did not reach the SP");
        // A random phase against the poll.
        std::this_thread::sleep_for(Millis{static_cast<long>(7 * i % 100)});
    }
    const auto sets = board.driver().mcSets();
    const auto reports = board.sp().reports();
    std::vector<double> fromQueue;
    std::vector<double> fromPoll;
    const std::size_t first = sets.size() - records;
    for (std::uint32_t i = 0; i < records && i < reports.size(); ++i) {
        const auto& set = sets.at(first + i);
        fromQueue.push_back(std::chrono::duration<double, std::milli>(reports[i].complete - queued[i]).count());
        if (set.handedOut)
            fromPoll.push_back(std::chrono::duration<double, std::milli>(reports[i].complete - *set.handedOut).count());
    }
    const Summary q = summarize(fromQueue);
    const Summary p = summarize(fromPoll);
    row("flagged MC record, in the driver -> held by the SP (poll every 100 ms): %u records, mean %.3f ms, median "
        "%.3f ms, worst %.3f ms",
        records, q.mean, q.median, q.max);
    row("  of which poll -> SP (the forwarding itself):                       mean %.3f ms, median %.3f ms, worst "
        "%.3f ms",
        p.mean, p.median, p.max);
    Json mc = Json::object();
    mc["poll_interval_ms"] = 100;
    mc["records"] = records;
    mc["driver_to_sp_ms"] = summaryJson(q);
    mc["poll_to_sp_ms"] = summaryJson(p);
    section["mc_record"] = mc;
    json_["monitors"] = section;
}

// The SP's end as a user runs it: `vornctl sp --json` as the board's SP. A
// flagged record, from the driver's hand-out to its decoded line on vornctl's
// standard output (read here through a pipe, each line stamped as it
// arrives).
void Bench::monitorsWithVornctlSp(Board& board)
{
    gSection = 5;
    say("5. monitors: vornctl sp\n");
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    const pid_t sp = ::fork();
    if (sp < 0)
        throw std::runtime_error("fork");
    if (sp == 0) {
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(out[1], 1) < 0 || ::dup2(null, 2) < 0)
            _exit(127);
        ::execl(VORN_BENCH_VORNCTL_FILE, "vornctl", "sp", "--json", "--hb-interval", "100", "--mc-interval", "100",
                nullptr);
        _exit(127);
    }
    ::close(out[1]);
    std::mutex lock;
    std::vector<Clock::time_point> lines;
    std::thread reader([&, fd = out[0]] {
        char buf[65536];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
            const auto now = Clock::now();
            std::lock_guard<std::mutex> hold(lock);
            for (ssize_t k = 0; k < n; ++k)
                if (buf[k] == '\n')
                    lines.push_back(now);
        }
        ::close(fd);
    });
    auto lineCount = [&] {
        std::lock_guard<std::mutex> hold(lock);
        return lines.size();
    };
    auto finish = [&] {
        ::kill(sp, SIGTERM);
        ::waitpid(sp, nullptr, 0);
        reader.join();
    };
    // Listening at 169.254.101.2:9990 before the daemon starts.
    const bool listening = waitUntil(
        [] {
            std::ifstream table("/proc/net/tcp");
            std::ostringstream text;
            text << table.rdbuf();
            return text.str().find("0265FEA9:2706 00000000:0000 0A") != std::string::npos;
        },
        Millis{5000});
    if (!listening) {
        finish();
        throw std::runtime_error("vornctl sp did not listen");
    }
    writeFixtures(board);
    board.start();

    const std::uint32_t records = opt_.quick ? 10 : 50;
    std::vector<Clock::time_point> queued;
    for (std::uint32_t i = 0; i < records; ++i) {
        RegIfVals flagged{};
        flagged.cpuId = i % 4;
        flagged.version = 2;
        flagged.errOccurred = 1;
        flagged.val[eMC4_STATUS_REG] = 0x9c00400000000813ull;
        flagged.val[eMC4_ADDR_REG] = 0x3f7e1a40ull + i;
        RegIfVals none{};
        queued.push_back(Clock::now());
        board.driver().queueMcRecords({flagged, none, none, none});
        if (!waitUntil([&] { return lineCount() >= i + 1; }, Millis{5000})) {
            finish();
            throw std::runtime_error("a flagged record did not reach vornctl sp");
        }
        std::this_thread::sleep_for(Millis{static_cast<long>(7 * i % 100)});
    }
    finish();
    const auto sets = board.driver().mcSets();
    std::vector<double> fromQueue;
    std::vector<double> fromPoll;
    const std::size_t first = sets.size() - records;
    for (std::uint32_t i = 0; i < records && i < lines.size(); ++i) {
        fromQueue.push_back(std::chrono::duration<double, std::milli>(lines[i] - queued[i]).count());
        if (const auto& set = sets.at(first + i); set.handedOut)
            fromPoll.push_back(std::chrono::duration<double, std::milli>(lines[i] - *set.handedOut).count());
    }
    const Summary q = summarize(fromQueue);
    const Summary p = summarize(fromPoll);
    row("flagged MC record, in the driver -> decoded line of vornctl sp --json (poll every 100 ms): %u records, mean "
        "%.3f ms, median %.3f ms, worst %.3f ms",
        records, q.mean, q.median, q.max);
    row("  of which poll -> decoded line (forwarding, decoding, printing): mean %.3f ms, median %.3f ms, "
        "worst %.3f ms",
        p.mean, p.median, p.max);
    Json mc = Json::object();
    mc["poll_interval_ms"] = 100;
    mc["records"] = records;
    mc["driver_to_decoded_line_ms"] = summaryJson(q);
    mc["poll_to_decoded_line_ms"] = summaryJson(p);
    json_["monitors_vornctl_sp"] = mc;
}

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
            const Exchange e = exchangeOnce(tcpTarget(testbed::kServerPort), l.request);
            ++index;
            if (!e.ok || !waitUntil([&] { return dumps() >= index; }, Millis{10000}))
                throw std::runtime_error(fmt("no callgrind dump for '%c'", l.letter));
            const auto text = readText(outDir + "/cg." + std::to_string(server) + "." + std::to_string(index));
            const CallgrindCost cost = parseCallgrind(text.value_or(""), "vorn_simdrv");
            if (!cost.ok)
                throw std::runtime_error("unreadable callgrind dump");
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

void Bench::goals()
{
    gSection = 7;
    Json g = Json::array();
    row("7. Goals");
    auto verdict = [&](const std::string& goal, const std::string& measured, bool met) {
        row("   [%s] %s: %s", met ? "met    " : "NOT MET", goal.c_str(), measured.c_str());
        Json j = Json::object();
        j["goal"] = goal;
        j["measured"] = measured;
        j["met"] = met;
        g.push(j);
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
        if (r.floorFile.available) {
            const Summary f = summarize(r.toFloorFile.medianRounds);
            verdict(fmt("  the same against the floor that also reads %s per request", r.letter.readsFile),
                    fmt("vorn/that floor %s", ratioText(f).c_str()), f.median >= 0.9);
        }
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
    json_["goals"] = g;
}

int Bench::run()
{
    ::mkdir(kRunDir, 0755);
    machine();
    binarySize();

    if (wanted(opt_, '1') || wanted(opt_, '3') || wanted(opt_, '4') || wanted(opt_, '6')) {
        Board board;
        board.sp().setInterval('h', 4000);
        board.sp().setInterval('p', 5000);
        writeFixtures(board);
        board.start();
        if (!board.sp().waitForExchanges(2, Millis{10000}))
            throw std::runtime_error("the monitors did not fetch their intervals");
        waitUntil([&] { return board.driver().heartbeatCount() >= 1 && board.driver().mcPolls() >= 1; }, Millis{10000});
        pids_ = daemonPids(board);
        startReferences();
        std::this_thread::sleep_for(Millis{500});

        Json mem = Json::object();
        const std::vector<MemoryRow> atStart = memory("after_start", mem);
        const std::uint64_t footprintStart = footprintKb(pids_);
        if (wanted(opt_, '1'))
            roundTrips();
        if (wanted(opt_, '3')) {
            topUp();
            const std::vector<MemoryRow> after = memory("after_requests", mem);
            mem["vorn_requests"] = vornRequests_;
            mem["qemu_ga_requests"] = qgaRequests_;
            json_["memory"] = mem;
            memoryTable(atStart, after, footprintStart, footprintKb(pids_));
        }
        if (wanted(opt_, '4'))
            idle(board);
        if (wanted(opt_, '6'))
            growth(board);
        const bool withE =
            std::any_of(letters().begin(), letters().end(), [](const Letter& l) { return l.letter == 'e'; });
        if (wanted(opt_, '1') && withE)
            withoutPreload(board);
        floor_.stop();
        floorUnix_.stop();
        floorFile_.stop();
        inetd_.clear();
        qga_.stop();
    }
    if (wanted(opt_, '5') || wanted(opt_, '2')) {
        Board board;
        board.sp().setInterval('h', 100);
        board.sp().setInterval('p', 100);
        writeFixtures(board);
        board.start();
        if (wanted(opt_, '5'))
            monitors(board);
        if (wanted(opt_, '2'))
            callgrind(board);
    }
    if (wanted(opt_, '5')) {
        Board board(testbed::BoardOptions{.startSp = false});
        monitorsWithVornctlSp(board);
    }
    goals();
    printReport();
    if (opt_.jsonFd >= 0) {
        const std::string text = json_.dump();
        if (::write(opt_.jsonFd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            say("vorn-bench: cannot write the JSON results\n");
        ::close(opt_.jsonFd);
    }
    return 0;
}

Options parse(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--quick")
            o.quick = true;
        else if (a.rfind("--only=", 0) == 0)
            o.only = a.substr(7);
        else if (a.rfind("--installed-binary=", 0) == 0)
            o.installedBinary = a.substr(19);
        else if (a.rfind("--letters=", 0) == 0)
            o.letters = a.substr(10);
        else if (a.rfind("--json-fd=", 0) == 0)
            o.jsonFd = static_cast<int>(std::strtol(a.c_str() + 10, nullptr, 10));
        else
            throw std::runtime_error("unknown argument " + a +
                                     " (--quick, --only=123456, --letters=vTHeCcLd, --installed-binary=PATH, "
                                     "--json-fd=N)");
    }
    return o;
}

} // namespace

int main(int argc, char** argv)
{
    if (!testbed::insideSandbox()) {
        std::fflush(stdout);
        char self[4096];
        const ssize_t len = ::readlink("/proc/self/exe", self, sizeof self - 1);
        if (len <= 0)
            return 1;
        self[len] = '\0';
        std::vector<char*> args = {const_cast<char*>("vorn-sandbox"), self};
        for (int i = 1; i < argc; ++i)
            args.push_back(argv[i]);
        args.push_back(nullptr);
        ::execv(testbed::sandboxProgram(), args.data());
        std::fprintf(stderr, "vorn-bench: cannot run %s: %s\n", testbed::sandboxProgram(), std::strerror(errno));
        return 1;
    }
    try {
        Options o = parse(argc, argv);
        gOptions = o;
        if (o.jsonFd >= 0)
            ::fcntl(o.jsonFd, F_SETFD, FD_CLOEXEC);
        Bench bench(o);
        return bench.run();
    } catch (const std::exception& e) {
        printReport();
        std::fprintf(stderr, "vorn-bench: %s\n", e.what());
        return 1;
    }
}
