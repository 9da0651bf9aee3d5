// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "testbed/board/driver_control.h"

#include <algorithm>
#include <cstring>

#include <unistd.h>

#include "testbed/board/connection.h"
#include "testbed/board/files.h"
#include "testbed/board/sandbox_checks.h"
#include "testbed/common/sandbox_paths.h"

namespace testbed {

using namespace detail;

namespace {

const char* devicePath(Device device)
{
    return device == simdrv::kHlink ? HLINK_DRIVER_PATH : MC_DRIVER_PATH;
}
const char* deviceMagic(Device device)
{
    return device == simdrv::kHlink ? simdrv::kHlinkMagic : simdrv::kMcMagic;
}

} // namespace

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

void Driver::floodMcRecords(const McRecords& records)
{
    SharedLock lock(raw().lock);
    std::memcpy(raw().mcFloodSet.records, records.data(), sizeof raw().mcFloodSet.records);
    raw().mcFlooding = 1;
}

void Driver::stopMcFlood()
{
    SharedLock lock(raw().lock);
    raw().mcFlooding = 0;
}

std::uint64_t Driver::mcFloodHandouts() const
{
    auto& s = *simdrv::stateOf(mapping_);
    SharedLock lock(s.lock);
    return s.mcFloodHandouts;
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

} // namespace testbed
