// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// A booted Debian system in a container, for the system tests: the
// machine's own root seen copy-on-write, its own systemd as PID 1 of its own
// pid namespace, its own network namespace, and nothing faked but the
// platform drivers.
//
//   Container box({Container::Devices::Simulated});   // boots it
//   box.install();                                     // dpkg -i the package
//   auto r = box.run("systemctl is-active vorn");      // inside
//   auto reply = box.vornctl({"time"});                // as the SP, over hlink0
//
// The test process itself moves into mount and network namespaces of its
// own first (enterPrivateNamespaces): the container's staging, its /run and
// the link's far end (sp0, 169.254.101.2) exist only there. The host end of
// the link, hlink0, and a spare interface eth1 live in the container.
//
// Nothing here touches the machine: the container writes to a tmpfs layer
// over the machine's root, and if the test process dies the container dies
// with it (its pid namespace lies inside one whose init is killed then).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "host_tools.h"
#include "testbed/common/shared_map.h"
#include "testbed/simdrv/simdrv_state.h"

namespace vorn_system {

// Why the tier cannot run on this machine (not root, a program missing),
// or empty when it can.
std::string unavailableReason();

class Container {
public:
    enum class Devices {
        None,      // no /dev/hlink, no /dev/oxa_mc
        Simulated, // the simulated drivers, preloaded by a test-only drop-in
        Dead,      // device nodes of a driver that answers no request (/dev/null's)
    };
    struct Options {
        Devices devices = Devices::Simulated;
    };

    explicit Container(Options options);
    Container(const Container&) = delete;
    Container& operator=(const Container&) = delete;
    ~Container();

    // Runs a shell command inside, as root, with the container's namespaces
    // and root; its environment is a plain PATH.
    Ran run(const std::string& command, Millis timeout = Millis{60000}, const std::string& input = {}) const;
    std::string output(const std::string& command) const; // run(...).output, trailing newline cut

    // Installs the built package with dpkg, as an administrator does.
    Ran install() const;

    // The journal's messages with syslog ident VORN since the boot, one a line.
    std::string agentJournal() const;
    // The unit's own messages (systemd's about vorn.service).
    std::string unitJournal() const;
    bool waitForAgentJournal(const std::string& text, Millis timeout = Millis{10000}) const;

    // vornctl of this build, from the SP's end of the link (169.254.101.2).
    Ran vornctl(const std::vector<std::string>& args, const std::string& host = "169.254.101.3") const;

    // The simulated drivers' shared state (Devices::Simulated).
    testbed::simdrv::State& driver() const;

    // Process ids, as the container sees them, of the processes named vorn.
    std::vector<pid_t> agentProcesses() const;

    // Throws unless it is safe to ask the agent inside to power off or
    // reboot: the container's PID 1 is its own systemd, in a pid and a
    // network namespace other than the machine's, and systemd-detect-virt
    // inside names a container.
    void requireBootedContainer() const;

    // Waits for the container to end; returns systemd-nspawn's exit code (0
    // after a power-off, 133 after a reboot), or nothing if it still runs.
    std::optional<int> waitForEnd(Millis timeout);
    bool running() const;

private:
    void stage();
    void boot();
    void stop() noexcept;

    Options options_;
    std::string stageDir_;
    std::string root_;
    pid_t keeper_ = -1; // unshare(1), parent of systemd-nspawn as PID 1 of its namespace
    pid_t leader_ = -1; // the container's systemd, as this process sees it
    pid_t holder_ = -1; // holds the container's network namespace until it boots
    std::optional<int> exitCode_;
    testbed::SharedMapping driverState_;
};

} // namespace vorn_system
