#include "board.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "unique_fd.h"

#ifndef VORN_DAEMON_FILE
#error "VORN_DAEMON_FILE must name the daemon binary"
#endif

namespace testbed {

namespace {

constexpr const char* kPidFile = "/var/run/vorn.pid";
constexpr const char* kDaemonOutput = "/run/testbed/daemon.output";
constexpr Millis kPollSlice{2};

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error("testbed: " + what);
}

[[noreturn]] void failErrno(const std::string& what)
{
    fail(what + ": " + std::strerror(errno));
}

std::optional<std::string> slurp(const std::string& path)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return std::nullopt;
    std::string out;
    char buf[8192];
    ssize_t n;
    while ((n = ::read(fd.get(), buf, sizeof buf)) > 0)
        out.append(buf, static_cast<std::size_t>(n));
    return out;
}

std::string readLink(const std::string& path)
{
    char buf[4096];
    const ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

void makeParents(const std::string& path)
{
    for (std::size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        const std::string dir = path.substr(0, pos);
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
            failErrno("mkdir " + dir);
    }
}

void putFile(const std::string& path, std::string_view content, mode_t mode)
{
    makeParents(path);
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (!fd)
        failErrno("create " + path);
    if (::write(fd.get(), content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        failErrno("write " + path);
    if (fchmod(fd.get(), mode) != 0)
        failErrno("chmod " + path);
}

const char* devicePath(Device device)
{
    return device == simdrv::kHlink ? HLINK_DRIVER_PATH : MC_DRIVER_PATH;
}
const char* deviceMagic(Device device)
{
    return device == simdrv::kHlink ? simdrv::kHlinkMagic : simdrv::kMcMagic;
}

std::uint32_t parseAddress(const std::string& dottedQuad)
{
    in_addr a{};
    if (inet_pton(AF_INET, dottedQuad.c_str(), &a) != 1)
        fail("not an IPv4 address: " + dottedQuad);
    return ntohl(a.s_addr);
}

std::string addressText(std::uint32_t hostOrder)
{
    return simdrv::dottedQuad(hostOrder);
}

std::optional<ProcessInfo> processInfo(pid_t pid)
{
    const auto stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    if (!stat)
        return std::nullopt;
    // "PID (COMM) S PPID ..." where COMM may hold blanks and parentheses.
    const auto open = stat->find('(');
    const auto close = stat->rfind(')');
    if (open == std::string::npos || close == std::string::npos || close + 4 > stat->size())
        return std::nullopt;
    ProcessInfo info{pid, 0, (*stat)[close + 2], stat->substr(open + 1, close - open - 1)};
    std::istringstream rest(stat->substr(close + 4));
    rest >> info.ppid;
    return info;
}

std::vector<ProcessInfo> allProcesses()
{
    std::vector<ProcessInfo> out;
    std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
    if (!proc)
        return out;
    while (const dirent* e = readdir(proc.get())) {
        pid_t pid = 0;
        const std::string_view name = e->d_name;
        const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (ec != std::errc{} || end != name.data() + name.size())
            continue;
        if (auto info = processInfo(pid))
            out.push_back(*info);
    }
    return out;
}

// pid and every process below it.
std::vector<ProcessInfo> treeOf(pid_t root, const std::vector<ProcessInfo>& all)
{
    std::vector<ProcessInfo> out;
    std::set<pid_t> members{root};
    for (const ProcessInfo& p : all)
        if (p.pid == root)
            out.push_back(p);
    for (bool grew = true; grew;) {
        grew = false;
        for (const ProcessInfo& p : all)
            if (!members.count(p.pid) && members.count(p.ppid)) {
                members.insert(p.pid);
                out.push_back(p);
                grew = true;
            }
    }
    return out;
}

// Inodes of the IPv4 and IPv6 TCP sockets listening on `port`.
std::set<std::string> listeningInodes(std::uint16_t port)
{
    std::set<std::string> inodes;
    char portHex[8];
    std::snprintf(portHex, sizeof portHex, ":%04X", port);
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::istringstream in(slurp(table).value_or(""));
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string sl, local, remote, st, queues, timer, retr, uid, timeout, inode;
            fields >> sl >> local >> remote >> st >> queues >> timer >> retr >> uid >> timeout >> inode;
            if (st == "0A" && local.size() >= 5 && local.substr(local.size() - 5) == portHex)
                inodes.insert(inode);
        }
    }
    return inodes;
}

} // namespace

unsigned long listeningInode(pid_t pid, std::uint16_t port)
{
    const std::set<std::string> inodes = listeningInodes(port);
    if (inodes.empty())
        return 0;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    std::unique_ptr<DIR, int (*)(DIR*)> fds(opendir(dir.c_str()), closedir);
    if (!fds)
        return 0;
    while (const dirent* e = readdir(fds.get())) {
        const std::string link = readLink(dir + "/" + e->d_name);
        if (link.rfind("socket:[", 0) == 0 && link.back() == ']') {
            const std::string inode = link.substr(8, link.size() - 9);
            if (inodes.count(inode))
                return std::stoul(inode);
        }
    }
    return 0;
}

bool listensOn(pid_t pid, std::uint16_t port)
{
    return listeningInode(pid, port) != 0;
}

namespace {

bool alive(pid_t pid)
{
    const auto info = processInfo(pid);
    return info && info->state != 'Z';
}

pid_t readPid(const std::string& text)
{
    pid_t pid = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), pid);
    return ec == std::errc{} && end == text.data() + text.size() ? pid : 0;
}

void resetSignalsForExec()
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; ++sig)
        signal(sig, SIG_DFL);
}

} // namespace

// --- sandbox checks ----------------------------------------------------------

Clock::time_point fromNs(std::int64_t monotonicNs)
{
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(monotonicNs)));
}

std::string sandboxProblem()
{
    const auto marker = slurp(kSandboxMarkerPath);
    if (!marker)
        return std::string("no sandbox marker ") + kSandboxMarkerPath;
    std::istringstream lines(*marker);
    std::string title;
    std::getline(lines, title);
    if (title != kSandboxMarkerTitle)
        return std::string("the marker ") + kSandboxMarkerPath + " is not the sandbox's";
    for (const char* ns : {"pid", "mnt", "net"}) {
        std::string recorded;
        std::getline(lines, recorded);
        const std::string own = readLink(std::string("/proc/self/ns/") + ns);
        if (own.empty() || recorded != own)
            return std::string("this process is not in the sandbox's ") + ns + " namespace";
    }
    if (slurp("/proc/1/comm").value_or("") != std::string(kSandboxMarkerTitle) + "\n")
        return "PID 1 is not vorn-sandbox";
    if (prctl(PR_CAPBSET_READ, CAP_SYS_BOOT, 0, 0, 0) != 0)
        return "CAP_SYS_BOOT is still in the bounding set";
    return {};
}

bool insideSandbox()
{
    return sandboxProblem().empty();
}

const char* sandboxProgram()
{
    return VORN_SANDBOX_FILE;
}

int execInSandbox(int argc, char** argv, const char* name)
{
    std::fflush(stdout);
    char self[4096];
    const ssize_t len = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0) {
        std::fprintf(stderr, "%s: cannot find its own program: %s\n", name, std::strerror(errno));
        return 1;
    }
    self[len] = '\0';
    std::vector<char*> args = {const_cast<char*>("vorn-sandbox"), self};
    for (int i = 1; i < argc; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    ::execv(sandboxProgram(), args.data());
    std::fprintf(stderr, "%s: cannot run %s: %s\n", name, sandboxProgram(), std::strerror(errno));
    return 1;
}

namespace {

// In a sanitized build the programs carry the address sanitizer's runtime,
// which would refuse to start behind a preloaded library.
std::vector<std::string> preloadVariables()
{
    std::vector<std::string> vars{std::string("LD_PRELOAD=") + VORN_SIMDRV_FILE};
#ifdef VORN_TESTBED_SANITIZED
    vars.emplace_back("ASAN_OPTIONS=verify_asan_link_order=0");
#endif
    return vars;
}

} // namespace

std::string driverPreload()
{
    std::string out;
    for (const std::string& v : preloadVariables())
        out += v + ' ';
    return out;
}

bool powerProgramsAreFakes(std::string* problem)
{
    for (const char* name : kFakeNames) {
        const std::string path = std::string("/sbin/") + name;
        const auto content = slurp(path);
        if (!content || content->find(std::string("\n# ") + kFakeMarker + "\n") == std::string::npos) {
            if (problem)
                *problem = path + " is not the sandbox's fake";
            return false;
        }
    }
    return true;
}

void requireSandbox()
{
    std::string problem = sandboxProblem();
    if (problem.empty())
        powerProgramsAreFakes(&problem);
    if (problem.empty())
        return;
    std::fprintf(stderr,
                 "\n*** testbed: REFUSING TO RUN: %s.\n"
                 "*** The simulated board runs only inside vorn-sandbox, where the power programs are fakes.\n"
                 "*** Run the program as: vorn-sandbox PROGRAM [ARGS...]\n\n",
                 problem.c_str());
    std::abort();
}

// --- Driver ------------------------------------------------------------------

Driver::Driver()
{
    requireSandbox();
    mapping_ = simdrv::openState();
    if (!mapping_)
        mapping_ = simdrv::createState();
    if (!mapping_)
        failErrno(std::string("map ") + simdrv::kDriverStatePath);
}

void Driver::reset()
{
    SharedLock lock(raw().lock);
    simdrv::setDefaults(raw());
}

void Driver::setPresent(Device device, bool present)
{
    if (present)
        putFile(devicePath(device), deviceMagic(device), 0666);
    else if (unlink(devicePath(device)) != 0 && errno != ENOENT)
        failErrno(std::string("remove ") + devicePath(device));
}

bool Driver::present(Device device) const
{
    return access(devicePath(device), F_OK) == 0;
}

void Driver::failRequest(Request request, bool fail, int error)
{
    auto& s = *simdrv::stateOf(mapping_);
    SharedLock lock(s.lock);
    if (fail)
        s.failMask |= 1u << request;
    else
        s.failMask &= ~(1u << request);
    s.failErrno = error;
}

std::uint64_t Driver::platIp() const
{
    auto& s = *simdrv::stateOf(mapping_);
    SharedLock lock(s.lock);
    return s.platIp;
}

std::uint64_t Driver::spIp() const
{
    auto& s = *simdrv::stateOf(mapping_);
    SharedLock lock(s.lock);
    return s.spIp;
}

void Driver::setPlatIp(std::uint64_t hostOrder)
{
    SharedLock lock(raw().lock);
    raw().platIp = hostOrder;
}

void Driver::setSpIp(std::uint64_t hostOrder)
{
    SharedLock lock(raw().lock);
    raw().spIp = hostOrder;
}

std::vector<SetRequest> Driver::setRequests() const
{
    auto& s = *simdrv::stateOf(mapping_);
    SharedLock lock(s.lock);
    std::vector<SetRequest> out;
    for (std::uint64_t i = 0; i < std::min<std::uint64_t>(s.setCount, simdrv::kSetLogCapacity); ++i)
        out.push_back({static_cast<Request>(s.sets[i].request), s.sets[i].value, s.sets[i].failed != 0});
    return out;
}

void Driver::spIpFileFromDriver()
{
    SharedLock lock(raw().lock);
    raw().spIpFile = simdrv::kSpIpFromDriver;
}

void Driver::setSpIpFile(std::string_view text)
{
    if (text.size() > simdrv::kSpIpOverrideCapacity)
        fail("SP address file text too long");
    SharedLock lock(raw().lock);
    raw().spIpFile = simdrv::kSpIpOverride;
    raw().spIpOverrideLength = static_cast<std::uint32_t>(text.size());
    std::memcpy(raw().spIpOverride, text.data(), text.size());
}

void Driver::removeSpIpFile()
{
    SharedLock lock(raw().lock);
    raw().spIpFile = simdrv::kSpIpAbsent;
}

std::uint64_t Driver::heartbeatCount() const
{
    auto& s = *simdrv::stateOf(mapping_);
    SharedLock lock(s.lock);
    return s.heartbeatCount;
}

std::vector<Clock::time_point> Driver::heartbeats() const
{
    auto& s = *simdrv::stateOf(mapping_);
    SharedLock lock(s.lock);
    std::vector<Clock::time_point> out;
    const std::uint64_t first =
        s.heartbeatCount > simdrv::kHeartbeatCapacity ? s.heartbeatCount - simdrv::kHeartbeatCapacity : 0;
    for (std::uint64_t n = first; n < s.heartbeatCount; ++n)
        out.push_back(fromNs(s.heartbeatNs[n % simdrv::kHeartbeatCapacity]));
    return out;
}

void Driver::queueMcRecords(const McRecords& records)
{
    SharedLock lock(raw().lock);
    auto& s = raw();
    if (s.mcQueued >= simdrv::kMcSetCapacity)
        fail("too many MC record sets queued");
    simdrv::McSet& set = s.mcSets[s.mcQueued];
    std::memcpy(set.records, records.data(), sizeof set.records);
    set.handedOutNs = 0;
    ++s.mcQueued;
}

std::vector<McHandout> Driver::mcSets() const
{
    auto& s = *simdrv::stateOf(mapping_);
    SharedLock lock(s.lock);
    std::vector<McHandout> out;
    for (std::uint64_t i = 0; i < s.mcQueued; ++i) {
        McHandout h{};
        std::memcpy(h.records.data(), s.mcSets[i].records, sizeof s.mcSets[i].records);
        if (i < s.mcHandedOut)
            h.handedOut = fromNs(s.mcSets[i].handedOutNs);
        out.push_back(h);
    }
    return out;
}

std::uint64_t Driver::mcPolls() const
{
    auto& s = *simdrv::stateOf(mapping_);
    SharedLock lock(s.lock);
    return s.mcPolls;
}

void Driver::setCpuTemp(int cpu, std::int32_t value)
{
    if (cpu < 0 || cpu > 3)
        fail("CPU index out of range");
    SharedLock lock(raw().lock);
    raw().cpuTemp[cpu] = value;
}

void Driver::setCpuidValue(std::uint64_t value)
{
    SharedLock lock(raw().lock);
    std::memcpy(raw().cpuidValue, &value, sizeof value);
}

void Driver::setDimmMap(const platform_data_t& map)
{
    SharedLock lock(raw().lock);
    std::memcpy(&raw().dimmMap, &map, sizeof map);
}

platform_data_t Driver::dimmMap() const
{
    auto& s = *simdrv::stateOf(mapping_);
    SharedLock lock(s.lock);
    platform_data_t out;
    std::memcpy(&out, &s.dimmMap, sizeof out);
    return out;
}

std::uint64_t Driver::opens(Device device) const
{
    auto& s = *simdrv::stateOf(mapping_);
    SharedLock lock(s.lock);
    return s.opens[device];
}

std::uint64_t Driver::requestCount(Request request) const
{
    auto& s = *simdrv::stateOf(mapping_);
    SharedLock lock(s.lock);
    return s.requestCounts[request];
}

std::vector<DriverCall> Driver::calls() const
{
    auto& s = *simdrv::stateOf(mapping_);
    SharedLock lock(s.lock);
    std::vector<DriverCall> out;
    const std::uint64_t count = s.requestLogCount;
    const std::uint64_t first = count > simdrv::kRequestLogCapacity ? count - simdrv::kRequestLogCapacity : 0;
    for (std::uint64_t n = first; n < count; ++n) {
        const simdrv::RequestRecord& r = s.requests[n % simdrv::kRequestLogCapacity];
        out.push_back({fromNs(r.timeNs), static_cast<Request>(r.request), r.arg, r.pid, r.result, r.error});
    }
    return out;
}

// --- SimSp ---------------------------------------------------------------------

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

// --- Board ---------------------------------------------------------------------

Board::Board(BoardOptions options)
{
    // Orphans of the daemon's processes come to this process, so that the
    // daemon's exit status can be read and nothing it leaves escapes the board.
    if (prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0)
        failErrno("become a subreaper");
    driver_.reset();
    driver_.setPresent(simdrv::kHlink, true);
    driver_.setPresent(simdrv::kMc, true);
    sp_.reset();
    putFile(kSyslogPath, "", 0644);
    for (const char* name : kFakeNames)
        for (const char* suffix : {".calls", ".status", ".out", ".err"})
            unlink((std::string(kFakeDir) + "/" + name + suffix).c_str());
    unlink(kPidFile);
    if (options.startSp)
        sp_.start();
}

Board::~Board()
{
    sp_.stop();
    killLeftovers();
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it)
        umount2(it->c_str(), MNT_DETACH);
}

void Board::start(StartOptions options)
{
    requireSandbox();
    if (daemon_ > 0 && alive(daemon_))
        fail("the daemon is already running");
    unlink(kPidFile);
    const pid_t launcher = fork();
    if (launcher < 0)
        failErrno("fork the daemon's launcher");
    if (launcher == 0) {
        resetSignalsForExec();
        UniqueFd null(::open("/dev/null", O_RDONLY));
        UniqueFd output(::open(kDaemonOutput, O_WRONLY | O_CREAT | O_APPEND, 0644));
        if (chdir("/") != 0 || !null || !output || dup2(null.get(), 0) < 0 || dup2(output.get(), 1) < 0 ||
            dup2(output.get(), 2) < 0)
            _exit(126);
        close_range(3, ~0U, 0);
        const std::vector<std::string> preload = preloadVariables();
        std::vector<const char*> env = {"PATH=/usr/local/sbin:/usr/local/bin:/sbin:/bin:/usr/sbin:/usr/bin"};
        for (const std::string& v : preload)
            env.push_back(v.c_str());
        env.push_back(nullptr);
        const char* argv[] = {VORN_DAEMON_FILE, nullptr};
        execve(VORN_DAEMON_FILE, const_cast<char* const*>(argv), const_cast<char* const*>(env.data()));
        _exit(127);
    }
    launcher_ = launcher;

    int launcherStatus = -1;
    const bool started = waitUntil(
        [&] {
            if (launcher_ > 0 && waitpid(launcher_, &launcherStatus, WNOHANG) == launcher_)
                launcher_ = 0;
            const pid_t pid = readPid(slurp(kPidFile).value_or(""));
            // A daemon that has already ended stays a zombie until the board reaps it.
            if (pid > 0 && processInfo(pid)) {
                daemon_ = pid;
                return true;
            }
            return launcher_ == 0 && launcherStatus != 0;
        },
        options.timeout);
    if (!started || daemon_ <= 0)
        fail("the daemon did not write " + std::string(kPidFile) +
             " naming its process; its output: " + slurp(kDaemonOutput).value_or(""));
    if (options.waitListening &&
        !waitUntil([&] { return listensOn(daemon_, kServerPort) || !alive(daemon_); }, options.timeout))
        fail("the daemon does not listen on port 6789");
    if (options.waitListening && !alive(daemon_))
        fail("the daemon ended during start-up");
}

pid_t Board::daemonPid() const
{
    return readPid(slurp(kPidFile).value_or(""));
}

std::vector<ProcessInfo> Board::processes() const
{
    const pid_t root = daemon_ > 0 ? daemon_ : daemonPid();
    return root > 0 ? treeOf(root, allProcesses()) : std::vector<ProcessInfo>{};
}

std::vector<ProcessInfo> Board::monitors() const
{
    std::vector<ProcessInfo> out;
    const pid_t root = daemon_ > 0 ? daemon_ : daemonPid();
    const auto self = processInfo(root);
    for (const ProcessInfo& p : allProcesses())
        if (root > 0 && p.ppid == root && self && p.comm == self->comm)
            out.push_back(p);
    return out;
}

bool Board::waitMonitorsEnded(Millis timeout) const
{
    return waitUntil(
        [&] {
            const auto m = monitors();
            return std::all_of(m.begin(), m.end(), [](const ProcessInfo& p) { return p.state == 'Z'; });
        },
        timeout);
}

std::optional<int> Board::waitDaemonExit(Millis timeout)
{
    if (daemon_ <= 0)
        return std::nullopt;
    int status = 0;
    if (!waitUntil([&] { return waitpid(daemon_, &status, WNOHANG) == daemon_; }, timeout))
        return std::nullopt;
    daemon_ = 0;
    return status;
}

void Board::stopDaemon()
{
    if (daemon_ <= 0)
        return;
    kill(daemon_, SIGTERM);
    waitMonitorsEnded(Millis{2000});
    kill(daemon_, SIGKILL);
    waitDaemonExit(Millis{2000});
    killLeftovers();
}

void Board::killLeftovers()
{
    const pid_t self = getpid();
    const auto deadline = Clock::now() + Millis{3000};
    for (;;) {
        const auto all = allProcesses();
        std::vector<ProcessInfo> left;
        for (const ProcessInfo& p : treeOf(self, all))
            if (p.pid != self && p.pid != sp_.pid() && (p.state != 'Z' || p.ppid == self))
                left.push_back(p);
        // Belt and braces: any copy of the daemon that escaped this process's tree.
        for (const ProcessInfo& p : all)
            if (p.pid != self && p.state != 'Z' && p.ppid != self &&
                readLink("/proc/" + std::to_string(p.pid) + "/exe") == VORN_DAEMON_FILE)
                left.push_back(p);
        if (left.empty() || Clock::now() >= deadline)
            break;
        for (const ProcessInfo& p : left) {
            if (p.state != 'Z')
                kill(p.pid, SIGKILL);
            if (p.ppid == self)
                waitpid(p.pid, nullptr, WNOHANG);
        }
        std::this_thread::sleep_for(Millis{1});
    }
    daemon_ = 0;
    launcher_ = 0;
}

Reply Board::request(std::string_view bytes, From from, Millis timeout)
{
    return requestFrom(from == From::Sp ? kSpAddress : kStrangerAddress, bytes, timeout);
}

Reply Board::requestFrom(const std::string& sourceAddress, std::string_view bytes, Millis timeout)
{
    return exchange(sourceAddress, kPlatAddress, kServerPort, bytes, timeout);
}

Connection Board::connect(From from, Millis timeout)
{
    return Connection(from == From::Sp ? kSpAddress : kStrangerAddress, kPlatAddress, kServerPort, timeout);
}

// --- connections -------------------------------------------------------------

Connection::Connection(const std::string& source, const std::string& target, std::uint16_t port, Millis timeout)
    : fd_(socketFrom(source, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC))
{
    if (!fd_)
        failErrno("socket");
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(parseAddress(source));
    if (bind(fd_.get(), reinterpret_cast<sockaddr*>(&from), sizeof from) != 0)
        failErrno("bind the source address " + source);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(parseAddress(target));
    if (::connect(fd_.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        connected_ = true;
        return;
    }
    if (errno != EINPROGRESS) {
        refused_ = errno == ECONNREFUSED;
        return;
    }
    pollfd p{fd_.get(), POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    if (poll(&p, 1, static_cast<int>(timeout.count())) == 1 &&
        getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &error, &length) == 0) {
        connected_ = error == 0;
        refused_ = error == ECONNREFUSED;
    }
}

bool Connection::send(std::string_view bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd_.get(), POLLOUT, 0};
            if (poll(&p, 1, static_cast<int>(kDefaultTimeout.count())) != 1)
                return false;
            continue;
        }
        return false;
    }
    return true;
}

void Connection::shutdownWrite()
{
    shutdown(fd_.get(), SHUT_WR);
}

Reply Connection::readToClose(Millis timeout)
{
    Reply reply;
    reply.connected = connected_;
    if (!connected_)
        return reply;
    const auto deadline = Clock::now() + timeout;
    char buf[8192];
    for (;;) {
        const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
        pollfd p{fd_.get(), POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::max<long long>(left, 0))) == 0) {
            reply.timedOut = true;
            break;
        }
        const ssize_t n = recv(fd_.get(), buf, sizeof buf, 0);
        if (n > 0) {
            reply.bytes.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        reply.closed = true;
        reply.reset = n < 0;
        break;
    }
    return reply;
}

Reply exchange(const std::string& source, const std::string& target, std::uint16_t port, std::string_view bytes,
               Millis timeout)
{
    Connection c(source, target, port, timeout);
    if (!c.connected()) {
        Reply reply;
        reply.timedOut = !c.refused();
        return reply;
    }
    c.send(bytes);
    if (bytes.empty())
        c.shutdownWrite();
    return c.readToClose(timeout);
}

std::vector<LogLine> Board::log() const
{
    std::vector<LogLine> out;
    const std::string text = slurp(kSyslogPath).value_or("");
    std::size_t begin = 0;
    for (std::size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1)
        if (auto m = parseRecord(std::string_view(text).substr(begin, end - begin)))
            out.push_back({fromNs(m->timeNs), m->severity, m->facility, m->ident, m->pid, m->text});
    return out;
}

std::optional<LogLine> Board::waitForLog(std::string_view text, int priority, Millis timeout) const
{
    std::optional<LogLine> found;
    waitUntil(
        [&] {
            for (const LogLine& line : log())
                if (line.text == text && (priority < 0 || line.priority == priority)) {
                    found = line;
                    return true;
                }
            return false;
        },
        timeout);
    return found;
}

std::size_t Board::logCount(std::string_view text, int priority) const
{
    const auto lines = log();
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const LogLine& line) {
        return line.text == text && (priority < 0 || line.priority == priority);
    }));
}

std::vector<std::string> Board::fakeCalls(std::string_view name) const
{
    std::vector<std::string> out;
    std::istringstream in(slurp(std::string(kFakeDir) + "/" + std::string(name) + ".calls").value_or(""));
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

void Board::setFake(std::string_view name, int status, std::string_view output, std::string_view errorOutput)
{
    const std::string base = std::string(kFakeDir) + "/" + std::string(name);
    putFile(base + ".status", std::to_string(status) + "\n", 0644);
    putFile(base + ".out", output, 0644);
    putFile(base + ".err", errorOutput, 0644);
}

void Board::writeFile(const std::string& path, std::string_view content, mode_t mode)
{
    putFile(path, content, mode);
}

std::optional<std::string> Board::readFile(const std::string& path) const
{
    return slurp(path);
}

void Board::removeFile(const std::string& path)
{
    if (unlink(path.c_str()) != 0 && errno != ENOENT)
        failErrno("remove " + path);
}

void Board::bindOver(const std::string& path, std::string_view content)
{
    const std::string fixture = std::string(kFixtureDir) + "/" + std::to_string(++fixtureCount_);
    putFile(fixture, content, 0644);
    if (mount(fixture.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0)
        failErrno("bind a fixture over " + path);
    mounts_.push_back(path);
}

void Board::mountTmpfs(const std::string& path, std::size_t bytes)
{
    makeParents(path + "/");
    const std::string options = "size=" + std::to_string(bytes);
    if (mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0)
        failErrno("mount a tmpfs on " + path);
    mounts_.push_back(path);
}

RunResult Board::run(const std::string& shellCommand) const
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        failErrno("pipe");
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    const pid_t pid = fork();
    if (pid < 0)
        failErrno("fork");
    if (pid == 0) {
        resetSignalsForExec();
        UniqueFd null(::open("/dev/null", O_RDONLY));
        if (!null || dup2(null.get(), 0) < 0 || dup2(writeEnd.get(), 1) < 0 || dup2(writeEnd.get(), 2) < 0)
            _exit(126);
        close_range(3, ~0U, 0);
        execl("/bin/sh", "sh", "-c", shellCommand.c_str(), nullptr);
        _exit(127);
    }
    writeEnd.reset();
    RunResult result{0, {}};
    char buf[4096];
    ssize_t n;
    while ((n = ::read(readEnd.get(), buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            result.output.append(buf, static_cast<std::size_t>(n));
    while (waitpid(pid, &result.status, 0) < 0 && errno == EINTR) {
    }
    return result;
}

void Board::addSpSideAddress(const std::string& dottedQuad)
{
    parseAddress(dottedQuad);
    // The host reaches it over hlink0 also outside the link's subnet.
    const RunResult r =
        run(onSpSide("ip addr add " + dottedQuad + "/" + std::to_string(kLinkPrefix) + " dev " + kSpLinkIf) +
            " && ip route replace " + dottedQuad + " dev " + kHostLinkIf);
    if (r.status != 0)
        fail("cannot add " + dottedQuad + " to " + kSpLinkIf + ": " + r.output);
}

std::string printable(std::string_view bytes)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u == 3)
            out += "<ETX>";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\\')
            out += "\\\\";
        else if (u >= 0x20 && u < 0x7f)
            out += c;
        else {
            out += "\\x";
            out += kHex[u >> 4];
            out += kHex[u & 0xf];
        }
    }
    return out;
}

std::string document(std::string_view body)
{
    return std::string(kPrologue) + "<vorn> " + std::string(body) + " </vorn> " + '\x03';
}

bool waitUntil(const std::function<bool()>& done, Millis timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (done())
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(kPollSlice);
    }
}

} // namespace testbed
