#include "procstats.h"

#include <cstdio>
#include <cstring>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

#include "unique_fd.h"

namespace bench {

namespace {

// The number after "Key:" on the line that starts with key, or nothing.
std::optional<std::uint64_t> field(const std::string& text, const std::string& key)
{
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, key.size(), key) == 0 && line.size() > key.size() && line[key.size()] == ':') {
            std::uint64_t value = 0;
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

std::optional<Memory> memoryOf(pid_t pid)
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
    if (std::sscanf(sched->c_str(), "%lu %lu %lu", &c.onCpuNs, &waiting, &c.timeslices) != 3)
        return std::nullopt;
    c.voluntarySwitches = field(*status, "voluntary_ctxt_switches").value_or(0);
    c.involuntarySwitches = field(*status, "nonvoluntary_ctxt_switches").value_or(0);
    return c;
}

} // namespace bench
