// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
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

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "testbed/board/connection.h"
#include "testbed/board/driver_control.h"
#include "testbed/board/processes.h"
#include "testbed/board/sandbox_checks.h"
#include "testbed/board/sp_control.h"
#include "testbed/board/sp_side.h"
#include "testbed/board/timing.h"
#include "testbed/common/sandbox_paths.h"
#include "testbed/common/syslog_record.h"

namespace testbed {

enum class From { Sp, Stranger };

struct LogLine {
    Clock::time_point time;
    int priority; // LOG_CRIT, LOG_INFO, ...
    int facility; // LOG_DAEMON, ...
    std::string ident;
    pid_t pid;
    std::string text; // byte for byte, with its newline
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
