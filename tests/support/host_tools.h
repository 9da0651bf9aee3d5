// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// What the system and VM tiers run on the machine around their guest:
// programs with a bound on their time, waiting for an effect, and the test
// process's own mount and network namespaces.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace vorn_system {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

struct Ran {
    int status = -1;    // wait status; -1 when it could not be run or timed out
    std::string output; // standard output and error, interleaved
    bool timedOut = false;
    int exitCode() const; // the exit code, 128 + N for a signal N, -1 otherwise
};

// Runs argv (argv[0] a path) with input on its standard input; kills it
// after timeout.
Ran runProgram(const std::vector<std::string>& argv, Millis timeout, const std::string& input = {});

// Moves this process into a private mount namespace (with a fresh /run) and
// a private network namespace with lo up. Once per process, before any
// container; throws std::runtime_error on failure.
void enterPrivateNamespaces();

// Polls done() until it holds (true) or timeout passes (false).
bool eventually(const std::function<bool()>& done, Millis timeout, Millis step = Millis{50});

// A file's whole content; empty when it cannot be read.
std::string readText(const std::string& path);

// Starts argv (argv[0] a path) in the background with its standard output
// and error appended to logFile and its input on /dev/null; it dies with
// this process. Returns its pid; throws std::runtime_error if fork fails.
pid_t startLogged(const std::vector<std::string>& argv, const std::string& logFile);

// The ip program (iproute2), or empty when the machine has none.
std::string ipProgram();
// Runs ip with the words of args; throws std::runtime_error on failure.
void ip(const std::string& args);
// Throws std::runtime_error with what and errno's text, when set.
[[noreturn]] void fail(const std::string& what);
// In a child: runs argv (argv[0] a path), or ends with status 127.
[[noreturn]] void execArgv(const std::vector<std::string>& argv);

} // namespace vorn_system
