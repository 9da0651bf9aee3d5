// The simulated board: the test API around the unmodified daemon.
//
//   testbed::Board board;                       // fresh drivers, SP, log, fakes
//   board.sp().setInterval('h', 100);
//   board.start();                              // the daemon, as an init script would start it
//   auto reply = board.request("v");            // from the SP's address
//   EXPECT_TRUE(board.waitForLog("...\n", LOG_INFO));
//
// A Board works only inside the sandbox of vorn-sandbox (the integration
// tests' main puts every test in one); anywhere else it aborts the process
// before it touches anything. Errors of the board itself throw
// std::runtime_error.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <dimm_map.h>
#include <mc.h>
#include <sys/types.h>

#include "sandbox_paths.h"
#include "shared_map.h"
#include "sim_sp_state.h"
#include "simdrv_state.h"
#include "sp_side.h"
#include "syslog_record.h"
#include "unique_fd.h"

namespace testbed {

using Clock = std::chrono::steady_clock; // CLOCK_MONOTONIC, the clock of every record
using Millis = std::chrono::milliseconds;
inline constexpr Millis kDefaultTimeout{5000};

// Polls done() every few milliseconds until it holds (true) or timeout
// passes (false).
bool waitUntil(const std::function<bool()>& done, Millis timeout = kDefaultTimeout);

// --- sandbox checks --------------------------------------------------------

// True when this process runs inside a sandbox of vorn-sandbox: the marker
// names this process's own pid, mount and network namespaces, PID 1 is
// vorn-sandbox, and CAP_SYS_BOOT is not in the bounding set.
bool insideSandbox();
// Why insideSandbox() or the fake check failed, for the message.
std::string sandboxProblem();
// True when "/sbin/shutdown", "/sbin/reboot", "/sbin/init" and "/sbin/ifconfig"
// are the sandbox's fakes.
bool powerProgramsAreFakes(std::string* problem = nullptr);
// Aborts the process with a loud message unless both hold.
void requireSandbox();
// The vorn-sandbox program of this build.
const char* sandboxProgram();
// Starts this program again inside vorn-sandbox with the same arguments.
// Returns only when that failed (after saying so on standard error, naming
// the program `name`): the caller's exit status is then 1.
int execInSandbox(int argc, char** argv, const char* name);
// The environment that puts the simulated drivers into a program, as shell
// assignments ("LD_PRELOAD=... "), to run a program of one's own on them.
std::string driverPreload();

Clock::time_point fromNs(std::int64_t monotonicNs);

// --- simulated drivers -----------------------------------------------------

using simdrv::Device;  // simdrv::kHlink, simdrv::kMc
using simdrv::Request; // simdrv::kSetPlatIp ... simdrv::kGetCpuidValue
using McRecords = std::array<RegIfVals, MC_RECORDS_PER_POLL>;

struct SetRequest {
    Request request; // kSetPlatIp or kSetSpIp
    std::uint64_t value;
    bool refused; // the request's failure flag was set
};

struct DriverCall {
    Clock::time_point time;
    Request request;
    std::uint64_t arg; // the value argument (SET, HB_BEAT), the CPU index (GET_CPU_TEMP), else 0
    pid_t pid;
    int result;
    int error;
};

struct McHandout {
    McRecords records;
    std::optional<Clock::time_point> handedOut; // when a poll took the set; empty while queued
};

// The state of both drivers, shared with the preloaded library in every process.
class Driver {
public:
    Driver();

    void reset(); // a fresh board's drivers (the device files are left alone)

    // A device is present when its file exists; removing it makes open fail.
    void setPresent(Device device, bool present);
    bool present(Device device) const;

    // Makes one request fail (-1, errno `error`) until cleared.
    void failRequest(Request request, bool fail = true, int error = EIO);

    std::uint64_t platIp() const;
    std::uint64_t spIp() const;
    void setPlatIp(std::uint64_t hostOrder);
    void setSpIp(std::uint64_t hostOrder);
    std::vector<SetRequest> setRequests() const;

    // "/proc/hlink/sp_ip": the driver's SP address (default), a text of the
    // test's own, or no file at all.
    void spIpFileFromDriver();
    void setSpIpFile(std::string_view text);
    void removeSpIpFile();

    std::uint64_t heartbeatCount() const;
    std::vector<Clock::time_point> heartbeats() const; // the latest simdrv::kHeartbeatCapacity

    // Queues the four records that one IOCTL_MC_REG_IF hands out.
    void queueMcRecords(const McRecords& records);
    std::vector<McHandout> mcSets() const;
    std::uint64_t mcPolls() const;

    void setCpuTemp(int cpu, std::int32_t value);
    void setCpuidValue(std::uint64_t value); // stored in host byte order
    void setDimmMap(const platform_data_t& map);
    platform_data_t dimmMap() const;

    std::uint64_t opens(Device device) const; // successful opens of the device file
    std::uint64_t requestCount(Request request) const;
    std::vector<DriverCall> calls() const; // the latest simdrv::kRequestLogCapacity requests

    simdrv::State& raw() { return *simdrv::stateOf(mapping_); } // lock raw().lock around any use

private:
    SharedMapping mapping_;
};

// --- simulated SP ----------------------------------------------------------

using SpMode = simsp::Mode;

struct SpExchange {
    Clock::time_point accepted;
    std::optional<Clock::time_point> commandTime;
    std::optional<Clock::time_point> ended;
    std::string peer;            // dotted quad
    int command;                 // -1 if no byte arrived
    std::uint32_t bytesReceived; // the command byte included
    std::uint32_t bytesSent;
    simsp::Outcome outcome;
};

struct SpReport {
    Clock::time_point complete; // when the 156th byte of the record arrived
    RegIfVals record;
    std::size_t exchange; // index into exchanges()
};

// The SP process (vorn-sim-sp) and its settings.
class SimSp {
public:
    SimSp();
    SimSp(const SimSp&) = delete;
    SimSp& operator=(const SimSp&) = delete;
    ~SimSp();

    void start(); // runs vorn-sim-sp and waits until it serves as set
    void stop();
    bool running() const;
    pid_t pid() const { return pid_; }
    void reset(); // default settings, records cleared

    void setInterval(char command, std::uint32_t milliseconds);
    // How the SP answers `command`. shortBytes: for SpMode::Short; delay: for SpMode::Trickle.
    void setMode(char command, SpMode mode, std::uint32_t shortBytes = 0, Millis trickleDelay = Millis{50});
    // Stops or starts listening (refused connections while not listening);
    // returns once the SP has done it.
    void setListening(bool listening, Millis timeout = kDefaultTimeout);
    // Moves the SP to another address (which must exist on sp0).
    void setAddress(const std::string& dottedQuad, Millis timeout = kDefaultTimeout);
    // Refuses every nth connection attempt from now on (0: none): after
    // n - 1 accepted connections the SP stops listening until the kernel
    // has refused one attempt, then listens again.
    void setRefuseEvery(std::uint32_t n);
    std::uint64_t refusedConnections() const; // attempts refused so far
    // Holds back the SP's answer to every command byte by `delay` (0: at once).
    void setReplyDelay(Millis delay);

    std::vector<SpExchange> exchanges() const;
    std::vector<SpReport> reports() const;
    // The reports kept so far, which the SP then forgets: the next report is
    // kept as the first again (for runs of more than kReportCapacity reports).
    // Their exchange indices stay valid.
    std::vector<SpReport> takeReports();
    bool waitForExchanges(std::size_t count, Millis timeout = kDefaultTimeout) const;
    bool waitForReports(std::size_t count, Millis timeout = kDefaultTimeout) const;

private:
    void waitServing(Millis timeout);
    simsp::State& state() const { return *simsp::stateOf(mapping_); }
    SharedMapping mapping_;
    pid_t pid_ = 0;
};

// --- the board -------------------------------------------------------------

enum class From { Sp, Stranger };

struct Reply {
    std::string bytes;
    bool connected = false; // the connection was established
    bool closed = false;    // the daemon closed it (end of stream or reset) before the timeout
    bool reset = false;     // by a reset: the daemon closed with unread input
    bool timedOut = false;
};

// A TCP connection from a chosen local address, for exchanges step by step.
class Connection {
public:
    // Connects from `source` to target:port; check connected().
    Connection(const std::string& source, const std::string& target, std::uint16_t port,
               Millis timeout = kDefaultTimeout);
    bool connected() const { return connected_; }
    bool refused() const { return refused_; }
    // Sends everything (false if the peer has closed or reset the connection).
    bool send(std::string_view bytes);
    void shutdownWrite();
    // Reads until the peer closes the connection or the timeout passes.
    Reply readToClose(Millis timeout = kDefaultTimeout);

private:
    UniqueFd fd_;
    bool connected_ = false;
    bool refused_ = false;
};

// One exchange: connect, send `bytes` (none: shut the sending side), read to the close.
Reply exchange(const std::string& source, const std::string& target, std::uint16_t port, std::string_view bytes,
               Millis timeout = kDefaultTimeout);

// Whether process pid holds a TCP socket listening on port.
bool listensOn(pid_t pid, std::uint16_t port);
// The inode of the TCP socket that process pid listens with on port; 0 when
// it has none. A new listening socket has a new inode.
unsigned long listeningInode(pid_t pid, std::uint16_t port);

struct LogLine {
    Clock::time_point time;
    int priority; // LOG_CRIT, LOG_INFO, ...
    int facility; // LOG_DAEMON, ...
    std::string ident;
    pid_t pid;
    std::string text; // byte for byte, with its newline
};

struct ProcessInfo {
    pid_t pid;
    pid_t ppid;
    char state; // as in /proc/PID/stat: R, S, Z, ...
    std::string comm;
};

struct RunResult {
    int status;         // wait status
    std::string output; // standard output and error
};

inline constexpr std::uint16_t kServerPort = 6789;

struct BoardOptions {
    bool startSp = true;
};

struct StartOptions {
    bool waitListening = true; // wait until the daemon listens on 6789
    Millis timeout = kDefaultTimeout;
};

class Board {
public:
    explicit Board(BoardOptions options = {});
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;
    ~Board(); // kills the daemon and every process it left, undoes the board's mounts

    Driver& driver() { return driver_; }
    SimSp& sp() { return sp_; }

    // Launches the daemon as an init script would: no arguments, working
    // directory "/", the simulated drivers preloaded. Returns once
    // "/var/run/vorn.pid" names the daemon (and, by default, that it
    // listens on port 6789); throws otherwise.
    void start(StartOptions options = {});
    pid_t daemonPid() const; // from the pid file; 0 if there is none
    // The daemon and all its descendants.
    std::vector<ProcessInfo> processes() const;
    // The daemon's children that are still copies of it (its monitors), zombies included.
    std::vector<ProcessInfo> monitors() const;
    // Waits until the daemon has no child left that is running (zombies count as ended).
    bool waitMonitorsEnded(Millis timeout = kDefaultTimeout) const;
    // The daemon's wait status once it has ended (the board is its subreaper).
    std::optional<int> waitDaemonExit(Millis timeout = kDefaultTimeout);
    // SIGTERM to the daemon (ending the monitors), then SIGKILL, and reaps it.
    void stopDaemon();

    // One request on a new connection to 169.254.101.3:6789 from the SP's or
    // the stranger's address (or any local address): sends `bytes` (nothing:
    // shuts the sending side), reads until the daemon closes or the timeout.
    Reply request(std::string_view bytes, From from = From::Sp, Millis timeout = kDefaultTimeout);
    Reply requestFrom(const std::string& sourceAddress, std::string_view bytes, Millis timeout = kDefaultTimeout);
    // A connection to the daemon, for requests sent in steps or held open.
    Connection connect(From from = From::Sp, Millis timeout = kDefaultTimeout);

    // Syslog lines since the board was made.
    std::vector<LogLine> log() const;
    // The first line with this exact text (and priority, unless -1).
    std::optional<LogLine> waitForLog(std::string_view text, int priority = -1, Millis timeout = kDefaultTimeout) const;
    std::size_t logCount(std::string_view text, int priority = -1) const;

    // The fake programs: "shutdown", "reboot", "init", "ifconfig".
    std::vector<std::string> fakeCalls(std::string_view name) const;
    void setFake(std::string_view name, int status, std::string_view output = {}, std::string_view errorOutput = {});

    // Files and mounts inside the sandbox.
    void writeFile(const std::string& path, std::string_view content, mode_t mode = 0644);
    std::optional<std::string> readFile(const std::string& path) const;
    void removeFile(const std::string& path);
    void bindOver(const std::string& path, std::string_view content); // e.g. "/proc/cpuinfo"
    void mountTmpfs(const std::string& path, std::size_t bytes);
    RunResult run(const std::string& shellCommand) const;
    // Adds an address on the SP's side of the link (sp0).
    void addSpSideAddress(const std::string& dottedQuad);

private:
    void killLeftovers();
    Driver driver_;
    SimSp sp_;
    pid_t launcher_ = 0;
    pid_t daemon_ = 0;
    std::vector<std::string> mounts_;
    int fixtureCount_ = 0;
};

// Readable form of a reply: printable bytes as they are, others as <ETX>, \n, \xHH.
std::string printable(std::string_view bytes);

// The response documents of the request protocol.
inline constexpr std::string_view kPrologue = "<?xml version=\"1.0\" encoding =\"UTF-8\"?> ";
std::string document(std::string_view body); // prologue, "<vorn> ", body, " </vorn> ", byte 3

} // namespace testbed
