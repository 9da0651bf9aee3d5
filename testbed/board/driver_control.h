// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The simulated drivers' controls: the state that the preloaded drivers
// share with the tests.
#pragma once

#include <array>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include <dimm_map.h>
#include <mc.h>
#include <sys/types.h>

#include "testbed/board/timing.h"
#include "testbed/common/shared_map.h"
#include "testbed/simdrv/simdrv_state.h"

namespace testbed {

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
    // A flood: from now on every IOCTL_MC_REG_IF that finds no queued set
    // hands out these four records, until stopMcFlood().
    void floodMcRecords(const McRecords& records);
    void stopMcFlood();
    std::uint64_t mcFloodHandouts() const; // requests the flood has answered

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

} // namespace testbed
