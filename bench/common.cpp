// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// What the sections of vorn-bench share: the report, the processes it
// starts, the letters and their servers, the series of measurements.
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

#include <arpa/inet.h>
#include <netinet/in.h>

#include "bench.h"
#include "commands/cmd_hlink.h"
#include "commands/cmd_power.h"
#include "commands/cmd_sensors.h"
#include "commands/cmd_setip.h"
#include "core/host_link.h"

namespace bench {

Options gOptions;

bool wanted(const Options& o, char section)
{
    return o.only.find(section) != std::string::npos;
}

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

bool listensAsSp(pid_t pid)
{
    // The table of the namespace where the process runs.
    std::ifstream table("/proc/" + std::to_string(pid) + "/net/tcp");
    std::ostringstream text;
    text << table.rdbuf();
    return text.str().find("0265FEA9:2706 00000000:0000 0A") != std::string::npos;
}

VornctlSp::VornctlSp(std::uint32_t hbIntervalMs, std::uint32_t mcIntervalMs)
{
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    const std::string hb = std::to_string(hbIntervalMs);
    const std::string mc = std::to_string(mcIntervalMs);
    pid_ = ::fork();
    if (pid_ < 0)
        throw std::runtime_error("fork");
    if (pid_ == 0) {
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(out[1], 1) < 0 || ::dup2(null, 2) < 0)
            _exit(127);
        if (!testbed::enterSpSide())
            _exit(126);
        ::execl(VORN_BENCH_VORNCTL_FILE, "vornctl", "sp", "--json", "--hb-interval", hb.c_str(), "--mc-interval",
                mc.c_str(), nullptr);
        _exit(127);
    }
    ::close(out[1]);
    reader_ = std::thread([this, fd = out[0]] {
        char buf[65536];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
            const auto now = Clock::now();
            std::lock_guard<std::mutex> hold(lock_);
            for (ssize_t k = 0; k < n; ++k)
                if (buf[k] == '\n')
                    stamps_.push_back(now);
        }
        ::close(fd);
    });
    if (!waitUntil([this] { return listensAsSp(pid_); }, Millis{5000})) {
        stop();
        throw std::runtime_error("vornctl sp did not listen");
    }
}

std::size_t VornctlSp::lines() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return stamps_.size();
}

std::vector<Clock::time_point> VornctlSp::stamps() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return stamps_;
}

void VornctlSp::stop()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }
    if (reader_.joinable())
        reader_.join();
}

void writeText(const std::string& path, const std::string& text, mode_t mode)
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

namespace {

std::uint32_t hostOrder(const char* dottedQuad)
{
    in_addr a{};
    ::inet_pton(AF_INET, dottedQuad, &a);
    return ntohl(a.s_addr);
}

// What the daemon's 'J' does once it has answered, for the address it moves
// the link to: the init script checked and rewritten, the interface moved,
// the driver told, then the listener renewed and the SP's address read
// anew.
std::vector<std::string> hostLinkMove(const char* plat)
{
    const std::uint32_t ip = hostOrder(plat);
    return {"after:file:/etc/init.d/vorn",
            std::string("after:sh:") + vorn::initScriptCommand(ip).data(),
            std::string("after:sh:") + vorn::hlinkAddressCommand(ip).data(),
            fmt("after:hlink-set:%u:%u", ip, hostOrder(testbed::kSpAddress)),
            "after:listen",
            std::string("after:file:") + vorn::spAddressFilePath().data()};
}

// The ifconfig line of the 'E' request, with "%s" where the error file's
// name goes.
std::string setIpCommand(const std::string& request)
{
    std::string text = request;
    vorn::SetIpParams params = vorn::tokenise(text.data());
    vorn::stripInterfacePrefix(params.param[1]);
    return vorn::buildIfconfigCommand(params, "%s").data();
}

} // namespace

const std::vector<Letter>& allLetters()
{
    static const std::string kSetIp = "E eth1 10.9.8.7 255.255.255.0";
    static const std::vector<Letter> all = {
        {'v', "v", nullptr, "features", {}},
        {'T', "T", "guest-get-time", "time", {}},
        {'H', "H", "guest-get-host-name", "host name", {"uname"}},
        {'e', "e", "guest-network-get-interfaces", "network status", {"net"}},
        {'C', "C", nullptr, "sensors", {fmt("mc-sensors:%d", vorn::kTempCpus), "file:/proc/cpuinfo"}},
        {'c', "c 0", nullptr, "CPU identity", {"file:/proc/cpuinfo"}},
        {'M', "M", nullptr, "memory modules", {"mc-dimm"}},
        {'L',
         "L",
         nullptr,
         "inventory",
         {"file:/etc/kelmora/swinventory.xml", "file:/etc/kelmora/hlink/swinventory.xml",
          "file:/etc/kelmora/oxa_mc/swinventory.xml", "file:/etc/kelmora/vorn/swinventory.xml", "uname"}},
        {'d', "d", nullptr, "name servers", {"file:/etc/resolv.conf"}},
        {'h', "h 4000", nullptr, "HB interval", {}},
        {'p', "p 5000", nullptr, "MC interval", {}},
        {'x', "x", nullptr, "invalid letter", {}},
        {'D', "D 192.0.2.53", nullptr, "set name server", {"replace:/etc/resolv.conf:/tmp/resolv.confXXXXXX"}, true},
        {'E', kSetIp, nullptr, "set address", {"sh-log:/tmp/vorn.logXXXXXX:" + setIpCommand(kSetIp)}, true},
        {'J', fmt("J p=%s s=%s", kSecondPlatAddress, testbed::kSpAddress), nullptr, "move host link",
         hostLinkMove(kSecondPlatAddress), true, true},
        {'s', "s", nullptr, "shutdown", {std::string("pipe:") + vorn::kOrderlyShutdownCommand}, true},
        {'f', "f", nullptr, "forced shutdown", {std::string("pipe:") + vorn::kForcedShutdownCommand}, true},
        {'b', "b", nullptr, "reboot", {std::string("pipe:") + vorn::kRebootCommand}, true},
        {'B', "B", nullptr, "forced reboot", {std::string("pipe:") + vorn::kForcedRebootCommand}, true},
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

Json ratioJson(const RatioSeries& r)
{
    Json j = Json::object();
    j["from_median_round_trips"] = summaryJson(summarize(r.medianRounds));
    j["from_batch_times"] = summaryJson(summarize(r.rounds));
    return j;
}

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

Batch timedBatch(const Target& target, const std::string& request, unsigned count, pid_t server, double& cpuSeconds)
{
    const auto before = server > 0 ? cpuOf(server) : std::nullopt;
    Batch b = runBatch(target, request, count);
    const auto after = server > 0 ? cpuOf(server) : std::nullopt;
    cpuSeconds = before && after ? static_cast<double>(after->onCpuNs - before->onCpuNs) * 1e-9 : NAN;
    return b;
}

} // namespace bench
