// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "procstats.h"

#include <cstdio>
#include <cstring>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

#include "testbed/common/unique_fd.h"

namespace bench {

namespace {

// The number after "Key:" on the line that starts with key, or nothing.
std::optional<std::uint64_t> field(const std::string& text, const std::string& key)
{
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, key.size(), key) == 0 && line.size() > key.size() && line[key.size()] == ':') {
            std::uint64_t value = 0;
            // NOLINTNEXTLINE(cert-err34-c): numbers in the kernel's own format
            if (std::sscanf(line.c_str() + key.size() + 1, "%lu", &value) == 1)
                return value;
        }
    }
    return std::nullopt;
}

std::string procPath(pid_t pid, const char* name)
{
    return "/proc/" + std::to_string(pid) + "/" + name;
}

} // namespace

std::optional<std::string> readText(const std::string& path)
{
    testbed::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return std::nullopt;
    std::string out;
    char buf[8192];
    ssize_t n = 0;
    while ((n = ::read(fd.get(), buf, sizeof buf)) > 0)
        out.append(buf, static_cast<std::size_t>(n));
    return out;
}

namespace {

bool isExcluded(const std::string& path, const std::vector<std::string>& excluded)
{
    for (const std::string& e : excluded)
        if (!e.empty() && path.find(e) != std::string::npos)
            return true;
    return false;
}

} // namespace

std::optional<Memory> memoryOf(pid_t pid, const std::vector<std::string>& excluded)
{
    const auto text = readText(procPath(pid, "smaps_rollup"));
    if (!text)
        return std::nullopt;
    Memory m;
    const auto rss = field(*text, "Rss");
    const auto pss = field(*text, "Pss");
    if (!rss || !pss)
        return std::nullopt;
    m.rssKb = *rss;
    m.pssKb = *pss;
    m.pssAnonKb = field(*text, "Pss_Anon").value_or(0);
    m.pssFileKb = field(*text, "Pss_File").value_or(0);
    m.privateKb = field(*text, "Private_Clean").value_or(0) + field(*text, "Private_Dirty").value_or(0);
    if (!excluded.empty()) {
        const auto smaps = readText(procPath(pid, "smaps"));
        std::istringstream in(smaps.value_or(""));
        bool skip = false;
        for (std::string line; std::getline(in, line);) {
            unsigned long start = 0;
            unsigned long end = 0;
            char perms[8];
            int pathAt = 0;
            // NOLINTNEXTLINE(cert-err34-c): numbers in the kernel's own format
            if (std::sscanf(line.c_str(), "%lx-%lx %7s %*s %*s %*s %n", &start, &end, perms, &pathAt) >= 3 &&
                line.find('-') < line.find(' ')) {
                skip = pathAt > 0 && isExcluded(line.substr(static_cast<std::size_t>(pathAt)), excluded);
                continue;
            }
            std::uint64_t kb = 0;
            // NOLINTNEXTLINE(cert-err34-c): numbers in the kernel's own format
            if (skip && std::sscanf(line.c_str(), "Pss: %lu kB", &kb) == 1)
                m.pssExcludedKb += kb;
        }
    }
    return m;
}

std::optional<CpuUse> cpuOf(pid_t pid)
{
    const auto sched = readText(procPath(pid, "schedstat"));
    const auto status = readText(procPath(pid, "status"));
    if (!sched || !status)
        return std::nullopt;
    CpuUse c;
    std::uint64_t waiting = 0;
    // NOLINTNEXTLINE(cert-err34-c): numbers in the kernel's own format
    if (std::sscanf(sched->c_str(), "%lu %lu %lu", &c.onCpuNs, &waiting, &c.timeslices) != 3)
        return std::nullopt;
    c.voluntarySwitches = field(*status, "voluntary_ctxt_switches").value_or(0);
    c.involuntarySwitches = field(*status, "nonvoluntary_ctxt_switches").value_or(0);
    return c;
}

} // namespace bench

namespace bench {

std::set<std::uint64_t> residentFrames(pid_t pid, const std::vector<std::string>& excluded)
{
    std::set<std::uint64_t> frames;
    const auto maps = readText(procPath(pid, "maps"));
    testbed::UniqueFd pagemap(::open(procPath(pid, "pagemap").c_str(), O_RDONLY | O_CLOEXEC));
    if (!maps || !pagemap)
        return frames;
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    std::istringstream in(*maps);
    for (std::string line; std::getline(in, line);) {
        unsigned long start = 0;
        unsigned long end = 0;
        int pathAt = 0;
        // NOLINTNEXTLINE(cert-err34-c): numbers in the kernel's own format
        if (std::sscanf(line.c_str(), "%lx-%lx %*s %*s %*s %*s %n", &start, &end, &pathAt) < 2)
            continue;
        const std::string path = pathAt > 0 ? line.substr(static_cast<std::size_t>(pathAt)) : std::string();
        if (isExcluded(path, excluded) || path == "[vsyscall]")
            continue;
        std::vector<std::uint64_t> entries((end - start) / static_cast<unsigned long>(pageSize));
        const off_t offset = static_cast<off_t>(start / static_cast<unsigned long>(pageSize) * 8);
        const ssize_t n = ::pread(pagemap.get(), entries.data(), entries.size() * 8, offset);
        for (ssize_t i = 0; i < n / 8; ++i) {
            const std::uint64_t e = entries[static_cast<std::size_t>(i)];
            const std::uint64_t frame = e & ((std::uint64_t{1} << 55) - 1);
            if ((e >> 63) & 1 && frame != 0)
                frames.insert(frame);
        }
    }
    return frames;
}

} // namespace bench
