// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "guest.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vorn_vm {

namespace {

using Clock = std::chrono::steady_clock;
using testbed::UniqueFd;

constexpr const char* kQemu = "/usr/bin/qemu-system-x86_64";

UniqueFd connectUnix(const std::string& path, Millis timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (!fd || path.size() >= sizeof addr.sun_path)
            return {};
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        if (connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
            return fd;
        if (Clock::now() >= deadline)
            return {};
        std::this_thread::sleep_for(Millis{50});
    }
}

bool sendAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

std::string unavailableReason(const std::string& imageDir)
{
    if (geteuid() != 0)
        return "the VM tests make taps and network namespaces and must run as root";
    if (access(kQemu, X_OK) != 0)
        return std::string(kQemu) + " is missing (Debian package qemu-system-x86)";
    if (vorn_system::ipProgram().empty())
        return "ip is missing (Debian package iproute2)";
    for (const char* file : {"/vmlinuz", "/initrd.img", "/root.img"})
        if (access((imageDir + file).c_str(), R_OK) != 0)
            return "no guest image at " + imageDir + " (tests/vm/make-image makes it)";
    return {};
}

Guest::Guest(Options options) : options_(std::move(options))
{
    using vorn_system::ip;
    // The guest's two links, in this process's own network namespace.
    ip(std::string("tuntap add dev ") + kSpTap + " mode tap");
    ip(std::string("addr add 169.254.101.2/16 dev ") + kSpTap);
    ip(std::string("link set ") + kSpTap + " up");
    ip(std::string("tuntap add dev ") + kLanTap + " mode tap");
    ip(std::string("link set ") + kLanTap + " up");

    const std::string& run = options_.runDir;
    for (const char* f : {"/shell.sock", "/monitor.sock", "/console.log"})
        unlink((run + f).c_str());
    const std::vector<std::string> argv{
        kQemu,
        "-nodefaults",
        "-no-user-config",
        "-display",
        "none",
        "-accel",
        "tcg,thread=multi",
        "-smp",
        std::to_string(options_.cpus),
        "-m",
        "1024",
        "-kernel",
        options_.imageDir + "/vmlinuz",
        "-initrd",
        options_.imageDir + "/initrd.img",
        "-append",
        // mce=bootlog: the kernel logs what a reset left in the banks (on
        // QEMU's default CPU, AMD family 0Fh, it does not unless told).
        "root=/dev/vda rw console=ttyS0 loglevel=5 systemd.show_status=1 panic=-1 mce=bootlog",
        // The image stays as made: the guest's writes, kept across its
        // reboots, go to a temporary layer of this QEMU's.
        "-drive",
        "file=" + options_.imageDir + "/root.img,format=raw,if=virtio,snapshot=on",
        "-netdev",
        std::string("tap,id=hlink,ifname=") + kSpTap + ",script=no,downscript=no",
        "-device",
        std::string("virtio-net-pci,netdev=hlink,mac=") + kHlinkMac,
        "-netdev",
        std::string("tap,id=lan,ifname=") + kLanTap + ",script=no,downscript=no",
        "-device",
        std::string("virtio-net-pci,netdev=lan,mac=") + kEth1Mac,
        "-chardev",
        "file,id=console,path=" + run + "/console.log",
        "-serial",
        "chardev:console",
        "-chardev",
        "socket,id=shell,path=" + run + "/shell.sock,server=on,wait=off",
        "-serial",
        "chardev:shell",
        "-chardev",
        "socket,id=monitor,path=" + run + "/monitor.sock,server=on,wait=off",
        "-mon",
        "chardev=monitor,mode=readline",
    };
    const std::string qemuLog = run + "/qemu.log";
    qemu_ = vorn_system::startLogged(argv, qemuLog);
    try {
        shell_ = connectUnix(run + "/shell.sock", Millis{20000});
        monitor_ = connectUnix(run + "/monitor.sock", Millis{5000});
        if (!shell_ || !monitor_)
            throw std::runtime_error("QEMU did not start: " + vorn_system::readText(qemuLog));
    } catch (...) {
        stop();
        throw;
    }
}

Guest::~Guest()
{
    stop();
}

void Guest::stop() noexcept
{
    if (qemu_ > 0 && !exitStatus_) {
        kill(qemu_, SIGKILL);
        int status = 0;
        while (waitpid(qemu_, &status, 0) < 0 && errno == EINTR) {
        }
        exitStatus_ = status;
    }
    shell_.reset();
    monitor_.reset();
    for (const char* tap : {kSpTap, kLanTap})
        vorn_system::runProgram({vorn_system::ipProgram(), "link", "del", tap}, Millis{5000});
}

std::string Guest::readUntil(int fd, const std::string& marker, Clock::time_point deadline, std::string& buffer)
{
    for (;;) {
        const auto at = buffer.find(marker);
        if (at != std::string::npos) {
            std::string before = buffer.substr(0, at);
            buffer.erase(0, at + marker.size());
            return before;
        }
        const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
        if (left <= 0)
            throw std::runtime_error("timed out waiting for \"" + marker + "\"");
        pollfd p{fd, POLLIN, 0};
        const int n = poll(&p, 1, static_cast<int>(left));
        if (n <= 0)
            continue;
        char chunk[4096];
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            throw std::runtime_error("the connection to QEMU closed");
        buffer.append(chunk, static_cast<std::size_t>(got));
    }
}

bool Guest::waitForShell(Millis timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        if (!running())
            return false;
        const std::string marker = "@@READY" + std::to_string(++sequence_) + "@@";
        // ^C first: it drops a line that reached the shell only in part
        // (the guest's terminal takes input before the shell does). The
        // marker is split, so that an echo of the input never matches.
        if (!sendAll(shell_.get(), "\x03"
                                   "echo '@@READY'" +
                                       std::to_string(sequence_) + "'@@'\n"))
            return false;
        try {
            readUntil(shell_.get(), marker, std::min(deadline, Clock::now() + Millis{2000}), shellBuffer_);
            shellBuffer_.clear();
            return true;
        } catch (const std::runtime_error&) {
            // not up yet
        }
    }
    return false;
}

Ran Guest::shell(const std::string& command, Millis timeout)
{
    Ran ran;
    const std::string id = std::to_string(++sequence_);
    const std::string request = "printf '@@B%s@@\\n' " + id + "; { " + command +
                                "\n} </dev/null 2>&1; printf '\\n@@E%s %d@@\\n' " + id + " $?\n";
    if (!sendAll(shell_.get(), request))
        return ran;
    const auto deadline = Clock::now() + timeout;
    try {
        readUntil(shell_.get(), "@@B" + id + "@@\n", deadline, shellBuffer_);
        ran.output = readUntil(shell_.get(), "\n@@E" + id + " ", deadline, shellBuffer_);
        const std::string code = readUntil(shell_.get(), "@@\n", deadline, shellBuffer_);
        ran.status = std::stoi(code) << 8;
    } catch (const std::exception&) {
        ran.timedOut = true;
        ran.status = -1;
    }
    return ran;
}

std::string Guest::output(const std::string& command, Millis timeout)
{
    std::string out = shell(command, timeout).output;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

std::string Guest::monitor(const std::string& command)
{
    const auto deadline = Clock::now() + Millis{10000};
    try {
        if (!monitorGreeted_) {
            readUntil(monitor_.get(), "(qemu) ", deadline, monitorBuffer_); // the banner
            monitorGreeted_ = true;
        }
        if (!sendAll(monitor_.get(), command + "\n"))
            return "cannot write to the monitor";
        return readUntil(monitor_.get(), "(qemu) ", deadline, monitorBuffer_);
    } catch (const std::exception& e) {
        return e.what();
    }
}

bool Guest::running()
{
    return !waitForEnd(Millis{0}).has_value();
}

std::optional<int> Guest::waitForEnd(Millis timeout)
{
    if (exitStatus_)
        return exitStatus_;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(qemu_, &status, WNOHANG);
        if (done == qemu_) {
            exitStatus_ = status;
            return exitStatus_;
        }
        if (Clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(Millis{100});
    }
}

std::string Guest::console() const
{
    return vorn_system::readText(options_.runDir + "/console.log");
}

int Guest::boots() const
{
    const std::string text = console();
    int count = 0;
    for (auto at = text.find("Welcome to "); at != std::string::npos; at = text.find("Welcome to ", at + 1))
        ++count;
    return count;
}

} // namespace vorn_vm
