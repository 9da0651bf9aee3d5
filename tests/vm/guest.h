// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// A Debian 12 guest under QEMU for the VM tier: Debian's own kernel, the
// packages installed as a user installs them, the real drivers, nothing
// simulated. Its two NICs are taps in the test process's own network
// namespace: hlink0 (to the SP's end, 169.254.101.2 on "sp0") and eth1 (to
// "lan0").
//
//   Guest guest({imageDir});           // boots it, waits for its shell
//   guest.shell("systemctl is-active vorn");
//   guest.monitor("mce 0 1 0x9400000000000151 0 0x1000 0");
//
// The test process must have entered namespaces of its own first
// (enterPrivateNamespaces): the taps exist only there, and the guest has no
// other link. Only QEMU's own process is touched when the guest powers off
// or reboots.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include <sys/types.h>

#include "host_tools.h"
#include "testbed/common/unique_fd.h"

namespace vorn_vm {

using vorn_system::Millis;
using vorn_system::Ran;

#ifndef VORN_VM_HLINK_MAC
#error "VORN_VM_HLINK_MAC, VORN_VM_ETH1_MAC: the MAC addresses that the image was made for"
#endif
inline constexpr const char* kHlinkMac = VORN_VM_HLINK_MAC;
inline constexpr const char* kEth1Mac = VORN_VM_ETH1_MAC;
inline constexpr const char* kSpTap = "sp0";
inline constexpr const char* kLanTap = "lan0";

class Guest {
public:
    struct Options {
        std::string imageDir; // vmlinuz, initrd.img, root.img (tests/vm/make-image)
        std::string runDir;   // sockets and the console log
        int cpus = 2;
    };

    explicit Guest(Options options);
    Guest(const Guest&) = delete;
    Guest& operator=(const Guest&) = delete;
    ~Guest();

    // Runs a shell command in the guest as root; output is its standard
    // output and error. status is the command's exit code in wait-status
    // form (code << 8), -1 when the guest did not answer in time.
    Ran shell(const std::string& command, Millis timeout = Millis{60000});
    std::string output(const std::string& command, Millis timeout = Millis{60000}); // trailing newline cut

    // Waits until the guest's shell answers (after a boot or a reboot).
    bool waitForShell(Millis timeout);

    // A command of QEMU's human monitor; returns what it printed.
    std::string monitor(const std::string& command);

    // Waits for QEMU to end; its exit status, or nothing if it still runs.
    std::optional<int> waitForEnd(Millis timeout);
    bool running();

    // What the guest printed on its console (the kernel, systemd).
    std::string console() const;
    // How many times the guest's kernel has started in this QEMU.
    int boots() const;

private:
    void connectShell();
    std::string readUntil(int fd, const std::string& marker, std::chrono::steady_clock::time_point deadline,
                          std::string& buffer);
    void stop() noexcept;

    Options options_;
    pid_t qemu_ = -1;
    std::optional<int> exitStatus_;
    testbed::UniqueFd shell_;
    std::string shellBuffer_;
    testbed::UniqueFd monitor_;
    std::string monitorBuffer_;
    bool monitorGreeted_ = false;
    unsigned sequence_ = 0;
};

// Why the tier cannot run here (not root, QEMU or the image missing), or
// empty when it can.
std::string unavailableReason(const std::string& imageDir);

} // namespace vorn_vm
