// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The state of the simulated host-link and management-controller drivers.
//
// One record, in the file kDriverStatePath mapped MAP_SHARED, is seen by
// every process of the sandbox: the preloaded driver library in each of the
// daemon's processes serves requests from it, and the test API reads and
// changes it. Every access holds `lock`.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include <dimm_map.h>
#include <hlink_shared.h>
#include <mc.h>
#include <pthread.h>

#include "testbed/common/shared_map.h"

namespace testbed::simdrv {

inline constexpr const char* kDriverStatePath = "/run/testbed/driver.state";
inline constexpr std::uint32_t kMagic = 0x56534452; // "VSDR"
inline constexpr std::uint32_t kVersion = 1;

// The device files are regular files holding this text and nothing else; a
// descriptor is a device descriptor when its file holds it (so a descriptor
// stays a device even after the test removes the device file).
inline constexpr const char* kHlinkMagic = "VORN-SIMDRV /dev/hlink\n";
inline constexpr const char* kMcMagic = "VORN-SIMDRV /dev/oxa_mc\n";
inline constexpr const char* kSpIpPath = "/proc/hlink/sp_ip";

enum Device : std::uint32_t { kHlink = 0, kMc = 1, kDeviceCount = 2 };

// Index of each driver request in the per-request tables.
enum Request : std::uint32_t {
    kSetPlatIp = 0,
    kGetPlatIp,
    kGetSpIp,
    kSetSpIp,
    kMcRegIf,
    kHbBeat,
    kGetCpuTemp,
    kGetDimmMap,
    kGetCpuidValue,
    kRequestCount
};

// Request code of each Request, and the reverse lookup (kRequestCount if unknown).
unsigned long requestCode(Request request) noexcept;
Request requestOf(unsigned long code) noexcept;
Device deviceOf(Request request) noexcept;
const char* requestName(Request request) noexcept;

// What "/proc/hlink/sp_ip" shows.
enum SpIpFile : std::uint32_t {
    kSpIpFromDriver = 0, // the driver's SP address as a dotted quad and "\n"
    kSpIpOverride = 1,   // spIpOverride
    kSpIpAbsent = 2,     // no such file
};

struct SetRecord {
    std::uint32_t request; // kSetPlatIp or kSetSpIp
    std::uint32_t failed;  // 1: the request was refused (failure flag)
    std::uint64_t value;
};
static_assert(sizeof(SetRecord) == 16);

// One request as the driver saw it.
struct RequestRecord {
    std::int64_t timeNs;   // CLOCK_MONOTONIC
    std::uint64_t arg;     // the value argument; for GET_CPU_TEMP the CPU index; else 0
    std::int32_t pid;      // the caller
    std::uint32_t request; // Request
    std::int32_t result;   // what ioctl returned
    std::int32_t error;    // errno when result is -1
};
static_assert(sizeof(RequestRecord) == 32);

// One poll's worth of MC error records, queued by a test.
struct McSet {
    RegIfVals records[MC_RECORDS_PER_POLL];
    std::uint8_t pad[8];
    std::int64_t handedOutNs; // CLOCK_MONOTONIC when a poll took it; 0 while queued
};
static_assert(sizeof(McSet) == 640);
static_assert(offsetof(McSet, handedOutNs) == 632);

inline constexpr std::size_t kSetLogCapacity = 256;
inline constexpr std::size_t kHeartbeatCapacity = 4096;
inline constexpr std::size_t kMcSetCapacity = 64;
inline constexpr std::size_t kRequestLogCapacity = 4096;
inline constexpr std::size_t kSpIpOverrideCapacity = 1024;
inline constexpr std::uint64_t kDefaultPlatIp = HLINK_DEFAULT_PLAT_IP;
inline constexpr std::uint64_t kDefaultSpIp = HLINK_DEFAULT_SP_IP;

struct State {
    std::uint32_t magic;
    std::uint32_t version;
    std::uint64_t size;
    pthread_mutex_t lock;

    std::uint32_t failMask; // bit (1 << Request): that request returns -1
    std::int32_t failErrno; // errno of a failed request (EIO by default)

    std::uint64_t platIp; // host end, host byte order
    std::uint64_t spIp;   // SP end, host byte order

    std::uint32_t spIpFile; // SpIpFile
    std::uint32_t spIpOverrideLength;
    char spIpOverride[kSpIpOverrideCapacity];

    std::uint64_t setCount; // SET requests so far; the first kSetLogCapacity are kept
    SetRecord sets[kSetLogCapacity];

    std::uint64_t heartbeatCount; // ring: beat n at heartbeatNs[n % capacity]
    std::int64_t heartbeatNs[kHeartbeatCapacity];

    std::uint64_t mcQueued;    // sets queued so far (mcSets[0 .. mcQueued))
    std::uint64_t mcHandedOut; // sets handed out so far (the next one is mcSets[mcHandedOut])
    std::uint64_t mcPolls;     // IOCTL_MC_REG_IF requests so far
    McSet mcSets[kMcSetCapacity];

    std::int32_t cpuTemp[4];
    std::uint8_t cpuidValue[8];
    platform_data_t dimmMap;
    std::uint8_t pad[4];

    std::uint64_t opens[kDeviceCount]; // successful opens of each device file
    std::uint64_t requestCounts[kRequestCount];
    std::uint64_t requestLogCount; // ring: request n at requests[n % capacity]
    RequestRecord requests[kRequestLogCapacity];

    // A flood: while mcFlooding is 1, an IOCTL_MC_REG_IF that finds no queued
    // set hands out mcFloodSet's records (its time stamp unused).
    std::uint32_t mcFlooding;
    std::uint32_t pad2;
    std::uint64_t mcFloodHandouts; // requests the flood has answered
    McSet mcFloodSet;
};
static_assert(offsetof(State, lock) == 16);
static_assert(offsetof(State, dimmMap) % 4 == 0);
static_assert(offsetof(State, opens) % 8 == 0);
static_assert(sizeof(State) % 8 == 0);

// Defaults of a fresh board.
void setDefaults(State& state) noexcept;

// Creates the state file with a fresh record (the sandbox does this once).
SharedMapping createState() noexcept;
// The same at another path: a container's board, whose file a bind mount
// shows at kDriverStatePath inside.
SharedMapping createState(const char* path) noexcept;
// Maps the existing state file; empty when it is missing or of another layout.
SharedMapping openState() noexcept;
inline State* stateOf(const SharedMapping& mapping) noexcept
{
    return static_cast<State*>(mapping.get());
}

// The content that "/proc/hlink/sp_ip" shows by default for an address.
std::string dottedQuad(std::uint64_t hostOrderAddress);

} // namespace testbed::simdrv
