// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
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

#include "bench.h"
#include "fixtures.h"

#ifndef VORN_BENCH_FLOOR_FILE
#error "VORN_BENCH_FLOOR_FILE must name the floor server"
#endif

namespace bench {
namespace {

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
        else if (a.rfind("--ifconfig-fd=", 0) == 0)
            o.ifconfigFd = static_cast<int>(std::strtol(a.c_str() + 14, nullptr, 10));
        else
            throw std::runtime_error("unknown argument " + a +
                                     " (--quick, --only=12345679, --letters=vTHeCcLd, --installed-binary=PATH, "
                                     "--json-fd=N, --ifconfig-fd=N)");
    }
    return o;
}

} // namespace

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
            arr.push_back(l);
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

int Bench::run()
{
    ::mkdir(kRunDir, 0755);
    machine();
    binarySize();

    // Start-up first, on a fresh network as at a host's boot: every request
    // of the other sections leaves a TIME_WAIT socket on port 6789 (the
    // daemon closes first) for 60 s, and binding the port again walks them
    // all (milliseconds once there are tens of thousands).
    if (wanted(opt_, '7'))
        startup();
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
        startReferences(board);
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
        ownFloor_.stop();
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
    if (wanted(opt_, '9'))
        mcThroughput();
    goals();
    printReport();
    if (opt_.jsonFd >= 0) {
        const std::string text = json_.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
        if (::write(opt_.jsonFd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            say("vorn-bench: cannot write the JSON results\n");
        ::close(opt_.jsonFd);
    }
    return 0;
}

} // namespace bench

int main(int argc, char** argv)
{
    if (!testbed::insideSandbox()) {
        // Inside, /sbin/ifconfig is the board's fake: the start-up is also
        // measured with the machine's own, handed in as an open file.
        std::vector<char*> args(argv, argv + argc);
        std::string fdArg;
        const int ifconfig = ::open("/sbin/ifconfig", O_RDONLY);
        if (ifconfig >= 0) {
            fdArg = "--ifconfig-fd=" + std::to_string(ifconfig);
            args.push_back(fdArg.data());
        }
        args.push_back(nullptr);
        return testbed::execInSandbox(static_cast<int>(args.size()) - 1, args.data(), "vorn-bench");
    }
    try {
        bench::Options o = bench::parse(argc, argv);
        bench::gOptions = o;
        if (o.jsonFd >= 0)
            ::fcntl(o.jsonFd, F_SETFD, FD_CLOEXEC);
        std::string ifconfig;
        if (o.ifconfigFd >= 0) {
            char buf[8192];
            ssize_t n = 0;
            while ((n = ::read(o.ifconfigFd, buf, sizeof buf)) > 0)
                ifconfig.append(buf, static_cast<std::size_t>(n));
            ::close(o.ifconfigFd);
        }
        bench::Bench b(o, std::move(ifconfig));
        return b.run();
    } catch (const std::exception& e) {
        bench::printReport();
        std::fprintf(stderr, "vorn-bench: %s\n", e.what());
        return 1;
    }
}
